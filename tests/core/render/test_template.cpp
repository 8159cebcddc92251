// tests/core/render/test_template.cpp
#include <gtest/gtest.h>

#include <map>

#include "render/template.hpp"

using namespace zorvane::core;

namespace {

// Answers tests and collection sizes from tables; a test it has no answer for throws.
struct TableEvaluator : Evaluator {
    std::map<std::size_t, bool> truth;
    std::map<std::size_t, std::size_t> sizes;
    bool test(std::size_t expr) override { return truth.at(expr); }
    std::size_t collection_size(std::size_t expr) override { return sizes.at(expr); }
};

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

Body text(std::string_view s) { return seq({txt(s)}); }

std::string run(const Body &b, Evaluator &ev, const std::vector<Body> &fragments = {}) {
    std::string out;
    render(b, fragments, ev, out);
    return out;
}

ErrorKind error_of(const Body &b, Evaluator &ev, const std::vector<Body> &fragments = {}) {
    try {
        run(b, ev, fragments);
    } catch (const RenderError &e) {
        return e.kind;
    }
    ADD_FAILURE() << "no RenderError";
    return ErrorKind::MissingOtherwise;
}

}  // namespace

TEST(Render, OnlyReachedTestsAreEvaluated) {
    TableEvaluator ev;  // test 2 has no answer: asking for it would throw
    ev.truth = {{0, true}, {1, false}};
    Body b = seq({make_where(seq({make_if(0, text(" and a = 1")), make_if(1, seq({make_if(2, text("x"))})),
                                  make_if(0, text("\n OR b = 'x  y'"))}))});
    EXPECT_EQ(run(b, ev), "WHERE a = 1 OR b = 'x  y'");
}

TEST(Render, ChooseTakesTheFirstHoldingBranch) {
    TableEvaluator ev;
    auto choose = [](bool otherwise) {
        std::vector<Node> branches;
        branches.push_back(make_if(0, text("first")));
        branches.push_back(make_error(ErrorKind::MissingAttribute, "test"));  // a when without test
        if (otherwise)
            branches.push_back(make_block(text("other")));
        return seq({make_choose(std::move(branches), otherwise)});
    };
    ev.truth = {{0, true}};
    EXPECT_EQ(run(choose(false), ev), "first");
    ev.truth = {{0, false}};
    EXPECT_EQ(error_of(choose(true), ev), ErrorKind::MissingAttribute);
    Body no_branch = seq({make_choose({}, false)});
    EXPECT_EQ(error_of(no_branch, ev), ErrorKind::MissingOtherwise);
    Body only_other = seq({make_choose({make_block(text("o"))}, true)});
    EXPECT_EQ(run(only_other, ev), "o");
}

TEST(Render, ForeachIndexesOnlyTheExactItemMark) {
    TableEvaluator ev;
    ev.truth = {{1, true}};
    Body inner = seq({make_foreach(text("#{v}"), 2, "v", "vs", "", "", "")});
    Body b = seq({make_foreach(seq({make_if(1, text("#{a}|#{a.x}|${a}|")), make_block(std::move(inner))}), 0, "a",
                               "as", "[", "]", ", ")});
    ev.sizes = {{0, 0}, {2, 1}};
    EXPECT_EQ(run(b, ev), "[]");
    ev.sizes = {{0, 2}, {2, 11}};
    std::string out = run(b, ev);
    EXPECT_EQ(out.substr(0, 34), "[#{as_for_index_0}|#{a.x}|${a}|#{v");
    EXPECT_NE(out.find("#{vs_for_index_10}, #{as_for_index_1}|"), std::string::npos);
    EXPECT_EQ(out.back(), ']');
}

TEST(Render, IncludesRenderFragmentsAndStopCycles) {
    TableEvaluator ev;
    ev.truth = {{0, true}};
    std::vector<Body> fragments(3);
    fragments[0] = text("id, name");
    fragments[1] = seq({make_include(0, "cols"), make_if(0, seq({make_include(2, "loop")}))});
    fragments[2] = seq({txt(" x"), make_include(1, "outer")});
    EXPECT_EQ(run(seq({make_include(0, "cols"), txt(" / "), make_include(0, "cols")}), ev, fragments),
              "id, name / id, name");
    EXPECT_EQ(error_of(seq({make_include(1, "outer")}), ev, fragments), ErrorKind::IncludeCycle);
}

