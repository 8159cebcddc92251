// tests/core/render/test_clauses.cpp
#include <gtest/gtest.h>

#include "render/clauses.hpp"

using namespace zorvane::core;
using Strings = std::vector<std::string>;

TEST(ParseOverrides, DropsEmptyPiecesAndOrdersLongestFirst) {
    EXPECT_EQ(parse_overrides("AND |OR "), (Strings{"AND", "OR"}));
    EXPECT_EQ(parse_overrides("or|AND|and|or"), (Strings{"AND", "and", "or"}));
    for (const char *empty : {"", "|", "||", " | "})
        EXPECT_TRUE(parse_overrides(empty).empty()) << empty;
    EXPECT_EQ(parse_overrides("|x"), (Strings{"x"}));
    EXPECT_EQ(parse_overrides("x||y"), (Strings{"x", "y"}));
    EXPECT_EQ(parse_overrides(",|, "), (Strings{","}));
}

struct TrimCase {
    const char *in;
    Strings entries;
    const char *prefix_out;
    const char *suffix_out;
};

class TrimBothEnds : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimBothEnds, RemovesRepeatedlyAndNormalises) {
    const TrimCase &c = GetParam();
    Strings entries = c.entries;
    order_overrides(entries);
    EXPECT_EQ(trim_prefix(c.in, entries), c.prefix_out);
    EXPECT_EQ(trim_suffix(c.in, entries), c.suffix_out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimBothEnds,
    ::testing::Values(TrimCase{" AND x = 1 AND ", {"AND", "OR"}, "x = 1 AND", "AND x = 1"},
                      TrimCase{"a = 1, b = 2, , ,", {","}, "a = 1, b = 2, , ,", "a = 1, b = 2"},
                      TrimCase{", a ,\n b", {","}, "a , b", ", a , b"},
                      // Characters, not words: AND eats the start of ANDROID_ID.
                      TrimCase{"ANDROID_ID = 1", {"AND"}, "ROID_ID = 1", "ANDROID_ID = 1"},
                      TrimCase{"and x", {"AND"}, "and x", "and x"},
                      // The longer entry wins over its own prefix.
                      TrimCase{"ORDER x OR", {"OR", "ORDER"}, "x OR", "ORDER x"},
                      // Quoted runs keep their blanks; an empty entry never loops.
                      TrimCase{"OR n = 'a   b'  OR", {"", "OR"}, "n = 'a   b' OR", "OR n = 'a   b'"},
                      TrimCase{"  ", {","}, "", ""}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(AppendWhere, SkipsLeadingAndOrWordsOnly) {
    auto where = [](const char *body) {
        std::string out = "<";
        append_where(out, body);
        return out;
    };
    EXPECT_EQ(where("  and a = 1 AND b = 2"), "<WHERE a = 1 AND b = 2");
    EXPECT_EQ(where("Or oR AnD x"), "<WHERE x");
    EXPECT_EQ(where("ANDx = 1"), "<WHERE ANDx = 1");
    EXPECT_EQ(where("AND( x )"), "<WHERE AND( x )");
    EXPECT_EQ(where(" \n\t "), "<");
    EXPECT_EQ(where(" AND OR "), "<");
    EXPECT_EQ(where("AND name = 'a  b'\n\tOR x"), "<WHERE name = 'a  b' OR x");
}

TEST(AppendSet, RemovesOnlyLeadingCommas) {
    std::string out;
    append_set(out, ", a = #{a}\n , b = #{b}");
    EXPECT_EQ(out, "SET a = #{a} , b = #{b}");
    out.clear();
    append_set(out, "a = 1, b = 2,");
    EXPECT_EQ(out, "SET a = 1, b = 2,");
    out.clear();
    append_set(out, ",, note = 'x  ,'");
    EXPECT_EQ(out, "SET note = 'x  ,'");
}

TEST(AppendTrim, AlwaysEmitsPrefixSuffixAndBlanks) {
    std::string out;
    append_trim(out, "", "(", ")", {}, {});
    EXPECT_EQ(out, "(  )");
    out.clear();
    append_trim(out, " AND x = 1", "WHERE", "", {"AND", "OR"}, {});
    EXPECT_EQ(out, "WHERE x = 1 ");
    out.clear();
    // Without overrides the body is kept exactly.
    append_trim(out, "\n a  b ", "<", ">", {}, {});
    EXPECT_EQ(out, "< \n a  b  >");
    out.clear();
    append_trim(out, "a = 1, b = 2 ,", "SET", "", {}, {","});
    EXPECT_EQ(out, "SET a = 1, b = 2 ");
}
