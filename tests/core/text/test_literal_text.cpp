// tests/core/text/test_literal_text.cpp
#include <gtest/gtest.h>

#include "text/literal_text.hpp"

using namespace zorvane::core;

TEST(ReplaceAll, NonOverlappingLeftToRight) {
    EXPECT_EQ(replace_all("aaaaa", "aa", "b"), "bba");
    EXPECT_EQ(replace_all("a.b.c", ".", ""), "abc");
}

TEST(XmlEscapes, OrderOfPassesMatters) {
    EXPECT_EQ(escape_xml("a < b & \"q\" 'x' >"), "a &lt; b &amp; &quot;q&quot; 'x' &gt;");
    EXPECT_EQ(unescape_xml("&amp;lt; &lt;&gt;&quot;&apos;"), "< <>\"&apos;");
}

TEST(Cdata, FirstOpenerWithItsShortestSection) {
    auto sec = find_cdata("x <![CDATA[a]]> <![CDATA[b]]>");
    ASSERT_TRUE(sec);
    EXPECT_EQ(std::make_tuple(sec->begin, sec->end, sec->content), std::make_tuple(2u, 15u, std::string_view("a")));
    EXPECT_FALSE(find_cdata("]]> <![CDATA[ open"));
    EXPECT_EQ(replace_first_cdata("<![CDATA[<]]> <![CDATA[&]]> <![CDATA[<]]>"), "&lt; <![CDATA[&]]> &lt;");
}

TEST(SqlStringLiteral, DelimitersKeptInnerQuotesDoubledIdempotent) {
    std::pair<std::string_view, std::string_view> cases[] = {
        {"abc", "'abc'"}, {"'abc", "'abc'"}, {"abc'", "'abc'"},     {"", "''"},          {"'", "''"},
        {"''", "''"},     {"'''", "''''"},   {"it's", "'it''s'"},   {"'it's'", "'it''s'"}, {"'it''s'", "'it''s'"},
        {"a'''b", "'a''''b'"},               {"x''", "'x'''"},
    };
    for (const auto &[in, out] : cases) {
        EXPECT_EQ(sql_string_literal(in), out) << in;
        EXPECT_EQ(sql_string_literal(out), out) << in;
    }
}

TEST(SqlStringLiteral, BackslashEscapesDoubleEveryBackslash) {
    constexpr auto bs = LiteralEscapes::backslash;
    std::pair<std::string_view, std::string_view> cases[] = {
        {"C:\\temp\\new", "'C:\\\\temp\\\\new'"}, {"a\\", "'a\\\\'"},   {"\\'", "'\\\\'"},
        {"\\' or 1=1 -- ", "'\\\\'' or 1=1 -- '"}, {"x\\\\'y", "'x\\\\\\\\''y'"}, {"it's", "'it''s'"},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(sql_string_literal(in, bs), out) << in;
    EXPECT_EQ(sql_string_literal("C:\\temp"), "'C:\\temp'");
}
