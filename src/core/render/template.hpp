// src/core/render/template.hpp: statement bodies compiled once into a tree, rendered per call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "text/sql_text.hpp"

namespace zorvane::core {

// The host side of rendering. Expressions are indices that the compiler handed out;
// the core never sees what they hold. Both calls may throw; the rendering then stops.
struct Evaluator {
    virtual ~Evaluator() = default;
    // Truth of test expression `expr`.
    virtual bool test(std::size_t expr) = 0;
    // Number of entries of foreach collection `expr` (the implementation rejects non-lists).
    virtual std::size_t collection_size(std::size_t expr) = 0;
    // Told the source line of the innermost element whose test or collection threw,
    // before the exception leaves render(); called once per failed rendering.
    virtual void failed_at(std::uint32_t line) noexcept { (void)line; }
};

enum class NodeKind : std::uint8_t {
    Text,     // text: the run
    Block,    // body, rendered as it is (an otherwise branch of a choose)
    If,       // ref: test; body
    Choose,   // body: If branches, then a Block when there is an otherwise; ref: 1 with otherwise
    Where,    // body
    Set,      // body
    Trim,     // body; frame: prefix, suffix, overrides
    Foreach,  // ref: collection; body; frame: open, close, separator, item marks
    Include,  // ref: fragment slot; text: refid
    Error,    // ref: ErrorKind; text: the name it reports. Raises when reached.
};

enum class ErrorKind : std::uint8_t {
    MissingAttribute,  // name: the attribute
    UnknownRefid,      // name: the refid
    UnsupportedTag,    // name: the tag
    IncludeCycle,      // name: the refid that closes the cycle
    MissingOtherwise,  // name: empty
};

// Raised while rendering for Error nodes, include cycles and a choose without a branch.
class RenderError : public std::runtime_error {
public:
    RenderError(ErrorKind kind, std::string name, std::uint32_t line = 0);
    ErrorKind kind;
    std::string name;
    std::uint32_t line;  // source line of the failing element, 0 when unknown
};

// One dynamic decision taken while rendering, for callers that ask how a text came about.
enum class DecisionTag : std::uint8_t { If, When, Choose, Foreach };
struct Decision {
    DecisionTag tag;
    std::uint32_t line;
    std::size_t expr;     // If/When/Foreach: the expression index; Choose: unused
    std::size_t outcome;  // If/When: 0 or 1; Foreach: entries; Choose: 1 + index of the when taken, 0 otherwise
    std::uint32_t branch_line = 0;  // Choose: line of the branch taken (when or otherwise)
};

// Fixed pieces of a trim or foreach element.
struct Frame {
    std::string open, close;          // trim: prefix, suffix; foreach: open, close
    std::string separator;            // foreach
    std::string item_mark;            // foreach: "#{" + item + "}"
    std::string index_mark;           // foreach: "#{" + collection + "_for_index_"
    std::vector<std::string> heads;   // trim: prefix overrides, longest first
    std::vector<std::string> tails;   // trim: suffix overrides, longest first
};

struct Node {
    NodeKind kind = NodeKind::Text;
    std::size_t ref = 0;
    std::string text;
    std::vector<Node> body;
    std::shared_ptr<const Frame> frame;
    std::uint32_t line = 0;  // source line of the element, 0 when unknown
};

using Body = std::vector<Node>;

// Builders. append_text merges adjacent runs; append_node folds a where/set/trim whose
// body is plain text into the text it renders to, so static bodies cost nothing per call.
void append_text(Body &body, std::string_view text);
void append_node(Body &body, Node node);
void append_body(Body &body, Body inner);  // splices `inner` (a sql/when/otherwise body)

Node make_error(ErrorKind kind, std::string name, std::uint32_t line = 0);
Node make_if(std::size_t test, Body body);
Node make_block(Body body);
Node make_choose(std::vector<Node> branches, bool has_otherwise);  // branches: If/Error, then Block
Node make_where(Body body);
Node make_set(Body body);
Node make_trim(Body body, std::string prefix, std::string suffix, std::vector<std::string> heads,
               std::vector<std::string> tails);
Node make_foreach(Body body, std::size_t collection, std::string_view item, std::string_view collection_text,
                  std::string open, std::string close, std::string separator);
Node make_include(std::size_t slot, std::string refid);

// Renders `body` into `out`. Include nodes render fragments[ref]. Throws RenderError and
// whatever the evaluator throws; `out` then holds a partial text the caller must drop.
// With `decisions`, every test, choice and repetition is appended to it in the order
// taken (a choose before the tests of its branches); null costs nothing. `d` decides how
// where, set and trim bodies read comments and quotes.
void render(const Body &body, const std::vector<Body> &fragments, Evaluator &ev, std::string &out,
            std::vector<Decision> *decisions = nullptr, SqlDialect d = {});

// True when `body` renders the same text whatever the parameters: text, blocks and includes of
// such bodies only (no test, no repetition, no error, no include cycle), so that one rendering
// serves every call.
bool is_static(const Body &body, const std::vector<Body> &fragments);

}  // namespace zorvane::core
