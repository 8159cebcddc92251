// tests/core/paging/test_count_query.cpp
#include <gtest/gtest.h>

#include "paging/count_query.hpp"

using namespace zorvane::core;

namespace {

// A stand-in for the host's \w on non-ASCII: é, ж and 中 are letters, the rest is not.
bool test_word(char32_t c) noexcept { return c == U'é' || c == U'ж' || c == U'中'; }

const std::string kSimple = "SELECT COUNT(*) as count FROM ";
std::string wrapped(std::string_view text) { return "select count(*) from ( " + std::string(text) + " ) temp"; }

TEST(CountQuery, BothFormsAfterStrippingAndSemicolons) {
    const std::pair<const char *, std::string> cases[] = {
        {"  \n select * from t;;", kSimple + "t"},
        {"select * from t ;", kSimple + "t "},  // only ';' is removed after the strip
        {"SeLeCt a\n\tFrOm\r\n t", kSimple + "t"},
        {"\xC5\xBF" "elect a\xC2\xA0" "from\xE2\x80\x83t", kSimple + "t"},  // U+017F is an 's'; U+00A0, U+2003 are spaces
        {"select distinct_total, \xC3\xA9union from t", kSimple + "t"},
        {"select a from t where x='\xE2\x82\xACunion'", wrapped("select a from t where x='\xE2\x82\xACunion'")},
        {"select (select max(id) from u) m from t", wrapped("select (select max(id) from u) m from t")},
        {"select from t", wrapped("select from t")},
        {" ; ;\n", wrapped("; ")},
    };
    for (const auto &[sql, expected] : cases)
        EXPECT_EQ(count_query(sql, &test_word), expected) << sql;
}

TEST(MatchSelectFrom, StopsAtTheFirstSpacedFrom) {
    std::string_view s = "select a fromx, (select b from u) c from t";
    SelectFrom m = match_select_from(s);
    ASSERT_TRUE(m.found);
    EXPECT_EQ(s.substr(m.list_begin, m.list_end - m.list_begin), "a fromx, (select b");
    EXPECT_EQ(s.substr(m.end), "u) c from t");
    for (const char *no : {"select a from", "select a\nfrom(t)", "x select a from t", "selectx a from t"})
        EXPECT_FALSE(match_select_from(no).found) << no;
}

TEST(MatchSelectFrom, BacktracksIntoTheSpacesAfterSelect) {
    // The greedy run after SELECT gives back its last space only when no later FROM fits.
    std::string_view s = "select \t from x from y";
    SelectFrom m = match_select_from(s);
    ASSERT_TRUE(m.found);
    EXPECT_EQ(s.substr(m.end), "y");
    m = match_select_from("select \t from x");
    ASSERT_TRUE(m.found);
    EXPECT_EQ(m.list_begin, m.list_end);
    EXPECT_EQ(m.end, 14u);
}

TEST(HasGroupingKeyword, WholeWordsCaseIgnored) {
    for (const char *yes : {"distinct", "a,group\tby", "(having)", "x UNION y", "GROUP\n\nBY", "d\xC4\xB0stinct", "1;union"})
        EXPECT_TRUE(has_grouping_keyword(yes, &test_word)) << yes;
    for (const char *no : {"distinctx", "_union", "groupby", "group b y", "\xD0\xB6having", "having\xE4\xB8\xAD"})
        EXPECT_FALSE(has_grouping_keyword(no, &test_word)) << no;
}

TEST(FindTopLevelOrderBy, OnlyOutsideParenthesesAndQuotes) {
    EXPECT_EQ(find_top_level_order_by("select a from t ORDER BY a", &test_word), 16u);
    EXPECT_EQ(find_top_level_order_by("select a /* ( */ from t ORDER BY a", &test_word), 24u);
    for (const char *yes : {"x order\n\tby y", "(a) order by (b)"})
        EXPECT_NE(find_top_level_order_by(yes, &test_word), std::string_view::npos) << yes;
    for (const char *no : {"select (select a from u order by a) from t", "where n = 'order by'", "x orderby y",
                           "reorder by", "where $$ order by $$", "where E'\\' order by'", "\"order by\"",
                           "x /* order by */", "x -- order by"})
        EXPECT_EQ(find_top_level_order_by(no, &test_word), std::string_view::npos) << no;
}

TEST(PageSource, OwnLimitsMakeASubSelect) {
    EXPECT_EQ(page_source(" select a from t order by a LIMIT 5 ;\n", &test_word),
              "SELECT * FROM (select a from t order by a LIMIT 5) AS page_q");
    for (const char *yes : {"select a from t offset 2", "select a from t fetch first 3 rows only", "x\nLimit\t:n"})
        EXPECT_TRUE(limits_own_rows(yes, &test_word)) << yes;
    for (const char *no : {"select a from (select a from t limit 5) s", "select limited, offsets from t",
                           "where n = 'limit 5'", "x -- limit 5", "x /* limit */", "select \"limit\" from t",
                           "x_limit 5", "\xC3\xA9limit 5"}) {
        EXPECT_FALSE(limits_own_rows(no, &test_word)) << no;
        EXPECT_EQ(page_source(no, &test_word), "") << no;
    }
}

TEST(CountQuery, WithoutOrderByDropsTheTopLevelOrdering) {
    const char *ordered = "select id from t where a > :a \n order by id, 'x'";
    EXPECT_EQ(count_query(ordered, &test_word), "SELECT COUNT(*) as count FROM t where a > :a \n order by id, 'x'");
    EXPECT_EQ(count_query(ordered, &test_word, true), "SELECT COUNT(*) as count FROM t where a > :a");
    EXPECT_EQ(count_query("select id from t where (x) in (select y from u order by y)", &test_word, true),
              "SELECT COUNT(*) as count FROM t where (x) in (select y from u order by y)");
    // Trailing whitespace goes by code point: the letter "\xC3\xA0" keeps its last byte.
    EXPECT_EQ(count_query("select a from t\xC3\xA0 \xC2\xA0order by a", &test_word, true), kSimple + "t\xC3\xA0");
    // The wrapped form may keep its ordering: it sits inside the sub-select.
    EXPECT_EQ(count_query("select distinct a from t order by a", &test_word, true),
              "select count(*) from ( select distinct a from t order by a ) temp");
}

}  // namespace
