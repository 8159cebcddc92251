// src/core/results/nesting.hpp: joined rows into a tree of nested objects and collections.
//
// A result class is described by its fields (ClassShape); a column list compiles against
// it into a Node tree (compile) saying which column fills which field at which level.
// Grouping (group) then splits row indices into parents, nested objects and collection
// elements. Values stay opaque: the host answers null/hash/equal questions through Cells.
#pragma once
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorvane::core::results {

enum class FieldKind { Scalar, Object, List, ScalarList };

struct FieldShape {
    std::string name;
    FieldKind kind = FieldKind::Scalar;
    int child = -1;          // Object, List: index of the element's ClassShape
    bool optional = false;   // Object: `X | None`
    bool has_default = false;
};

struct ClassShape {
    std::string name;  // named in errors
    std::vector<FieldShape> fields;
};

// A class (or the element of a scalar list) at one place of the tree.
struct Node {
    int cls = -1;                 // ClassShape index; -1 for a scalar list's element
    int field = -1;               // the field of the enclosing class it fills (-1: the root)
    FieldKind kind = FieldKind::Object;
    bool optional = false;
    std::string prefix;           // the column prefix of this level ("" for the root)
    std::vector<std::pair<int, int>> scalars;          // (field, column)
    std::vector<std::pair<std::string, int>> extras;   // columns matching no field: (name here, column)
    std::vector<std::pair<int, int>> json;             // list fields filled from one column: (field, column)
    std::vector<Node> children;                        // nested objects and joined-row collections
    std::vector<int> identity;  // columns telling two rows' objects apart
    std::vector<int> columns;   // every column of this node and below
    int value = -1;             // a scalar list element: its column
    bool joined = false;        // it or a node below is a collection from joined rows
};

struct Plan {
    Node root;
    bool flat = true;  // no nesting: every column is a top-level field or unknown column
};

struct PlanError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The plan of `columns` (labels, `a__b` or `a.b` for nested levels) for classes[root].
// Raises PlanError for a nested field that no column fills and that has no default, and for
// a scalar list given more than one column.
Plan compile(const std::vector<ClassShape> &classes, int root, const std::vector<std::string> &columns);

// Row values as the host sees them.
class Cells {
public:
    virtual ~Cells() = default;
    virtual bool null(std::size_t row, int column) const = 0;
    virtual std::size_t hash(std::size_t row, int column) const = 0;
    virtual bool equal(std::size_t a, std::size_t b, int column) const = 0;
};

// One object: the row its fields come from (its first row) and, per child of its Node in
// order, the groups below it (at most one for a nested object).
struct Group {
    std::size_t row = 0;
    std::size_t hash = 0;  // of its identity, when its node groups by hash
    std::size_t count = 0; // its rows, while the groups below it are made
    std::vector<std::vector<Group>> children;
};

// The parents of rows [0, count) under plan.root. Without a joined-row collection every row
// is a parent of its own; with one, rows group by the parent's identity in the order of their
// first row (consecutive: only neighbouring rows group, for streams). Below the root, a
// child whose columns are all null is left out, and equal children are kept once.
std::vector<Group> group(const Plan &plan, const Cells &cells, std::size_t count, bool consecutive = false);

// group(), one parent at a time: the parents are found at once, the groups below a parent
// when it is taken, so that whatever is made of one parent follows its grouping while its
// rows are still at hand. `plan` and `cells` must outlive it.
class Parents {
public:
    Parents(const Plan &plan, const Cells &cells, std::size_t count, bool consecutive = false);
    std::size_t size() const { return groups_.size(); }
    std::size_t row(std::size_t i) const { return groups_[i].row; }  // a parent's first row
    Group take(std::size_t i);  // parent i with the groups below it; once per parent

private:
    const Plan &plan_;
    const Cells &cells_;
    std::vector<Group> groups_;
    std::vector<std::size_t> order_, start_;  // joined roots: each parent's rows side by side, from start_[i]
};

}  // namespace zorvane::core::results
