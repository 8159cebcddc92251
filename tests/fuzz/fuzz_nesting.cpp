// tests/fuzz/fuzz_nesting.cpp: row grouping against a direct reference on small random tables.
#include <optional>
#include <vector>

#include "fuzz/harness.hpp"
#include "results/nesting.hpp"

using namespace zorvane::core::results;
using zorvane::fuzz::check;

namespace {

using Value = std::optional<int>;

struct Table : Cells {
    std::vector<std::vector<Value>> rows;
    Value at(std::size_t r, int c) const { return rows[r][static_cast<std::size_t>(c)]; }
    bool null(std::size_t r, int c) const override { return !at(r, c); }
    std::size_t hash(std::size_t r, int c) const override { return static_cast<std::size_t>(at(r, c).value_or(-1) & 1); }
    bool equal(std::size_t a, std::size_t b, int c) const override { return at(a, c) == at(b, c); }
};

// Article(id, author: Author | None, comments: list[Comment], tags: list[int]); Author(name); Comment(id)
const Plan &plan() {
    static const Plan p = compile({{"Article",
                                    {{"id", FieldKind::Scalar, -1, false, false},
                                     {"author", FieldKind::Object, 1, true, false},
                                     {"comments", FieldKind::List, 2, false, false},
                                     {"tags", FieldKind::ScalarList, -1, false, false}}},
                                   {"Author", {{"name", FieldKind::Scalar, -1, false, false}}},
                                   {"Comment", {{"id", FieldKind::Scalar, -1, false, false}}}},
                                  0, {"id", "author__name", "comments__id", "tags__t"});
    return p;
}

// Distinct non-null values of column `c` over `rows`, in order of first appearance.
std::vector<Value> distinct(const Table &t, const std::vector<std::size_t> &rows, int c, bool keep_null) {
    std::vector<Value> out;
    for (std::size_t r : rows)
        if ((keep_null || t.at(r, c)) && std::find(out.begin(), out.end(), t.at(r, c)) == out.end())
            out.push_back(t.at(r, c));
    return out;
}

}  // namespace

ZORVANE_FUZZ_TARGET(nesting) {
    zorvane::fuzz::Bytes in(data);
    Table t;
    const std::size_t n = in.below(13);
    for (std::size_t r = 0; r < n; ++r) {
        std::vector<Value> row;
        for (int c = 0; c < 4; ++c) {
            std::uint8_t b = in.byte();
            row.push_back(b % 5 == 4 ? Value() : Value(b % (c == 0 ? 12 : 4)));
        }
        t.rows.push_back(row);
    }
    std::vector<std::size_t> all(n);
    for (std::size_t i = 0; i < n; ++i)
        all[i] = i;
    const std::vector<Group> groups = group(plan(), t, n);
    const std::vector<Value> parents = distinct(t, all, 0, true);
    check(groups.size() == parents.size(), "one group per parent", data);
    for (std::size_t i = 0; i < groups.size() && i < parents.size(); ++i) {
        const Group &g = groups[i];
        std::vector<std::size_t> mine;
        for (std::size_t r : all)
            if (t.at(r, 0) == parents[i])
                mine.push_back(r);
        check(g.row == mine.front(), "a parent is its first row", data);
        std::vector<Value> authors = distinct(t, mine, 1, false);
        check(g.children[0].size() == (authors.empty() ? 0u : 1u), "one nested object when any column is set", data);
        if (!authors.empty())
            check(t.at(g.children[0][0].row, 1) == authors.front(), "the nested object of the first set row", data);
        for (int k : {1, 2}) {
            std::vector<Value> want = distinct(t, mine, k + 1, false), got;
            for (const Group &c : g.children[static_cast<std::size_t>(k)])
                got.push_back(t.at(c.row, k + 1));
            check(got == want, "children distinct, non-null, in order of their first row", data);
        }
    }
    std::size_t runs = 0;
    for (std::size_t r = 0; r < n; ++r)
        runs += r == 0 || t.at(r, 0) != t.at(r - 1, 0);
    check(group(plan(), t, n, true).size() == runs, "streams group runs of one parent", data);
}
