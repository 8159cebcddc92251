// tests/core/render/test_clauses.cpp
#include <gtest/gtest.h>

#include "render/clauses.hpp"

using namespace zorvane::core;
using Strings = std::vector<std::string>;

TEST(ParseOverrides, DropsEmptyPiecesAndOrdersLongestFirst) {
    EXPECT_EQ(parse_overrides("AND |OR "), (Strings{"AND", "OR"}));
    EXPECT_EQ(parse_overrides("or|AND||and|or|"), (Strings{"AND", "and", "or"}));
    EXPECT_TRUE(parse_overrides(" | ").empty());
}

TEST(TrimEnds, RemoveRepeatedlyNormaliseOutsideQuotesAndNeverLoop) {
    struct Case {
        const char *in;
        Strings entries;
        const char *prefix_out, *suffix_out;
    };
    const Case cases[] = {
        {" AND x = 1 AND ", {"AND", "OR"}, "x = 1 AND", "AND x = 1"},
        {", a ,\n b, , ,", {","}, "a , b, , ,", ", a , b"},
        {"ANDROID_ID = 1", {"AND"}, "ROID_ID = 1", "ANDROID_ID = 1"},  // characters, not words
        {"ORDER x OR", {"ORDER", "OR"}, "x OR", "ORDER x"},            // the longer entry first
        {"OR n = 'a   b'  OR", {"OR", ""}, "n = 'a   b' OR", "OR n = 'a   b'"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(trim_prefix(c.in, c.entries), c.prefix_out) << c.in;
        EXPECT_EQ(trim_suffix(c.in, c.entries), c.suffix_out) << c.in;
    }
}

TEST(Clauses, WhereSetAndTrim) {
    auto where = [](const char *body) {
        std::string out;
        append_where(out, body);
        return out;
    };
    EXPECT_EQ(where("  and a = 1 AND b = 'x  y'"), "WHERE a = 1 AND b = 'x  y'");
    EXPECT_EQ(where("Or AnD ANDx = 1"), "WHERE ANDx = 1");
    EXPECT_EQ(where(" AND\n OR "), "");
    std::string out;
    append_set(out, ", a = #{a}\n , b = #{b},");
    EXPECT_EQ(out, "SET a = #{a} , b = #{b},");
    out.clear();
    append_trim(out, "\n a  b ", "(", ")", {}, {});  // no overrides: the body stays as it is
    EXPECT_EQ(out, "( \n a  b  )");
    out.clear();
    append_trim(out, " AND x = 1 ,", "WHERE", "", {"AND"}, {","});
    EXPECT_EQ(out, "WHERE x = 1 ");
}
