// src/core/render/template.cpp: statement bodies compiled once into a tree, rendered per call.
#include "render/template.hpp"

#include <algorithm>

#include "render/clauses.hpp"

namespace zorvane::core {
namespace {

std::string describe(ErrorKind kind, const std::string &name) {
    switch (kind) {
        case ErrorKind::MissingAttribute: return "missing attribute: " + name;
        case ErrorKind::UnknownRefid: return "unknown refid: " + name;
        case ErrorKind::UnsupportedTag: return "unsupported tag: " + name;
        case ErrorKind::IncludeCycle: return "include cycle at refid: " + name;
        case ErrorKind::MissingOtherwise: return "Missing otherwise element";
    }
    return name;
}

bool is_plain(const Body &body) { return body.empty() || (body.size() == 1 && body[0].kind == NodeKind::Text); }

std::string_view plain_text(const Body &body) { return body.empty() ? std::string_view() : body[0].text; }

class Renderer {
public:
    Renderer(const std::vector<Body> &fragments, Evaluator &ev, std::vector<Decision> *decisions, SqlDialect d)
        : fragments_(fragments), ev_(ev), decisions_(decisions), dialect_(d) {}

    void body(const Body &nodes, std::string &out) {
        for (const Node &n : nodes)
            node(n, out);
    }

private:
    void node(const Node &n, std::string &out) {
        switch (n.kind) {
            case NodeKind::Text: out.append(n.text); break;
            case NodeKind::Block: body(n.body, out); break;
            case NodeKind::If:
                if (test(n, DecisionTag::If))
                    body(n.body, out);
                break;
            case NodeKind::Choose: choose(n, out); break;
            case NodeKind::Where: {
                std::string inner;
                body(n.body, inner);
                append_where(out, inner, dialect_);
                break;
            }
            case NodeKind::Set: {
                std::string inner;
                body(n.body, inner);
                append_set(out, inner, dialect_);
                break;
            }
            case NodeKind::Trim: {
                std::string inner;
                body(n.body, inner);
                const Frame &f = *n.frame;
                append_trim(out, inner, f.open, f.close, f.heads, f.tails, dialect_);
                break;
            }
            case NodeKind::Foreach: repeat(n, out); break;
            case NodeKind::Include: include(n, out); break;
            case NodeKind::Error: throw RenderError(static_cast<ErrorKind>(n.ref), n.text, n.line);
        }
    }

    // Runs an evaluator call for node `n`, telling the evaluator where it failed.
    template <class F>
    auto located(const Node &n, F &&call) {
        try {
            return call();
        } catch (...) {
            if (!located_) {
                located_ = true;
                ev_.failed_at(n.line);
            }
            throw;
        }
    }

    bool test(const Node &n, DecisionTag tag) {
        bool holds = located(n, [&] { return ev_.test(n.ref); });
        if (decisions_)
            decisions_->push_back(Decision{tag, n.line, n.ref, holds ? 1u : 0u});
        return holds;
    }

    void choose(const Node &n, std::string &out) {
        std::size_t branches = n.body.size() - (n.ref ? 1 : 0);
        std::size_t record = decisions_ ? decisions_->size() : 0;
        if (decisions_)  // filled in once a branch is taken
            decisions_->push_back(Decision{DecisionTag::Choose, n.line, 0, 0, 0});
        for (std::size_t i = 0; i < branches; ++i) {
            const Node &b = n.body[i];
            if (b.kind == NodeKind::Error)
                node(b, out);
            else if (test(b, DecisionTag::When)) {
                if (decisions_)
                    (*decisions_)[record].outcome = i + 1, (*decisions_)[record].branch_line = b.line;
                body(b.body, out);
                return;
            }
        }
        if (!n.ref)
            throw RenderError(ErrorKind::MissingOtherwise, {}, n.line);
        if (decisions_)
            (*decisions_)[record].branch_line = n.body.back().line;
        body(n.body.back().body, out);
    }

    void repeat(const Node &n, std::string &out) {
        const Frame &f = *n.frame;
        std::size_t count = located(n, [&] { return ev_.collection_size(n.ref); });
        if (decisions_)
            decisions_->push_back(Decision{DecisionTag::Foreach, n.line, n.ref, count});
        out.append(f.open);
        std::string one;
        for (std::size_t i = 0; i < count; ++i) {
            if (i)
                out.append(f.separator);
            one.clear();
            body(n.body, one);
            // Every "#{item}" names entry i of the collection.
            std::string index = std::to_string(i);
            std::size_t pos = 0;
            for (std::size_t hit; (hit = one.find(f.item_mark, pos)) != std::string::npos;
                 pos = hit + f.item_mark.size())
                out.append(one, pos, hit - pos).append(f.index_mark).append(index).push_back('}');
            out.append(one, pos, std::string::npos);
        }
        out.append(f.close);
    }

    void include(const Node &n, std::string &out) {
        if (std::find(active_.begin(), active_.end(), n.ref) != active_.end())
            throw RenderError(ErrorKind::IncludeCycle, n.text, n.line);
        active_.push_back(n.ref);
        body(fragments_.at(n.ref), out);
        active_.pop_back();
    }

