// tests/core/text/test_placeholder_scan.cpp
#include <gtest/gtest.h>

#include "text/placeholder_scan.hpp"

using namespace zorvane::core;
using Views = std::vector<std::string_view>;

TEST(FindPlaceholders, FirstCloseBraceAfterOneCharacterOnOneLine) {
    EXPECT_EQ(find_placeholders("#{a} #{a{b}} #{} #{}} #{c\n} #{d\re}", PlaceholderKind::Bind),
              (Views{"#{a}", "#{a{b}", "#{} #{}", "#{d\re}"}));
    EXPECT_EQ(find_placeholders("#{}}#{\xC3\xA9}##{x}#{y", PlaceholderKind::Bind), (Views{"#{}}", "#{\xC3\xA9}", "#{x}"}));
    EXPECT_EQ(find_placeholders("${a} $f{f(x)} $${b}", PlaceholderKind::Splice), (Views{"${a}", "${b}"}));
}

TEST(ScanPlaceholders, GroupsKindsAndDropsExactDuplicates) {
    auto found = scan_placeholders("$f{g(1)} ${a} #{b} #{ b} ${a} #{b} $f{g(1)}");
    std::vector<std::pair<PlaceholderKind, std::string_view>> got;
    for (const auto &p : found)
        got.emplace_back(p.kind, p.text);
    EXPECT_EQ(got, (decltype(got){{PlaceholderKind::Bind, "#{b}"}, {PlaceholderKind::Bind, "#{ b}"},
                                  {PlaceholderKind::Splice, "${a}"}, {PlaceholderKind::Function, "$f{g(1)}"}}));
}

TEST(Inside, OpenersThenBracesRemoved) {
    EXPECT_EQ(placeholder_inside("#{a#{b}}c}", "#{"), "abc");
    EXPECT_EQ(placeholder_inside("${x}", "#{"), "${x");
    EXPECT_EQ(before_first(" id , sql_type=INTEGER", ','), " id ");
    EXPECT_EQ(before_first("(a)(b)", '('), "");
}

TEST(IsCall, NeedsCharactersBeforeAndInsideParenthesesOnTheFirstLine) {
    for (std::string_view yes : {"fmt(a)", "((a)", "(a)(b)", "a, x=f(1)", "f()x)", "f(a)\n", "f\r(a)", "f(()"})
        EXPECT_TRUE(is_call(yes)) << yes;
    for (std::string_view no : {"now()", "(a)", "f(\n)", "f(a\n)", "f(", "", "x)(y"})
        EXPECT_FALSE(is_call(no)) << no;
}

TEST(OptionValue, FirstKeywordFollowedByEqualsWins) {
    using Opt = std::optional<std::string_view>;
    std::pair<std::string_view, Opt> cases[] = {
        {"#{ts, python_type = a.b, sql_type=INTEGER}", "INTEGER"}, {"#{id, sql_type=}", std::nullopt},
        {"#{id, sql_type x, sql_type=B, sql_type=C}", "B"},        {"#{id, SQL_TYPE=A}", std::nullopt},
        {"#{id, mysql_type=A}", "A"},                              {"#{id, sql_type\xC2\xA0=\xE3\x80\x80" "A_1}", "A_1"},
        {"#{id, sql_type=A\xC3\xA9}", "A"},  // non-ASCII is not a word character by default
    };
    for (const auto &[placeholder, value] : cases)
        EXPECT_EQ(option_value(placeholder, "sql_type"), value) << placeholder;
    auto e_acute = [](char32_t c) noexcept { return c == U'\u00E9'; };
    EXPECT_EQ(option_value("#{id, sql_type=A\xC3\xA9\xE2\x80\x94x}", "sql_type", +e_acute), "A\xC3\xA9");
}