TEST(Render, ErrorNodesRaiseOnlyWhenReached) {
    TableEvaluator ev;
    ev.truth = {{0, false}};
    EXPECT_EQ(run(seq({make_if(0, seq({make_error(ErrorKind::UnsupportedTag, "bogus")})), txt("ok")}), ev), "ok");
    try {
        run(seq({txt("x"), make_error(ErrorKind::UnknownRefid, "nope")}), ev);
        FAIL() << "no exception";
    } catch (const RenderError &e) {
        EXPECT_EQ(e.name, "nope");
        EXPECT_STREQ(e.what(), "unknown refid: nope");
    }
}

TEST(Render, RecordsDecisionsInDocumentOrderAndLocatesFailures) {
    struct Locating : TableEvaluator {
        std::vector<std::uint32_t> failed;
        void failed_at(std::uint32_t line) noexcept override { failed.push_back(line); }
    } ev;
    auto at = [](Node n, std::uint32_t line) { n.line = line; return n; };
    std::vector<Node> branches;
    branches.push_back(at(make_if(1, text("a")), 3));
    branches.push_back(at(make_if(0, text("b")), 4));
    Body b = seq({at(make_choose(std::move(branches), false), 2),
                  at(make_foreach(seq({at(make_if(0, text("x")), 6)}), 2, "i", "is", "", "", ""), 5)});
    ev.truth = {{0, true}, {1, false}};
    ev.sizes = {{2, 2}};
    std::vector<Decision> d;
    std::string out;
    render(b, {}, ev, out, &d);
    EXPECT_EQ(out, "bxx");
    ASSERT_EQ(d.size(), 6u);
    EXPECT_EQ(d[0].tag, DecisionTag::Choose);
    EXPECT_EQ(d[0].branch_line, 4u);
    EXPECT_EQ(d[0].outcome, 2u);
    EXPECT_EQ(d[1].outcome, 0u);
    EXPECT_EQ(d[3].tag, DecisionTag::Foreach);
    EXPECT_EQ(d[3].outcome, 2u);
    ev.truth = {{1, false}};  // test 0 now throws: its line is reported once, at the innermost node
    EXPECT_THROW(run(b, ev), std::out_of_range);
    EXPECT_EQ(ev.failed, (std::vector<std::uint32_t>{4}));
}

TEST(Render, StaticBodiesAreTextAndIncludesOfStaticFragments) {
    std::vector<Body> fragments(4);
    fragments[0] = text("id, name");
    fragments[1] = seq({txt("a"), make_if(0, text("b"))});
    fragments[2] = seq({txt(" x"), make_include(3, "back")});
    fragments[3] = seq({make_include(2, "loop")});
    EXPECT_TRUE(is_static(text("INSERT INTO t VALUES (#{a})"), fragments));
    EXPECT_TRUE(is_static(seq({txt("SELECT "), make_include(0, "cols"), make_where(text("a = 1"))}), fragments));
    EXPECT_FALSE(is_static(seq({txt("SELECT "), make_include(1, "dyn")}), fragments));
    EXPECT_FALSE(is_static(seq({make_include(2, "loop")}), fragments));  // a cycle raises when rendered
    EXPECT_FALSE(is_static(seq({make_include(9, "gone")}), fragments));
    EXPECT_FALSE(is_static(seq({txt("x"), make_error(ErrorKind::UnknownRefid, "nope")}), fragments));
    EXPECT_FALSE(is_static(seq({make_foreach(text("#{i}"), 0, "i", "xs", "(", ")", ",")}), fragments));
    EXPECT_FALSE(is_static(seq({make_where(seq({make_if(0, text("a = 1"))}))}), fragments));
}
