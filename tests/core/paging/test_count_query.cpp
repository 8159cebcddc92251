// tests/core/paging/test_count_query.cpp
#include <gtest/gtest.h>

#include "paging/count_query.hpp"

using namespace zorvane::core;

namespace {

// A stand-in for the host's \w on non-ASCII: é, ж and 中 are letters, the rest is not.
bool test_word(char32_t c) noexcept { return c == U'é' || c == U'ж' || c == U'中' || c == 0x17F || c == 0x131; }

std::string count(std::string_view sql) { return count_query(sql, &test_word); }

std::string wrapped(std::string_view text) { return "select count(*) from ( " + std::string(text) + " ) temp"; }

struct Case {
    const char *sql;
    const char *expected;  // nullptr: the wrapped form of the stripped text
    const char *stripped;
};

void PrintTo(const Case &c, std::ostream *os) { *os << '"' << c.sql << '"'; }

class CountQueryTable : public ::testing::TestWithParam<Case> {};

TEST_P(CountQueryTable, Rewrites) {
    const Case &c = GetParam();
    EXPECT_EQ(count(c.sql), c.expected ? std::string(c.expected) : wrapped(c.stripped));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CountQueryTable,
    ::testing::Values(
        Case{"select id, name from user where age > :age order by id",
             "SELECT COUNT(*) as count FROM user where age > :age order by id", nullptr},
        Case{"  \n select * from t;;", "SELECT COUNT(*) as count FROM t", nullptr},
        Case{"select * from t ;", "SELECT COUNT(*) as count FROM t ", nullptr},  // only ';' after the strip
        Case{"SeLeCt a\n\tFrOm\r\n t", "SELECT COUNT(*) as count FROM t", nullptr},
        Case{"select distinct_total, havingx from t", "SELECT COUNT(*) as count FROM t", nullptr},
        Case{"select a from t where b = 'x from y'", "SELECT COUNT(*) as count FROM t where b = 'x from y'", nullptr},
        Case{"select a fromx, b from t", "SELECT COUNT(*) as count FROM t", nullptr},
        Case{"select  from t", "SELECT COUNT(*) as count FROM t", nullptr},  // backtracking gives an empty list
        Case{"select  from x from y", "SELECT COUNT(*) as count FROM y", nullptr},
        Case{"\xC5\xBF" "elect a from t", "SELECT COUNT(*) as count FROM t", nullptr},  // U+017F is an 's'
        Case{"select a\xC2\xA0" "from\xE2\x80\x83t", "SELECT COUNT(*) as count FROM t", nullptr},
        Case{"select \xC3\xA9union from t", "SELECT COUNT(*) as count FROM t", nullptr},  // é is a word char
        Case{"SELECT DISTINCT city FROM user", nullptr, "SELECT DISTINCT city FROM user"},
        Case{"select city from user group \n by city", nullptr, "select city from user group \n by city"},
        Case{"select city from user Having count(*) > 1", nullptr, "select city from user Having count(*) > 1"},
        Case{"select a from t UNION select a from u", nullptr, "select a from t UNION select a from u"},
        Case{"select a from t where x='\xE2\x82\xACunion'", nullptr, "select a from t where x='\xE2\x82\xACunion'"},
        Case{"select a from t where x = di\xC5\xBFtinct", nullptr, "select a from t where x = di\xC5\xBFtinct"},
        Case{"select a from t where x=1;union", nullptr, "select a from t where x=1;union"},
        Case{"select (select max(id) from u) m from t", nullptr, "select (select max(id) from u) m from t"},
        Case{"select count(id) from t", nullptr, "select count(id) from t"},
        Case{"select from t", nullptr, "select from t"},
        Case{"update t set a = 1", nullptr, "update t set a = 1"},
        Case{"with x as (select 1) select * from x", nullptr, "with x as (select 1) select * from x"},
        Case{"selectx a from t", nullptr, "selectx a from t"},
        Case{"select a from", nullptr, "select a from"},
        Case{" ; ;\n", nullptr, "; "},  // the strip comes first, so the space before ';' stays
        Case{"", nullptr, ""}));

TEST(MatchSelectFrom, StopsAtTheFirstSpacedFrom) {
    std::string_view s = "select a, (select b from u) c from t";
    SelectFrom m = match_select_from(s);
    ASSERT_TRUE(m.found);
    EXPECT_EQ(s.substr(m.list_begin, m.list_end - m.list_begin), "a, (select b");
    EXPECT_EQ(s.substr(m.end), "u) c from t");
}

TEST(MatchSelectFrom, NeedsWhitespaceOnBothSides) {
    EXPECT_FALSE(match_select_from("select a from").found);
    EXPECT_FALSE(match_select_from("select a\nfrom(t)").found);
    EXPECT_FALSE(match_select_from("x select a from t").found);
    EXPECT_TRUE(match_select_from("\tSELECT\ta\tFROM\tt").found);
}

TEST(HasGroupingKeyword, WholeWordsOnly) {
    for (const char *yes : {"distinct", "a,group\tby", "(having)", "x UNION y", "GROUP\n\nBY", "d\xC4\xB0stinct"})
        EXPECT_TRUE(has_grouping_keyword(yes, &test_word)) << yes;
    for (const char *no : {"distinctx", "_union", "groupby", "group b y", "ungrouped", "\xD0\xB6having", "having\xE4\xB8\xAD"})
        EXPECT_FALSE(has_grouping_keyword(no, &test_word)) << no;
}

}  // namespace
