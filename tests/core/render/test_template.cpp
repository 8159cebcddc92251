// tests/core/render/test_template.cpp
#include <gtest/gtest.h>

#include <map>

#include "render/template.hpp"

using namespace zorvane::core;

namespace {

// Answers tests and collection sizes from tables and records what was asked.
struct TableEvaluator : Evaluator {
    std::map<std::size_t, bool> truth;
    std::map<std::size_t, std::size_t> sizes;
    std::vector<std::size_t> asked;

    bool test(std::size_t expr) override {
        asked.push_back(expr);
        auto it = truth.find(expr);
        if (it == truth.end())
            throw std::logic_error("test " + std::to_string(expr) + " evaluated");
        return it->second;
    }
    std::size_t collection_size(std::size_t expr) override {
        asked.push_back(expr);
        return sizes.at(expr);
    }
};

Body text(std::string_view s) {
    Body b;
    append_text(b, s);
    return b;
}

Body seq(std::vector<Node> nodes) {
    Body b;
    for (Node &n : nodes)
        append_node(b, std::move(n));
    return b;
}

Node txt(std::string_view s) {
    Node n;
    n.text = std::string(s);
    return n;
}

std::string run(const Body &b, Evaluator &ev, const std::vector<Body> &fragments = {}) {
    std::string out;
    render(b, fragments, ev, out);
    return out;
}

}  // namespace

TEST(Builders, MergeTextAndFoldStaticClauses) {
    Body b = seq({txt("select * from t "), make_where(text(" AND a = 1")), txt(" order by a")});
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].text, "select * from t WHERE a = 1 order by a");
    Body t = seq({make_trim({}, "(", ")", {}, {}), make_set(text(",x = 1"))});
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].text, "(  )SET x = 1");
}

TEST(Render, IfEvaluatesOnlyReachedTests) {
    TableEvaluator ev;
    ev.truth = {{0, true}, {1, false}};
    // Test 2 sits inside an untaken branch and is never asked for.
    Body b = seq({txt("a"), make_if(0, text("B")), make_if(1, seq({make_if(2, text("X")), txt("C")})), txt("d")});
    EXPECT_EQ(run(b, ev), "aBd");
    EXPECT_EQ(ev.asked, (std::vector<std::size_t>{0, 1}));
}

TEST(Render, WhereOverDynamicBody) {
    TableEvaluator ev;
    ev.truth = {{0, false}, {1, true}, {2, true}};
    Body b = seq({txt("select 1 "),
                  make_where(seq({make_if(0, text(" AND a = #{a}")), make_if(1, text("\n  AND b = 'x  y'")),
                                  make_if(2, text(" OR c = 1"))}))});
    EXPECT_EQ(run(b, ev), "select 1 WHERE b = 'x  y' OR c = 1");
    ev.truth = {{0, false}, {1, false}, {2, false}};
    EXPECT_EQ(run(b, ev), "select 1 ");
}

TEST(Render, ChooseTakesFirstHoldingBranchElseOtherwise) {
    TableEvaluator ev;
    auto choose = [](bool with_otherwise) {
        std::vector<Node> branches;
        branches.push_back(make_if(0, text("first")));
        branches.push_back(make_if(1, text("second")));
        if (with_otherwise)
            branches.push_back(make_block(text("other")));
        Body b;
        append_node(b, make_choose(std::move(branches), with_otherwise));
        return b;
    };
    ev.truth = {{0, true}};  // test 1 must not be asked
    EXPECT_EQ(run(choose(true), ev), "first");
    ev.truth = {{0, false}, {1, true}};
    EXPECT_EQ(run(choose(true), ev), "second");
    ev.truth = {{0, false}, {1, false}};
    EXPECT_EQ(run(choose(true), ev), "other");
    try {
        run(choose(false), ev);
        FAIL() << "no exception";
    } catch (const RenderError &e) {
        EXPECT_EQ(e.kind, ErrorKind::MissingOtherwise);
        EXPECT_STREQ(e.what(), "Missing otherwise element");
    }
}

