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
    // Letters whose last byte alone would read as U+0085 or U+00A0 stay whole.
    EXPECT_EQ(format_sql("select l\xC3\xA0,  \xE0\xA4\x85 from t\xC4\xA0"), "select l\xC3\xA0, \xE0\xA4\x85 from t\xC4\xA0");
    EXPECT_EQ(prepare_sql("select l\xC3\xA0 from t where #{l\xC3\xA0 }"), "select l\xC3\xA0 from t where :l\xC3\xA0");
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
    // After any non-ASCII character: "«" is no word character, the escape after "é" is undone.
    EXPECT_EQ(prepare_sql("'\xC2\xAB:x' '\xC3\xA9:y'"), "'\xC2\xAB\\:x' '\xC3\xA9\\:y'");
}

TEST(OpenQuote, RecognisesEveryKindOfQuotedRun) {
    struct Case {
        const char *text;
        std::size_t at, len;
        const char *close;
    } cases[] = {{"'a'", 0, 1, "'"}, {"x E'a'", 2, 2, "'"}, {"e'a'", 0, 2, "'"}, {"$$ a $$", 0, 2, "$$"},
                 {"= $fn_1$ a $fn_1$", 2, 6, "$fn_1$"}, {"xE'a'", 1, 0, ""}, {"a$b$", 1, 0, ""},
                 {"$1$", 0, 0, ""}, {"${col}", 0, 0, ""}, {"$$", 1, 0, ""},
                 // After multi-byte whitespace a run opens; after a letter ending in the same byte it does not.
                 {"x\xC2\xA0$t$", 3, 3, "$t$"}, {"\xC3\xA0$t$", 2, 0, ""}, {"x\xE3\x80\x80" "E'a'", 4, 2, "'"}};
    for (const Case &c : cases) {
        QuoteOpener q = open_quote(c.text, c.at);
        EXPECT_EQ(q.len, c.len) << c.text;
        EXPECT_EQ(q.close, c.close) << c.text;
    }
}

TEST(SplitSqlWords, PostgresLiteralsStayWhole) {
    EXPECT_EQ(split_sql_words("x = E'it\\'s  ok' y"), (Views{"x", "=", "E'it\\'s  ok'", "y"}));
    EXPECT_EQ(split_sql_words("E'a''  b' $$ x  $$ $t$ a $$ b $t$"),
              (Views{"E'a''  b'", "$$ x  $$", "$t$ a $$ b $t$"}));
    EXPECT_EQ(split_sql_words("E'\\"), (Views{"E'\\"}));  // unclosed, ending in a backslash
}

TEST(PrepareSql, KeepsPostgresLiteralsAndCasts) {
    EXPECT_EQ(prepare_sql("as $$ begin  x := :y; end $$"), "as $$ begin  x := \\:y; end $$");
    EXPECT_EQ(prepare_sql("E'a\\'  :b'  ,  c"), "E'a\\'  \\:b' , c");
    // ":id::bigint" would not bind id; the escaped colons reach the server as "::".
    EXPECT_EQ(prepare_sql("#{id}::bigint, #{v} ::int, created_at::date"), ":id\\:\\:bigint, :v ::int, created_at::date");
    EXPECT_EQ(prepare_sql("'#{a}::x'"), "':a::x'");
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
