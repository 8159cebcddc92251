// tests/core/text/test_sql_text.cpp
#include <gtest/gtest.h>

#include "text/sql_text.hpp"
#include "text/utf8.hpp"

using namespace zorvane::core;
using Views = std::vector<std::string_view>;

TEST(FindBindNames, KeepsOrderAndDuplicates) {
    EXPECT_EQ(find_bind_names("a = #{a} and b = #{b-1} or a = #{a}"), (Views{"a", "b-1", "a"}));
}

TEST(FindBindNames, SkipsNamesOutsideTheCharacterSet) {
    EXPECT_EQ(find_bind_names("#{user.name} #{} #{ x} #{ok}"), (Views{"ok"}));
    EXPECT_EQ(find_bind_names("##{a}#{b"), (Views{"a"}));
}

TEST(FindSpliceNames, OnlyDollarMarkers) {
    EXPECT_EQ(find_splice_names("order by ${col} #{x} $f{y}"), (Views{"col"}));
}

TEST(SplitSqlWords, QuotedRunsStayWhole) {
    EXPECT_EQ(split_sql_words("  a  'x  y'  \"p  q\"`r  s` "), (Views{"a", "'x  y'", "\"p  q\"`r  s`"}));
    EXPECT_EQ(split_sql_words("n = 'it''s  ok'"), (Views{"n", "=", "'it''s  ok'"}));
    EXPECT_EQ(split_sql_words("x 'open  end"), (Views{"x", "'open  end"}));
    EXPECT_TRUE(split_sql_words(" \t\n ").empty());
}

TEST(FormatSql, CollapsesOutsideQuotesOnly) {
    EXPECT_EQ(format_sql("\n select  *\tfrom t\r\n where n = 'a  b' "), "select * from t where n = 'a  b'");
    // U+00A0 and U+2003 are whitespace to the host as well.
    EXPECT_EQ(format_sql("a\xC2\xA0\xE2\x80\x83" "b"), "a b");
}

TEST(PrepareSql, RewritesMarkersAndNormalises) {
    EXPECT_EQ(prepare_sql("select *\n from t where a = #{a}\tand b = #{b}"),
              "select * from t where a = :a and b = :b");
    EXPECT_EQ(prepare_sql("in (#{ids_for_index_0},#{ids_for_index_1})"), "in (:ids_for_index_0,:ids_for_index_1)");
    EXPECT_EQ(prepare_sql("x = #{user.name} and y = ${col}"), "x = :user.name and y = ${col}");
    EXPECT_EQ(prepare_sql("#{}} #{a"), "#{}} #{a");
}

TEST(PrepareSql, EscapesBindLikeColonsInsideQuotesOnly) {
    EXPECT_EQ(prepare_sql("where note = 'meet at :noon' and t = #{t}"), "where note = 'meet at \\:noon' and t = :t");
    // Times, doubled colons and lone letters before a colon are no bind markers.
    EXPECT_EQ(prepare_sql("'12:30:00' '::x' 'a :b:'"), "'12:30:00' '::x' 'a :b:'");
    // A marker inside a literal is still rewritten, unescaped.
    EXPECT_EQ(prepare_sql("like '#{p}'"), "like ':p'");
    EXPECT_EQ(prepare_sql("\"col :x\" `t :y`"), "\"col \\:x\" `t \\:y`");
}

TEST(StripPy, HandlesMultibyteWhitespace) {
    EXPECT_EQ(strip_py("\xE3\x80\x80 x y \xC2\x85"), "x y");
    EXPECT_EQ(strip_py("\xC3\xA9"), "\xC3\xA9");
}

TEST(ReplaceSplices, SubstitutesEveryOccurrence) {
    auto out = replace_splices("order by ${col} ${col}, ${dir} #{x}", [](std::string_view n) {
        return n == "col" ? std::string("id") : std::string();
    });
    EXPECT_EQ(out, "order by id id,  #{x}");
}