TEST(Render, ChooseBranchWithoutTestFailsOnlyWhenReached) {
    TableEvaluator ev;
    std::vector<Node> branches;
    branches.push_back(make_if(0, text("a")));
    branches.push_back(make_error(ErrorKind::MissingAttribute, "test"));
    branches.push_back(make_block(text("o")));
    Body b;
    append_node(b, make_choose(std::move(branches), true));
    ev.truth = {{0, true}};
    EXPECT_EQ(run(b, ev), "a");
    ev.truth = {{0, false}};
    EXPECT_THROW(run(b, ev), RenderError);
}

struct ForeachCase {
    std::size_t count;
    const char *out;
};

class RenderForeach : public ::testing::TestWithParam<ForeachCase> {};

TEST_P(RenderForeach, IndexesTheItemMarkOnly) {
    TableEvaluator ev;
    ev.sizes = {{0, GetParam().count}};
    Body b = seq({txt("in "), make_foreach(text("#{id}/#{idx}/${id}/#{id.x}"), 0, "id", "ids", "(", ")", ",")});
    EXPECT_EQ(run(b, ev), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Counts, RenderForeach,
                         ::testing::Values(ForeachCase{0, "in ()"},
                                           ForeachCase{1, "in (#{ids_for_index_0}/#{idx}/${id}/#{id.x})"},
                                           ForeachCase{2, "in (#{ids_for_index_0}/#{idx}/${id}/#{id.x},"
                                                          "#{ids_for_index_1}/#{idx}/${id}/#{id.x})"}),
                         [](const auto &info) { return "n" + std::to_string(info.param.count); });

TEST(Render, ForeachBodyIsRenderedPerEntryAndNests) {
    TableEvaluator ev;
    ev.truth = {{1, true}};
    ev.sizes = {{0, 2}, {2, 12}};
    Body inner = seq({make_foreach(text("#{v}"), 2, "v", "vs", "", "", "")});
    Body b = seq({make_foreach(seq({make_if(1, text("#{a}:")), make_block(std::move(inner))}), 0, "a", "as", "[", "]",
                               " | ")});
    std::string out = run(b, ev);
    EXPECT_EQ(out.substr(0, 40), "[#{as_for_index_0}:#{vs_for_index_0}#{vs");
    EXPECT_NE(out.find("#{vs_for_index_11} | #{as_for_index_1}:"), std::string::npos);
    EXPECT_EQ(out.back(), ']');
}

TEST(Render, IncludeRendersFragmentsAndStopsCycles) {
    TableEvaluator ev;
    ev.truth = {{0, true}};
    std::vector<Body> fragments(3);
    fragments[0] = text("id, name");
    fragments[1] = seq({txt("select "), make_include(0, "cols"), make_if(0, seq({make_include(2, "loop")}))});
    fragments[2] = seq({txt(" x"), make_include(1, "outer")});
    Body ok = seq({make_include(0, "cols"), txt(" / "), make_include(0, "cols")});
    EXPECT_EQ(run(ok, ev, fragments), "id, name / id, name");
    try {
        run(seq({make_include(1, "outer")}), ev, fragments);
        FAIL() << "no exception";
    } catch (const RenderError &e) {
        EXPECT_EQ(e.kind, ErrorKind::IncludeCycle);
        EXPECT_EQ(e.name, "outer");
    }
}

TEST(Render, ErrorNodesRaiseWhenReachedWithTheirName) {
    TableEvaluator ev;
    ev.truth = {{0, false}};
    Body b = seq({make_if(0, seq({make_error(ErrorKind::UnsupportedTag, "bogus")})), txt("ok")});
    EXPECT_EQ(run(b, ev), "ok");
    Body bad = seq({txt("x"), make_error(ErrorKind::UnknownRefid, "nope")});
    try {
        run(bad, ev);
        FAIL() << "no exception";
    } catch (const RenderError &e) {
        EXPECT_EQ(e.kind, ErrorKind::UnknownRefid);
        EXPECT_STREQ(e.what(), "unknown refid: nope");
    }
}

TEST(Render, EvaluatorErrorsPropagate) {
    TableEvaluator ev;  // no answers: every test throws
    Body b = seq({make_where(seq({make_if(7, text("a = 1"))}))});
    EXPECT_THROW(run(b, ev), std::logic_error);
}