    const std::vector<Body> &fragments_;
    Evaluator &ev_;
    std::vector<Decision> *decisions_;
    SqlDialect dialect_;
    bool located_ = false;
    std::vector<std::size_t> active_;  // fragments being included, outermost first
};

}  // namespace

RenderError::RenderError(ErrorKind k, std::string n, std::uint32_t at)
    : std::runtime_error(describe(k, n)), kind(k), name(std::move(n)), line(at) {}

void append_text(Body &body, std::string_view text) {
    if (text.empty())
        return;
    if (!body.empty() && body.back().kind == NodeKind::Text)
        body.back().text.append(text);
    else {
        Node n;
        n.text = std::string(text);
        body.push_back(std::move(n));
    }
}

void append_node(Body &body, Node node) {
    if (node.kind == NodeKind::Text) {
        append_text(body, node.text);
        return;
    }
    if ((node.kind == NodeKind::Where || node.kind == NodeKind::Set || node.kind == NodeKind::Trim) &&
        is_plain(node.body)) {
        auto clause = [&](SqlDialect d) {
            std::string out;
            std::string_view inner = plain_text(node.body);
            if (node.kind == NodeKind::Where)
                append_where(out, inner, d);
            else if (node.kind == NodeKind::Set)
                append_set(out, inner, d);
            else
                append_trim(out, inner, node.frame->open, node.frame->close, node.frame->heads, node.frame->tails, d);
            return out;
        };
        // Folded only when every dialect reads the body alike; otherwise rendered per call.
        std::string out = clause(SqlDialect{});
        if (out == clause(SqlDialect{true, false})) {
            append_text(body, out);
            return;
        }
    }
    body.push_back(std::move(node));
}

void append_body(Body &body, Body inner) {
    for (Node &n : inner)
        append_node(body, std::move(n));
}

Node make_error(ErrorKind kind, std::string name, std::uint32_t line) {
    Node n;
    n.line = line;
    n.kind = NodeKind::Error;
    n.ref = static_cast<std::size_t>(kind);
    n.text = std::move(name);
    return n;
}

namespace {
Node with_body(NodeKind kind, Body body, std::size_t ref = 0) {
    Node n;
    n.kind = kind;
    n.ref = ref;
    n.body = std::move(body);
    return n;
}
}  // namespace

Node make_if(std::size_t test, Body body) { return with_body(NodeKind::If, std::move(body), test); }
Node make_block(Body body) { return with_body(NodeKind::Block, std::move(body)); }
Node make_where(Body body) { return with_body(NodeKind::Where, std::move(body)); }
Node make_set(Body body) { return with_body(NodeKind::Set, std::move(body)); }

Node make_choose(std::vector<Node> branches, bool has_otherwise) {
    return with_body(NodeKind::Choose, std::move(branches), has_otherwise ? 1 : 0);
}

Node make_trim(Body body, std::string prefix, std::string suffix, std::vector<std::string> heads,
               std::vector<std::string> tails) {
    Node n = with_body(NodeKind::Trim, std::move(body));
    auto f = std::make_shared<Frame>();
    f->open = std::move(prefix);
    f->close = std::move(suffix);
    order_overrides(heads);
    order_overrides(tails);
    f->heads = std::move(heads);
    f->tails = std::move(tails);
    n.frame = std::move(f);
    return n;
}

Node make_foreach(Body body, std::size_t collection, std::string_view item, std::string_view collection_text,
                  std::string open, std::string close, std::string separator) {
    Node n = with_body(NodeKind::Foreach, std::move(body), collection);
    auto f = std::make_shared<Frame>();
    f->open = std::move(open);
    f->close = std::move(close);
    f->separator = std::move(separator);
    f->item_mark.append("#{").append(item).push_back('}');
    f->index_mark.append("#{").append(collection_text).append("_for_index_");
    n.frame = std::move(f);
    return n;
}

Node make_include(std::size_t slot, std::string refid) {
    Node n;
    n.kind = NodeKind::Include;
    n.ref = slot;
    n.text = std::move(refid);
    return n;
}

void render(const Body &body, const std::vector<Body> &fragments, Evaluator &ev, std::string &out,
            std::vector<Decision> *decisions, SqlDialect d) {
    Renderer(fragments, ev, decisions, d).body(body, out);
}

namespace {

bool static_within(const Body &body, const std::vector<Body> &fragments, std::vector<std::size_t> &active) {
    for (const Node &n : body) {
        switch (n.kind) {
            case NodeKind::Text: break;
            case NodeKind::Block:
            case NodeKind::Where:
            case NodeKind::Set:
            case NodeKind::Trim:
                if (!static_within(n.body, fragments, active))
                    return false;
                break;
            case NodeKind::Include: {
                if (n.ref >= fragments.size() || std::find(active.begin(), active.end(), n.ref) != active.end())
                    return false;
                active.push_back(n.ref);
                const bool fixed = static_within(fragments[n.ref], fragments, active);
                active.pop_back();
                if (!fixed)
                    return false;
                break;
            }
            default: return false;
        }
    }
    return true;
}

}  // namespace

bool is_static(const Body &body, const std::vector<Body> &fragments) {
    std::vector<std::size_t> active;
    return static_within(body, fragments, active);
}

}  // namespace zorvane::core
