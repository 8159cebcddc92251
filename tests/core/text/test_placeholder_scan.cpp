// tests/core/text/test_placeholder_scan.cpp
#include <gtest/gtest.h>

#include "text/placeholder_scan.hpp"

using namespace zorvane::core;
using Views = std::vector<std::string_view>;

TEST(FindPlaceholders, StopsAtFirstCloseBraceAndNeverCrossesNewline) {
    struct Case {
        std::string_view text;
        Views bind;
    } cases[] = {
        {"a = #{a} and b = #{b} or a = #{a}", {"#{a}", "#{b}", "#{a}"}},
        {"#{a{b}}", {"#{a{b}"}},
        {"#{} #{}}", {"#{} #{}"}},   // the first inside character may be "}"
        {"#{}}", {"#{}}"}},
        {"#{}", {}},
        {"#{a\n} #{b}", {"#{b}"}},
        {"#{\n}}", {}},
        {"#{a\rb}", {"#{a\rb}"}},     // only "\n" ends a line for the pattern
        {"##{x}#{y", {"#{x}"}},
        {"#{\xC3\xA9}", {"#{\xC3\xA9}"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(find_placeholders(c.text, PlaceholderKind::Bind), c.bind) << c.text;
}

TEST(FindPlaceholders, FunctionMarkersAreNotSplices) {
    std::string_view text = "${a} $f{f(x)} $${b}";
    EXPECT_EQ(find_placeholders(text, PlaceholderKind::Splice), (Views{"${a}", "${b}"}));
    EXPECT_EQ(find_placeholders(text, PlaceholderKind::Function), (Views{"$f{f(x)}"}));
}

TEST(ScanPlaceholders, GroupsKindsAndDropsExactDuplicates) {
    auto found = scan_placeholders("$f{g(1)} ${a} #{b} #{ b} ${a} #{b} $f{g(1)}");
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].text, "#{b}");
    EXPECT_EQ(found[1].text, "#{ b}");
    EXPECT_EQ(found[2].kind, PlaceholderKind::Splice);
    EXPECT_EQ(found[3].text, "$f{g(1)}");
    EXPECT_EQ(found[3].kind, PlaceholderKind::Function);
}

TEST(PlaceholderInside, RemovesEveryOpenerThenEveryBrace) {
    EXPECT_EQ(placeholder_inside("#{id}", "#{"), "id");
    EXPECT_EQ(placeholder_inside("#{a#{b}}c}", "#{"), "abc");
    EXPECT_EQ(placeholder_inside("$f{fmt(a, b)}", "$f{"), "fmt(a, b)");
    EXPECT_EQ(placeholder_inside("${x}", "#{"), "${x");
}

TEST(IsCall, NeedsCharactersBeforeAndInsideParentheses) {
    struct Case {
        std::string_view inside;
        bool call;
    } cases[] = {
        {"fmt(a)", true},     {"now()", false},        {"(a)", false},       {"((a)", true},
        {"(a)(b)", true},     {"a, x=f(1)", true},     {"f()x)", true},      {"f(\n)", false},
        {"f(a\n)", false},    {"f(a)\n", true},        {"f\r(a)", true},     {"f(", false},
        {"", false},          {"VARCHAR(20)", true},   {"x)(y", false},      {"f(()", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_call(c.inside), c.call) << c.inside;
}

TEST(BeforeFirst, WholeTextWithoutSeparator) {
    EXPECT_EQ(before_first(" id , sql_type=INTEGER", ','), " id ");
    EXPECT_EQ(before_first("id", ','), "id");
    EXPECT_EQ(before_first("(a)(b)", '('), "");
}

TEST(OptionValue, FirstKeywordFollowedByEqualsWins) {
    using Opt = std::optional<std::string_view>;
    struct Case {
        std::string_view placeholder, keyword;
        Opt value;
    } cases[] = {
        {"#{id, sql_type=INTEGER, python_type=int}", "sql_type", "INTEGER"},
        {"#{id, sql_type=INTEGER, python_type=int}", "python_type", "int"},
        {"#{id, sql_type=INTEGER}", "type_handler", std::nullopt},
        {"#{ts, python_type = datetime.datetime}", "python_type", "datetime"},
        {"#{id, sql_type=}", "sql_type", std::nullopt},
        {"#{id, sql_type= ,x}", "sql_type", std::nullopt},
        {"#{id, sql_type x, sql_type=B}", "sql_type", "B"},
        {"#{id, sql_type=A, sql_type=B}", "sql_type", "A"},
        {"#{id, SQL_TYPE=A}", "sql_type", std::nullopt},
        {"#{id, mysql_type=A}", "sql_type", "A"},
        {"#{id, sql_type\xC2\xA0=\xE3\x80\x80" "A_1}", "sql_type", "A_1"},
        {"#{id, sql_type=A\xC3\xA9}", "sql_type", "A"},   // non-ASCII undecided here: not a word
    };
    for (const auto &c : cases)
        EXPECT_EQ(option_value(c.placeholder, c.keyword), c.value) << c.placeholder << " / " << c.keyword;
}

TEST(OptionValue, AsksTheCallerAboutNonAsciiCodePoints) {
    auto letters = [](char32_t c) noexcept { return c == U'\u00E9'; };
    EXPECT_EQ(option_value("#{id, sql_type=A\xC3\xA9\xE2\x80\x94x}", "sql_type", +letters), "A\xC3\xA9");
}
