// tests/core/results/test_nesting.cpp
#include <gtest/gtest.h>

#include <optional>

#include "results/nesting.hpp"

using namespace zorvane::core::results;

namespace {

using Row = std::vector<std::optional<int>>;

struct Table : Cells {
    std::vector<Row> rows;
    bool null(std::size_t r, int c) const override { return !rows[r][static_cast<std::size_t>(c)]; }
    std::size_t hash(std::size_t r, int c) const override { return std::hash<int>()(rows[r][static_cast<std::size_t>(c)].value_or(-1)); }
    bool equal(std::size_t a, std::size_t b, int c) const override {
        return rows[a][static_cast<std::size_t>(c)] == rows[b][static_cast<std::size_t>(c)];
    }
};

FieldShape scalar(const char *name) { return {name, FieldKind::Scalar, -1, false, false}; }

// 0 Article(id, title, author: Author, comments: list[Comment], tags: list[str])
// 1 Author(name, org: Org | None)   2 Comment(id, body)   3 Org(name)
std::vector<ClassShape> shapes() {
    return {{"Article",
             {scalar("id"), scalar("title"), {"author", FieldKind::Object, 1, false, false},
              {"comments", FieldKind::List, 2, false, false}, {"tags", FieldKind::ScalarList, -1, false, true}}},
            {"Author", {scalar("name"), {"org", FieldKind::Object, 3, true, true}}},
            {"Comment", {scalar("id"), scalar("body")}},
            {"Org", {scalar("name")}}};
}

// (row, children...) of each group, flattened for comparison.
std::string dump(const std::vector<Group> &gs) {
    std::string out;
    for (const Group &g : gs) {
        out += std::to_string(g.row);
        for (const auto &c : g.children)
            out += "[" + dump(c) + "]";
        out += " ";
    }
    return out;
}

TEST(Nesting, LabelsMapToLevelsWithEitherSeparator) {
    Plan p = compile(shapes(), 0, {"id", "title", "author__name", "author.org.name", "comments__id", "comments.body",
                                   "tags__tag", "author__extra", "no__such"});
    EXPECT_FALSE(p.flat);
    ASSERT_EQ(p.root.children.size(), 3u);
    const Node &author = p.root.children[0];
    EXPECT_EQ(author.scalars, (std::vector<std::pair<int, int>>{{0, 2}}));
    EXPECT_EQ(author.extras, (std::vector<std::pair<std::string, int>>{{"extra", 7}}));
    ASSERT_EQ(author.children.size(), 1u);
    EXPECT_EQ(author.children[0].prefix, "author__org__");
    EXPECT_EQ(author.children[0].scalars, (std::vector<std::pair<int, int>>{{0, 3}}));
    EXPECT_EQ(p.root.children[1].identity, std::vector<int>{4});  // by id
    EXPECT_EQ(p.root.children[2].value, 6);
    EXPECT_EQ(p.root.identity, std::vector<int>{0});
    EXPECT_EQ(p.root.extras, (std::vector<std::pair<std::string, int>>{{"no__such", 8}}));
    EXPECT_TRUE(p.root.joined);
}

TEST(Nesting, MissingNestedFieldsAndExtraScalarColumnsAreErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"id", "comments__id"},                                  // author: required, no column
        {"id", "author__name"},                                  // comments: required
        {"id", "author__name", "comments", "tags__a", "tags__b"},  // two columns for a list of values
    };
    const char *expect[] = {"field 'author' of Article is filled by no column: expected columns starting with 'author__'",
                            "'comments__' or a JSON array column 'comments'", "more than one starts with 'tags__'"};
    for (std::size_t i = 0; i < bad.size(); ++i) {
        try {
            compile(shapes(), 0, bad[i]);
            ADD_FAILURE() << i;
        } catch (const PlanError &e) {
            EXPECT_NE(std::string(e.what()).find(expect[i]), std::string::npos) << e.what();
        }
    }
    Plan json = compile(shapes(), 0, {"id", "author__name", "comments"});
    EXPECT_EQ(json.root.json, (std::vector<std::pair<int, int>>{{3, 2}}));
    EXPECT_TRUE(compile({{"T", {scalar("a")}}}, 0, {"a", "x__y"}).flat);
}

TEST(Nesting, GroupsParentsDedupesSiblingsSkipsNullChildren) {
    Plan p = compile(shapes(), 0, {"id", "author__name", "author__org__name", "comments__id", "tags__t"});
    Table t;
    // article 1: two comments × two tags (multiplied rows); article 2: no comment, no tag;
    // article 1 again later (order of first row kept).
    t.rows = {{1, 10, 5, 100, 7}, {1, 10, 5, 100, 8}, {1, 10, 5, 101, 7}, {1, 10, 5, 101, 8},
              {2, 20, {}, {}, {}}, {1, 10, 5, 102, 7}};
    EXPECT_EQ(dump(group(p, t, t.rows.size())), "0[0[0 ] ][0 2 5 ][0 1 ] 4[4[] ][][] ");
    // streams group neighbours only
    EXPECT_EQ(dump(group(p, t, t.rows.size(), true)), "0[0[0 ] ][0 2 ][0 1 ] 4[4[] ][][] 5[5[5 ] ][5 ][5 ] ");
}

TEST(Nesting, WithoutCollectionsEveryRowIsAParentAndManyGroupsUseTheIndex) {
    Plan flat = compile(shapes(), 0, {"id", "author__name", "comments"});
    Table t;
    t.rows = {{1, 3, 0}, {1, 3, 0}};
    EXPECT_EQ(dump(group(flat, t, 2)), "0[0 ] 1[1 ] ");
    Plan p = compile(shapes(), 0, {"id", "author__name", "comments__id", "comments__body"});
    Table many;
    for (int i = 0; i < 40; ++i)
        many.rows.push_back({i % 20, 1, i % 3, {}});  // 20 parents, 3 distinct comments each at most
    auto gs = group(p, many, many.rows.size());
    ASSERT_EQ(gs.size(), 20u);
    for (std::size_t i = 0; i < gs.size(); ++i) {
        EXPECT_EQ(gs[i].row, i);
        std::size_t expected = (i % 3 == (i + 20) % 3) ? 1 : 2;
        EXPECT_EQ(gs[i].children[1].size(), expected) << i;
    }
}

struct Colliding : Table {  // every value hashes alike: only comparisons tell groups apart
    std::size_t hash(std::size_t, int) const override { return 7; }
};

TEST(Nesting, ParentsTakenOneByOneMatchGroupEvenWhenHashesCollide) {
    Plan p = compile(shapes(), 0, {"id", "author__name", "comments__id", "tags__t"});
    Colliding t;
    for (int i = 0; i < 60; ++i)  // 30 parents in turn, each with 2 comments and 2 tags over its rows
        t.rows.push_back({i % 30, 1, 100 + i % 4, i % 2});
    const std::string all = dump(group(p, t, t.rows.size()));
    Parents parents(p, t, t.rows.size());
    ASSERT_EQ(parents.size(), 30u);
    std::vector<Group> one_by_one(parents.size());
    for (std::size_t i = parents.size(); i-- > 0;) {  // in any order
        EXPECT_EQ(parents.row(i), i);
        one_by_one[i] = parents.take(i);
    }
    EXPECT_EQ(dump(one_by_one), all);
    for (const Group &g : one_by_one) {
        EXPECT_EQ(g.children[1].size(), 2u) << g.row;  // comments 100 + i % 4 for rows i and i + 30
        EXPECT_EQ(g.children[2].size(), g.row % 2 == (g.row + 30) % 2 ? 1u : 2u) << g.row;
    }
}

}  // namespace
