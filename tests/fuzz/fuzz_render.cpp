// tests/fuzz/fuzz_render.cpp: fuzzer-built statement trees, rendered folded and unfolded.
#include <optional>

#include "fuzz/harness.hpp"
#include "render/clauses.hpp"
#include "render/template.hpp"

using namespace zorvane::core;
using zorvane::fuzz::Bytes;
using zorvane::fuzz::check;

namespace {

constexpr std::size_t kMaxDepth = 4, kCallBudget = 2000;

// Truth from a bit mask, sizes 0-3; gives up after a fixed number of calls so that
// nested loops over includes stay cheap.
struct FakeEvaluator : Evaluator {
    std::uint64_t mask = 0;
    std::size_t calls = 0;
    void spend() {
        if (++calls > kCallBudget)
            throw std::length_error("budget");
    }
    bool test(std::size_t expr) override {
        spend();
        return (mask >> (expr % 64)) & 1;
    }
    std::size_t collection_size(std::size_t expr) override {
        spend();
        return expr % 4;
    }
};

struct Gen {
    Bytes &in;
    std::size_t fragments;

    Body body(std::size_t depth) {
        Body b;
        for (std::size_t n = in.below(4); n-- && !in.empty();)
            b.push_back(node(depth));
        return b;
    }

    Node cond(std::size_t depth) {
        std::size_t test = in.byte();  // read before the body: argument order is unspecified
        return make_if(test, body(depth + 1));
    }

    Node node(std::size_t depth) {
        std::size_t kind = depth >= kMaxDepth ? 0 : in.below(10);
        switch (kind) {
            case 1: return cond(depth);
            case 2: {
                std::vector<Node> branches;
                for (std::size_t n = in.below(3); n--;)
                    branches.push_back(in.below(4) ? cond(depth) : make_error(ErrorKind::MissingAttribute, "test"));
                bool otherwise = in.byte() & 1;
                if (otherwise)
                    branches.push_back(make_block(body(depth + 1)));
                return make_choose(std::move(branches), otherwise);
            }
            case 3: return make_where(body(depth + 1));
            case 4: return make_set(body(depth + 1));
            case 5: {
                std::string prefix(in.text(4)), suffix(in.text(4));
                auto heads = parse_overrides(in.text(8)), tails = parse_overrides(in.text(8));
                return make_trim(body(depth + 1), prefix, suffix, heads, tails);
            }
            case 6: {
                std::size_t coll = in.byte();
                std::string item(in.text(3)), name(in.text(3)), open(in.text(2)), close(in.text(2)), sep(in.text(2));
                return make_foreach(body(depth + 1), coll, item, name, open, close, sep);
            }
            case 7:
                if (fragments) {
                    std::size_t slot = in.below(fragments);
                    return make_include(slot, std::string(in.text(3)));
                }
                break;
            case 8: {
                auto error = static_cast<ErrorKind>(in.below(5));
                return make_error(error, std::string(in.text(3)));
            }
            case 9: return make_block(body(depth + 1));
        }
        Node t;
        t.text = std::string(in.text(12));
        return t;
    }
};

// The same tree built through the folding builders.
Body fold(const Body &raw);
Node fold(const Node &raw) {
    Node n = raw;
    if (n.kind == NodeKind::Choose)
        for (Node &branch : n.body)
            branch.body = fold(branch.body);
    else
        n.body = fold(raw.body);
    return n;
}
Body fold(const Body &raw) {
    Body b;
    for (const Node &n : raw)
        append_node(b, fold(n));
    return b;
}

struct Outcome {
    std::string text;
    std::optional<ErrorKind> error;
    std::string name;
    bool budget = false;
    bool operator==(const Outcome &o) const {
        return text == o.text && error == o.error && name == o.name && budget == o.budget;
    }
};

Outcome run(const Body &body, const std::vector<Body> &fragments, std::uint64_t mask) {
    FakeEvaluator ev;
    ev.mask = mask;
    Outcome o;
    try {
        render(body, fragments, ev, o.text);
    } catch (const RenderError &e) {
        o = {{}, e.kind, e.name};
    } catch (const std::length_error &) {
        o = {};
        o.budget = true;
    }
    return o;
}

}  // namespace

ZORVANE_FUZZ_TARGET(render) {
    Bytes in(data);
    std::uint64_t mask = 0;
    for (int i = 0; i < 8; ++i)
        mask = (mask << 8) | in.byte();
    std::size_t count = in.below(4);
    Gen gen{in, count};
    std::vector<Body> raw_fragments;
    for (std::size_t i = 0; i < count; ++i)
        raw_fragments.push_back(gen.body(1));
    Body raw = gen.body(0);

    std::vector<Body> fragments;
    for (const Body &f : raw_fragments)
        fragments.push_back(fold(f));
    Outcome folded = run(fold(raw), fragments, mask), unfolded = run(raw, raw_fragments, mask);
    check(folded == unfolded, "folding static bodies does not change the rendering", data);
}
