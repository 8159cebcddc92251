// src/bindings/mapper/document.hpp: one mapper file, its statements compiled into render trees.
#pragma once
#include <vector>

#include "glue/common.hpp"
#include "render/template.hpp"

namespace zorvane::glue {

// Test and foreach-collection expressions of one mapper, deduplicated by text and
// compiled to code objects on first evaluation. A text that fails to compile is
// compiled (and fails) again each time it is reached, so its error is always fresh.
class Expressions {
public:
    std::size_t add(nb::handle text, bool collection);
    // Borrowed code object; throws the compile error.
    PyObject *code(std::size_t i);
    nb::handle text(std::size_t i) const { return entries_[i].text; }

private:
    struct Entry {
        nb::object text;
        nb::object code;
        bool collection;
    };
    std::vector<Entry> entries_;
    nb::dict tests_, collections_;  // text -> index
};

enum class StatementKind : unsigned char { Sql, Select, Insert, Update, Delete };

// Everything a ParseMapper knows; built by load() and never changed afterwards.
struct MapperDocument {
    nb::object path;        // the xml_path it was loaded from, named by error notes
    nb::object namespace_;  // null when the file names none
    nb::dict elements, result_types, sql_types;  // the public maps, by id
    nb::dict slots;     // id -> index into the vectors below: the statement without db_type, else a variant
    nb::dict variants;  // id -> {db_type kind name: index} of the statements with a db_type
    std::vector<bool> variant;  // the element carries a db_type
    std::vector<StatementKind> kinds;
    std::vector<nb::object> ids, tags, result_type_objects;
    std::vector<core::Body> bodies;
    std::vector<bool> fixed;  // the body renders the same text for every call (core::is_static)
    Expressions expressions;

    // Parses `xml_path` with xml.etree.ElementTree and compiles every registered element.
    static MapperDocument load(nb::handle xml_path);

    // The rendering of `element` (tag dispatch, as inside a statement body), compiled now.
    core::Body compile_element(nb::handle element);

    // Renders registered statement `slot` for `params`; returns the SQL text. Errors get
    // a note naming the file, the line of the failing element and the statement id.
    // With `decisions`, the dynamic decisions taken are appended to it.
    // `db_type` (a kind name or None) is `_db_type` in test expressions.
    nb::str render_statement(std::size_t slot, nb::handle params, std::vector<core::Decision> *decisions = nullptr,
                             core::SqlDialect dialect = {}, nb::handle db_type = nb::none());

    // parse_element: renders `element` against the rendering context `context`.
    nb::str render_element(nb::handle element, nb::handle context);
};

}  // namespace zorvane::glue
