// src/core/results/nesting.cpp
#include "results/nesting.hpp"

#include <algorithm>
#include <string_view>

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

    // The groups below `g`, from its rows (`rows`, g.count of them) or from its first row alone.
    void fill(const Node &n, Group &g, const std::size_t *rows) const {
        if (n.children.empty())
            return;
        g.children.resize(n.children.size());
        const std::size_t count = n.joined ? g.count : 1;
        if (!n.joined)
            rows = &g.row;
        for (std::size_t k = 0; k < n.children.size(); ++k)
            g.children[k] = split(n.children[k], rows, count, false, n.children[k].kind == FieldKind::Object);
        g.count = 0;
    }

    // Rows into groups by identity: hashed, or only against the last group (consecutive).
    // Each group keeps its identity's hash; values are compared only when the hashes agree.
    // With `later` (the root), the groups below are left to fill(): later->first and
    // later->second receive each group's rows side by side and where each group's start.
    std::vector<Group> split(const Node &n, const std::size_t *rows, std::size_t count, bool root, bool first_only,
                             bool consecutive = false,
                             std::pair<std::vector<std::size_t>, std::vector<std::size_t>> *later = nullptr) const {
        std::vector<Group> out;
        if (!root)
            out.reserve(first_only ? 1 : count);
        std::vector<std::size_t> slots;  // open addressing: group index + 1, 0 for a free slot
        constexpr std::size_t kLinear = 16;  // groups searched one by one before the index is built
        auto insert = [&](std::size_t i) {
            const std::size_t mask = slots.size() - 1;
            std::size_t s = out[i].hash & mask;
            while (slots[s] != 0)
                s = (s + 1) & mask;
            slots[s] = i + 1;
        };
        auto grow = [&] {
            std::vector<std::size_t>(std::max<std::size_t>(64, slots.size() * 2)).swap(slots);
            for (std::size_t i = 0; i < out.size(); ++i)
                insert(i);
        };
        const bool hashed = (!root || n.joined) && !consecutive && !first_only;  // else no look-up by hash
        std::vector<std::size_t> taken, owner;  // joined: the rows kept and the group of each
        auto add = [&](std::size_t r, std::size_t h) {
            Group g;
            g.row = r;
            g.hash = h;
            if (n.joined) {
                g.count = 1;
                taken.push_back(r);
                owner.push_back(out.size());
            }
            out.push_back(std::move(g));
            if (hashed && out.size() > kLinear) {
                if (out.size() * 2 > slots.size())
                    grow();
                else
                    insert(out.size() - 1);
            }
        };
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t r = rows[i];
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
                        if (g.hash == h && same(n, g.row, r)) {
                            found = &g;
                            break;
                        }
                } else {
                    const std::size_t mask = slots.size() - 1;
                    for (std::size_t s = h & mask; slots[s] != 0; s = (s + 1) & mask) {
                        Group &g = out[slots[s] - 1];
                        if (g.hash == h && same(n, g.row, r)) {
                            found = &g;
                            break;
                        }
                    }
                }
            }
            if (found) {
                if (n.joined) {
                    ++found->count;
                    taken.push_back(r);
                    owner.push_back(static_cast<std::size_t>(found - out.data()));
                }
            } else {
                add(r, h);
            }
        }
        if (n.children.empty())
            return out;
        if (!n.joined) {
            if (!later)
                for (Group &g : out)
                    fill(n, g, nullptr);
            return out;
        }
        // Each group's rows side by side, in row order: groups[i] starts at start[i].
        std::vector<std::size_t> start(out.size() + 1, 0), order(taken.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            start[i + 1] = start[i] + out[i].count;
        {
            std::vector<std::size_t> at(start.begin(), start.end() - 1);
            for (std::size_t i = 0; i < taken.size(); ++i)
                order[at[owner[i]]++] = taken[i];
        }
        if (later) {
            later->first = std::move(order);
            later->second = std::move(start);
            return out;
        }
        for (std::size_t i = 0; i < out.size(); ++i)
            fill(n, out[i], order.data() + start[i]);
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

Parents::Parents(const Plan &plan, const Cells &cells, std::size_t count, bool consecutive)
    : plan_(plan), cells_(cells) {
    std::vector<std::size_t> rows(count);
    for (std::size_t i = 0; i < count; ++i)
        rows[i] = i;
    std::pair<std::vector<std::size_t>, std::vector<std::size_t>> later;
    groups_ = Grouper{cells}.split(plan.root, rows.data(), rows.size(), true, false, consecutive, &later);
    order_ = std::move(later.first);
    start_ = std::move(later.second);
}

Group Parents::take(std::size_t i) {
    Group g = std::move(groups_[i]);
    Grouper{cells_}.fill(plan_.root, g, start_.empty() ? nullptr : order_.data() + start_[i]);
    return g;
}

std::vector<Group> group(const Plan &plan, const Cells &cells, std::size_t count, bool consecutive) {
    Parents parents(plan, cells, count, consecutive);
    std::vector<Group> out;
    out.reserve(parents.size());
    for (std::size_t i = 0; i < parents.size(); ++i)
        out.push_back(parents.take(i));
    return out;
}

}  // namespace zorvane::core::results
