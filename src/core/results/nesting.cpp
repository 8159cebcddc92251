// src/core/results/nesting.cpp
#include "results/nesting.hpp"

#include <string_view>
#include <unordered_map>

namespace zorvane::core::results {
namespace {

bool nests(FieldKind k) { return k != FieldKind::Scalar; }

int field_named(const ClassShape &cls, std::string_view name) {
    for (std::size_t i = 0; i < cls.fields.size(); ++i)
        if (cls.fields[i].name == name)
            return static_cast<int>(i);
    return -1;
}

Node &child_for(Node &node, const ClassShape &cls, int field) {
    for (Node &c : node.children)
        if (c.field == field)
            return c;
    const FieldShape &f = cls.fields[static_cast<std::size_t>(field)];
    Node c;
    c.cls = f.kind == FieldKind::ScalarList ? -1 : f.child;
    c.field = field;
    c.kind = f.kind;
    c.optional = f.optional;
    c.prefix = node.prefix + f.name + "__";
    node.children.push_back(std::move(c));
    return node.children.back();
}

void place(Node &node, const std::vector<ClassShape> &classes, std::string_view rest, int column) {
    if (node.cls < 0) {  // a scalar list takes its one column, whatever follows the prefix
        if (node.value >= 0)
            throw PlanError("a list of values takes one column, and more than one starts with '" + node.prefix + "'");
        node.value = column;
        return;
    }
    const ClassShape &cls = classes[static_cast<std::size_t>(node.cls)];
    if (int f = field_named(cls, rest); f >= 0) {
        FieldKind k = cls.fields[static_cast<std::size_t>(f)].kind;
        (k == FieldKind::List || k == FieldKind::ScalarList ? node.json : node.scalars).emplace_back(f, column);
        return;
    }
    for (std::size_t pos = 0; pos < rest.size(); ++pos) {
        std::size_t width = rest[pos] == '.' ? 1 : rest.compare(pos, 2, "__") == 0 ? 2 : 0;
        if (width == 0 || pos == 0)
            continue;
        int f = field_named(cls, rest.substr(0, pos));
        if (f >= 0 && nests(cls.fields[static_cast<std::size_t>(f)].kind) && pos + width < rest.size()) {
            place(child_for(node, cls, f), classes, rest.substr(pos + width), column);
            return;
        }
    }
    node.extras.emplace_back(std::string(rest), column);
}

bool filled(const Node &node, int field) {
    for (const Node &c : node.children)
        if (c.field == field)
            return true;
    for (auto &p : node.json)
        if (p.first == field)
            return true;
    for (auto &p : node.scalars)
        if (p.first == field)
            return true;
    return false;
}

void finish(Node &node, const std::vector<ClassShape> &classes) {
    if (node.cls < 0) {
        node.identity = node.columns = {node.value};
        return;
    }
    const ClassShape &cls = classes[static_cast<std::size_t>(node.cls)];
    for (std::size_t i = 0; i < cls.fields.size(); ++i) {
        const FieldShape &f = cls.fields[i];
        if (nests(f.kind) && !f.has_default && !filled(node, static_cast<int>(i))) {
            std::string where = f.kind == FieldKind::Object ? "columns starting with '" + node.prefix + f.name + "__'"
                                                            : "columns starting with '" + node.prefix + f.name +
                                                                  "__' or a JSON array column '" + node.prefix + f.name + "'";
            throw PlanError("field '" + f.name + "' of " + cls.name + " is filled by no column: expected " + where);
        }
    }
    for (auto &[f, c] : node.scalars) {
        node.columns.push_back(c);
        if (cls.fields[static_cast<std::size_t>(f)].name == "id")
            node.identity = {c};
    }
    const bool by_id = !node.identity.empty();
    for (auto &p : node.extras)
        node.columns.push_back(p.second);
    for (auto &p : node.json)
        node.columns.push_back(p.second);
    if (!by_id)
        node.identity = node.columns;
    for (Node &c : node.children) {
        finish(c, classes);
        node.columns.insert(node.columns.end(), c.columns.begin(), c.columns.end());
        node.joined = node.joined || c.joined || c.kind != FieldKind::Object;
    }
    if (node.identity.empty())
        node.identity = node.columns;
}

struct Grouper {
    const Cells &cells;

