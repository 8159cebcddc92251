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
    // A marker inside a literal or a comment is text.
    EXPECT_EQ(prepare_sql("like '#{p}' /* #{q} */ -- #{r}"), "like '#{p}' /* #{q} */");
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
    EXPECT_EQ(prepare_sql("'#{a}::x'"), "'#{a}::x'");
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

constexpr SqlDialect kMysql{true};

TEST(CommentAt, KnowsEachDialectsForms) {
    struct Case {
        const char *text;
        bool mysql;
        std::size_t end;
        bool line;
    };
    const Case cases[] = {
        {"-- x\ny", false, 4, true},   {"--x\ny", false, 3, true},     {"--x", true, 0, false},
        {"-- x\ny", true, 4, true},    {"--\ty", true, 4, true},       {"--", true, 2, true},
        {"-- a\rb\n", false, 4, true}, {"-- a\rb\n", true, 6, true},   {"# x\ny", true, 3, true},
        {"# x\ny", false, 0, false},   {"#{a} x", true, 0, false},      {"/* a */b", false, 7, false},
        {"/* /* */ */b", false, 11, false}, {"/* /* */ */b", true, 8, false}, {"/* open", true, 7, false},
        {"/", false, 0, false},
    };
    for (const Case &c : cases) {
        Comment got = comment_at(c.text, 0, SqlDialect{c.mysql});
        EXPECT_EQ(got.end, c.end) << c.text << (c.mysql ? " (mysql)" : "");
        EXPECT_EQ(got.line, c.line) << c.text;
    }
}

TEST(FormatSql, LineCommentsNeverJoinTheNextLine) {
    // The comment used to swallow the WHERE clause once the lines were joined.
    EXPECT_EQ(format_sql("DELETE FROM t   -- remove one row\n   WHERE id = 1"), "DELETE FROM t WHERE id = 1");
    EXPECT_EQ(format_sql("DELETE FROM t # it's\n WHERE n = 'c  d'", kMysql), "DELETE FROM t WHERE n = 'c  d'");
    // Without MySQL's rules '#' is an operator and "it's" opens a literal.
    EXPECT_EQ(format_sql("a # 'b  c'"), "a # 'b  c'");
    EXPECT_EQ(format_sql("a /* don't */  'c  d' -- it's\n'e  f'"), "a /* don't */ 'c  d' 'e  f'");
    EXPECT_EQ(format_sql("x--y\nz"), "x z");
    EXPECT_EQ(format_sql("x--y\nz", kMysql), "x--y z");
    EXPECT_EQ(split_sql_words("a/* b  c */d -- e\nf"), (Views{"a/* b  c */d", "f"}));
    // MySQL reads "5 ---- x" as 5 - - and a comment: dropping the comment would join "--" to 3.
    EXPECT_EQ(format_sql("5 ---- x\n  3", kMysql), "5 ---- x\n3");
    EXPECT_EQ(prepare_sql("5 ---- x\n  #{a}", kMysql), "5 ---- x\n:a");
    EXPECT_EQ(format_sql("5 ---- x\n  3"), "5 3");
}

TEST(FormatSql, BackslashEscapesFollowTheDialect) {
    // MySQL: the escaped quote does not end the literal.
    EXPECT_EQ(format_sql("'it\\'s  two'  x", kMysql), "'it\\'s  two' x");
    EXPECT_EQ(format_sql("\"a\\\"  b\"  x", kMysql), "\"a\\\"  b\" x");
    // Standard strings: a backslash is an ordinary character.
    EXPECT_EQ(format_sql("'a\\'  'b  c'"), "'a\\' 'b  c'");
    // No dollar quoting or E'' strings on MySQL.
    EXPECT_EQ(format_sql("$$a  b$$", kMysql), "$$a b$$");
    EXPECT_EQ(format_sql("$$a  b$$"), "$$a  b$$");
}

TEST(PrepareSql, CommentsAndLiteralsHideMarkers) {
    EXPECT_EQ(prepare_sql("UPDATE t SET a = #{a} -- was #{b}\nWHERE id = #{id}"), "UPDATE t SET a = :a WHERE id = :id");
    EXPECT_EQ(prepare_sql("select 'p #{x}' # #{y}\n, #{z}", kMysql), "select 'p #{x}' , :z");
    EXPECT_EQ(prepare_sql("select /* at 10:30 :x */ 1"), "select /* at 10:30 \\:x */ 1");
    EXPECT_EQ(find_bind_names("a = #{a} -- #{b}\n '#{c}' /* #{d} */ #{e}"), (Views{"a", "e"}));
    EXPECT_EQ(find_bind_names("a = #{a} # #{b}\n #{e}", kMysql), (Views{"a", "e"}));
    EXPECT_EQ(find_bind_names("'it\\'s #{a}' #{b}", kMysql), (Views{"b"}));
    EXPECT_EQ(find_bind_names("'it\\' #{a} '", SqlDialect{}), (Views{"a"}));
}

TEST(FindInLists, OnlyAWholeRightSideOfIn) {
    std::vector<InList> found = find_in_lists("a IN(#{x}) and b not in /* c */ #{y} and c IN (#{z}, 1) and "
                                              "pin (#{p}) and d = ANY(#{q}) and e in '#{r}'");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "x");
    EXPECT_FALSE(found[0].negated);
    EXPECT_EQ(found[1].name, "y");
    EXPECT_TRUE(found[1].negated);
}

TEST(PrepareSql, ExpandsListsBySize) {
    auto sizes = [](std::string_view name) -> long { return name == "a" ? 2 : name == "b" ? 0 : -1; };
    EXPECT_EQ(prepare_sql("x IN ( #{a} ) AND y NOT IN #{b} AND z IN (#{c})", {}, sizes),
              "x IN (:a_in_0, :a_in_1) AND y NOT IN (SELECT NULL WHERE 1=0) AND z IN (:c)");
    EXPECT_EQ(prepare_sql("y NOT IN #{b}", SqlDialect{false, true}, sizes), "y <> ALL('{}')");
}

TEST(IsIdentifierList, ColumnsWithDirectionsOnly) {
    for (std::string_view ok : {"a", "t.b DESC", " a asc ,b,\tc.d.e desc ", "_x$1"})
        EXPECT_TRUE(is_identifier_list(ok)) << ok;
    for (std::string_view bad : {"", "a b", "a;", "a --", "'a'", "1a", "a,", "a DESC DESC", "select", "a.", "\"a\""})
        EXPECT_FALSE(is_identifier_list(bad)) << bad;
}

TEST(InsertTarget, TableAsWrittenAndReturning) {
    InsertTarget t = insert_target("insert /* x */ into \"S\".users(a) values (1)");
    EXPECT_EQ(t.table, "\"S\".users");
    EXPECT_FALSE(t.returning);
    EXPECT_TRUE(insert_target("INSERT INTO t VALUES (1) RETURNING id").returning);
    EXPECT_EQ(insert_target("UPDATE t SET a = 1").table, "");
}

TEST(FindSplices, OutsideLiteralsAndComments) {
    std::vector<Splice> found = find_splices("order by ${a} -- ${b}\n, '${c}', ${d-1}");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "a");
    EXPECT_EQ(found[1].name, "d-1");
}
