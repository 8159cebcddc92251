// tests/core/lint/test_mapper_lint.cpp
#include <gtest/gtest.h>

#include "lint/mapper_lint.hpp"

using namespace zorvane::core;

namespace {
// Expressions with a "(" that never closes do not compile; every result type is fine.
struct FakeHost final : LintHost {
    int compiles = 0;
    std::string expression_error(std::string_view expr, bool) override {
        ++compiles;
        return expr.find('(') != std::string_view::npos && expr.find(')') == std::string_view::npos ? "unclosed" : "";
    }
    std::string result_type_error(std::string_view) override { return {}; }
};

std::vector<Finding> lint(std::vector<SourceFile> files, FakeHost &host) { return lint_files(files, host); }
}  // namespace

TEST(LintFiles, CleanFileHasNoFindings) {
    FakeHost host;
    auto out = lint({{"a.xml", "<mapper namespace='a'><sql id='c'>x</sql><select id='s'>select <include refid='c'/>"
                               "<where><if test=\"params.get('a')\">a = #{a}</if></where>"
                               "<foreach item='i' collection='ids' open='(' close=')' separator=','>#{i}</foreach>"
                               "</select></mapper>"}},
                    host);
    EXPECT_TRUE(out.empty()) << out[0].code << " " << out[0].message;
}

TEST(LintFiles, ReportsIncludeCyclesWithTheChainAndSortsByPosition) {
    FakeHost host;
    auto out = lint({{"b.xml", "<mapper namespace='b'>\n<sql id='x'><include refid='y'/></sql>\n"
                               "<sql id='y'><include refid='x'/></sql>\n<select id='s'>${col}</select></mapper>"},
                     {"a.xml", "<mapper namespace='b'/>"}},
                    host);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].code, "ZV004");  // a.xml sorts first, though b.xml declared it first
    EXPECT_EQ(out[1].code, "ZV010");
    EXPECT_EQ(out[1].at.line, 3u);
    EXPECT_EQ(out[1].message, "include cycle: x -> y -> x");
    EXPECT_EQ(out[2].severity, Severity::Warning);
}

TEST(LintFiles, CompilesEachExpressionOnce) {
    FakeHost host;
    auto out = lint({{"a.xml", "<mapper namespace='a'><select id='s'><if test='f(1'>x</if><if test='f(1'>y</if>"
                               "</select></mapper>"}},
                    host);
    EXPECT_EQ(host.compiles, 1);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].code, "ZV011");
}

TEST(LintFiles, ShortensAnUnclosedPlaceholderAtACodePoint) {
    FakeHost host;
    std::string body = "#{a";
    for (int i = 0; i < 20; ++i)
        body += "\xC3\xA9";  // é: the 30-byte cut falls inside one
    auto out = lint({{"a.xml", "<mapper namespace='a'><select id='s'>" + body + "</select></mapper>"}}, host);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].message, "unclosed placeholder '#{a" + body.substr(3, 26) + "'");
}