    std::size_t hash(const Node &n, std::size_t row) const {
        std::size_t h = 0x345678;
        for (int c : n.identity)
            h ^= cells.hash(row, c) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
    bool same(const Node &n, std::size_t a, std::size_t b) const {
        for (int c : n.identity)
            if (!cells.equal(a, b, c))
                return false;
        return true;
    }
    bool absent(const Node &n, std::size_t row) const {
        for (int c : n.columns)
            if (!cells.null(row, c))
                return false;
        return true;
    }

    void fill(const Node &n, Group &g) const {
        g.children.resize(n.children.size());
        std::vector<std::size_t> one{g.row};
        const std::vector<std::size_t> &rows = n.joined ? g.rows : one;
        for (std::size_t k = 0; k < n.children.size(); ++k)
            g.children[k] = split(n.children[k], rows, false, n.children[k].kind == FieldKind::Object);
        std::vector<std::size_t>().swap(g.rows);
    }

    // Rows into groups by identity: hashed, or only against the last group (consecutive).
    std::vector<Group> split(const Node &n, const std::vector<std::size_t> &rows, bool root, bool first_only,
                             bool consecutive = false) const {
        std::vector<Group> out;
        std::unordered_map<std::size_t, std::vector<std::size_t>> index;
        constexpr std::size_t kLinear = 8;  // groups searched one by one before the index is built
        auto add = [&](std::size_t r, std::size_t h) {
            Group g;
            g.row = r;
            if (n.joined)
                g.rows.push_back(r);
            out.push_back(std::move(g));
            if (out.size() > kLinear)
                index[h].push_back(out.size() - 1);
        };
        for (std::size_t r : rows) {
            if (!root && absent(n, r))
                continue;
            if (root && !n.joined) {
                add(r, 0);
                continue;
            }
            if (first_only && !n.joined && !out.empty())
                break;
            Group *found = nullptr;
            std::size_t h = 0;
            if (consecutive || first_only) {
                if (!out.empty() && same(n, out.back().row, r))
                    found = &out.back();
                else if (first_only && !out.empty())
                    continue;
            } else {
                h = hash(n, r);
                if (out.size() <= kLinear) {
                    for (Group &g : out)
                        if (same(n, g.row, r)) {
                            found = &g;
                            break;
                        }
                    if (!found && out.size() == kLinear)  // the next group starts the index
                        for (std::size_t i = 0; i < out.size(); ++i)
                            index[hash(n, out[i].row)].push_back(i);
                } else if (auto it = index.find(h); it != index.end()) {
                    for (std::size_t i : it->second)
                        if (same(n, out[i].row, r)) {
                            found = &out[i];
                            break;
                        }
                }
            }
            if (found) {
                if (n.joined)
                    found->rows.push_back(r);
            } else {
                add(r, h);
            }
        }
        for (Group &g : out)
            fill(n, g);
        return out;
    }
};

}  // namespace

Plan compile(const std::vector<ClassShape> &classes, int root, const std::vector<std::string> &columns) {
    Plan plan;
    plan.root.cls = root;
    for (std::size_t i = 0; i < columns.size(); ++i)
        place(plan.root, classes, columns[i], static_cast<int>(i));
    finish(plan.root, classes);
    plan.flat = plan.root.children.empty() && plan.root.json.empty();
    return plan;
}

std::vector<Group> group(const Plan &plan, const Cells &cells, std::size_t count, bool consecutive) {
    std::vector<std::size_t> rows(count);
    for (std::size_t i = 0; i < count; ++i)
        rows[i] = i;
    return Grouper{cells}.split(plan.root, rows, true, false, consecutive);
}

}  // namespace zorvane::core::results
