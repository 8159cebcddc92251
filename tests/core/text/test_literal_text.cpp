// tests/core/text/test_literal_text.cpp
#include <gtest/gtest.h>

#include "text/literal_text.hpp"

using namespace zorvane::core;

TEST(ReplaceAll, NonOverlappingLeftToRight) {
    EXPECT_EQ(replace_all("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(replace_all("aaa", "aa", "x"), "xa");
    EXPECT_EQ(replace_all("abc", "z", "y"), "abc");
    EXPECT_EQ(replace_all("a.b.c", ".", ""), "abc");
}

TEST(XmlEscapes, OrderOfPassesMatters) {
    EXPECT_EQ(escape_xml("a < b & c \"q\" 'x' >"), "a &lt; b &amp; c &quot;q&quot; 'x' &gt;");
    EXPECT_EQ(unescape_xml("&amp;lt;"), "<");
    EXPECT_EQ(unescape_xml("&lt;&gt;&quot;&amp;&apos;"), "<>\"&&apos;");
    // Not an exact inverse: an escaped entity text comes back as its character.
    EXPECT_EQ(unescape_xml(escape_xml("&lt; <&>\"")), "< <&>\"");
}

TEST(FindCdata, FirstOpenerWithAShortestSection) {
    auto sec = find_cdata("x <![CDATA[a]]> <![CDATA[b]]>");
    ASSERT_TRUE(sec);
    EXPECT_EQ(sec->content, "a");
    EXPECT_EQ(sec->begin, 2u);
    EXPECT_EQ(sec->end, 15u);
    EXPECT_EQ(find_cdata("<![CDATA[\nline\n]]>")->content, "\nline\n");
    EXPECT_EQ(find_cdata("<![CDATA[]]>")->content, "");
    EXPECT_FALSE(find_cdata("<![CDATA[ open"));
    EXPECT_FALSE(find_cdata("]]> <![CDATA["));
}

TEST(ReplaceFirstCdata, ReplacesEveryCopyOfTheFirstSectionOnly) {
    EXPECT_EQ(replace_first_cdata("w <![CDATA[a < b]]> e"), "w a &lt; b e");
    EXPECT_EQ(replace_first_cdata("<![CDATA[<]]> <![CDATA[&]]> <![CDATA[<]]>"), "&lt; <![CDATA[&]]> &lt;");
    EXPECT_EQ(replace_first_cdata("plain"), "plain");
}

TEST(SqlStringLiteral, DelimitersKeptAndInnerQuotesDoubled) {
    struct Case {
        std::string_view in, out;
    } cases[] = {
        {"abc", "'abc'"},       {"'abc'", "'abc'"},       {"'abc", "'abc'"},     {"abc'", "'abc'"},
        {"", "''"},             {"'", "''"},              {"''", "''"},          {"'''", "''''"},
        {"''''", "''''"},       {"it's", "'it''s'"},      {"'it's'", "'it''s'"}, {"'it''s'", "'it''s'"},
        {"'it's", "'it''s'"},   {"a'''b", "'a''''b'"},    {"x''", "'x'''"},      {"\xC3\xA9'", "'\xC3\xA9'"},
    };
    for (const auto &c : cases) {
        std::string once = sql_string_literal(c.in);
        EXPECT_EQ(once, c.out) << c.in;
        EXPECT_EQ(sql_string_literal(once), once) << c.in;
    }
}
