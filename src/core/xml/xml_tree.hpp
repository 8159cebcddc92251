// src/core/xml/xml_tree.hpp: a small XML reader that keeps the source position of every element,
// attribute and text run, for diagnostics that point into mapper files.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorvane::core {

// 1-based line and column (columns count code points); 0 means unknown.
struct Position {
    std::uint32_t line = 0, col = 0;
};

// Decoded character data (entities resolved, CDATA included, line ends as "\n") with
// the source position of each piece, so an offset into `value` maps back to the file.
struct TextRun {
    std::string value;
    std::vector<std::pair<std::size_t, Position>> origins;  // (offset in value, where it starts)
};

// The source position of byte `offset` of `run.value`.
Position locate(const TextRun &run, std::size_t offset);

struct XmlAttribute {
    std::string name, value;  // value decoded and whitespace-normalised as XML prescribes
    Position at;              // of the name
};

struct XmlElement {
    std::string tag;
    Position at;  // of the "<"
    std::vector<XmlAttribute> attributes;
    TextRun text, tail;  // before the first child; after the end tag, up to the next sibling
    std::vector<XmlElement> children;

    // The attribute called `name`, or null.
    const XmlAttribute *attribute(std::string_view name) const noexcept;
};

// Raised for a document that is not well-formed; `at` is where reading stopped.
class XmlError : public std::runtime_error {
public:
    XmlError(const std::string &message, Position where) : std::runtime_error(message), at(where) {}
    Position at;
};

// Reads a UTF-8 document and returns its root element. DOCTYPE declarations, comments
// and processing instructions are skipped; only the five predefined entities and
// character references are known. Throws XmlError.
XmlElement parse_xml(std::string_view source);

// Lines of all start tags of `source`, in document order (the order of a depth-first walk
// from the root). A quick scan for documents another parser has already accepted: it
// skips comments, CDATA, processing instructions and DOCTYPE and checks nothing else.
std::vector<std::uint32_t> element_lines(std::string_view source);

}  // namespace zorvane::core
