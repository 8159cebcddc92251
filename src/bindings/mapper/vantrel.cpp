// src/bindings/mapper/vantrel.cpp: zorvane.mapper.vantrel, the mapper XML parser.
#include "glue/backend.hpp"
#include "glue/call.hpp"
#include "mapper/document.hpp"
#include "mapper/prepared.hpp"
#include "render/clauses.hpp"
#include "text/sql_text.hpp"

namespace {
using namespace zorvane;
using glue::MapperDocument;
using glue::StatementKind;

glue::Lazy sa_text{"sqlalchemy", "text"};
glue::Lazy mapping_abc{"collections.abc", "Mapping"};

// `params` of the statement methods: a mapping or None.
void check_params(nb::handle params) {
    if (params.is_none() || PyDict_Check(params.ptr()))
        return;
    int ok = PyObject_IsInstance(params.ptr(), mapping_abc.get().ptr());
    if (ok < 0)
        throw nb::python_error();
    if (!ok)
        glue::raise(PyExc_TypeError, std::string("Argument 'params' has incorrect type (expected Mapping, got ") +
                                         glue::type_name(params.ptr()) + ")");
}

glue::Lazy statement_not_found{"zorvane.exception", "StatementNotFoundError"};

// Slot of registered id `id`; "Missing id" (StatementNotFoundError, with a note naming the id,
// the namespace and the file) when there is none.
std::size_t slot_of(const MapperDocument &doc, nb::handle id) {
    PyObject *slot = PyDict_GetItemWithError(doc.slots.ptr(), id.ptr());
    if (!slot) {
        if (PyErr_Occurred())
            throw nb::python_error();
        std::string ns = doc.namespace_.is_valid() ? "namespace '" + glue::text_of(doc.namespace_) + "'" : "the mapper";
        glue::raise_with_note(statement_not_found.get().ptr(), "Missing id",
                              "no statement " + glue::text_of(nb::repr(id)) + " in " + ns + " (" +
                                  glue::text_of(doc.path) + ")");
    }
    return PyLong_AsSize_t(slot);
}

// Slot of statement `id` for a datasource of kind `db_type`: its variant for that kind, else the
// statement without db_type; StatementNotFoundError when the id has neither.
std::size_t slot_for(const MapperDocument &doc, nb::handle id, nb::handle db_type) {
    std::size_t slot = slot_of(doc, id);
    PyObject *kinds = PyDict_GetItemWithError(doc.variants.ptr(), id.ptr());
    if (!kinds) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return slot;
    }
    const glue::Backend *kind = glue::backend_named(db_type);
    if (PyObject *hit = kind ? PyDict_GetItemString(kinds, kind->name) : nullptr)
        return PyLong_AsSize_t(hit);
    if (!doc.variant[slot])
        return slot;
    std::string listed;
    for (nb::handle k : nb::borrow<nb::dict>(kinds).keys())
        listed += (listed.empty() ? "" : ", ") + glue::text_of(k);
    glue::raise_with_note(statement_not_found.get().ptr(), "Missing id",
                          "statement " + glue::text_of(nb::repr(id)) + " has variants for " + listed +
                              " only, none for " + (kind ? std::string(kind->name) : std::string("db_type None")) +
                              " (" + glue::text_of(doc.path) + ")");
}

const char *wrong_kind_message(StatementKind kind) {
    switch (kind) {
        case StatementKind::Select: return "Not a select";
        case StatementKind::Insert: return "Not an insert";
        case StatementKind::Update: return "Not an update";
        default: return "Not a delete";
    }
}

// The shared procedure of select/insert/update/delete: (TextClause, bound values).
// How a statement is rendered: the database's text rules, and whether a placeholder that
// names no parameter is an error.
struct RenderOptions {
    core::SqlDialect dialect;
    bool strict = false;
    nb::object db_type;  // the kind's name ("mariadb" is "mysql") or None
};

RenderOptions options_of(nb::handle db_type, bool strict = false) {
    core::SqlDialect dialect = glue::dialect_of(db_type);  // rejects unknown names
    const glue::Backend *kind = glue::backend_named(db_type);
    return {dialect, strict, kind ? nb::object(nb::str(kind->name)) : nb::none()};
}

nb::tuple render_kind(MapperDocument &doc, nb::handle id, nb::handle params, StatementKind want, const char *arg,
                      RenderOptions opt, std::vector<core::Decision> *decisions = nullptr) {
    glue::check_exact(id, &PyUnicode_Type, arg);
    check_params(params);
    std::size_t slot = slot_for(doc, id, opt.db_type);
    if (doc.kinds[slot] != want)
        glue::raise_exception(wrong_kind_message(want));
    return glue::to_prepared_statement(doc.render_statement(slot, params, decisions, opt.dialect, opt.db_type), params,
                                       opt.dialect, opt.strict);
}

// The kind get_sql renders `sql_id` as: its own, a fragment as a delete (which fails).
StatementKind dispatch_kind(const MapperDocument &doc, nb::handle sql_id, nb::handle params, nb::handle db_type,
                            std::size_t &slot) {
    glue::check_exact(sql_id, &PyUnicode_Type, "sql_id");
    check_params(params);
    slot = slot_for(doc, sql_id, db_type);
    return doc.kinds[slot] == StatementKind::Sql ? StatementKind::Delete : doc.kinds[slot];
}

// One dynamic decision of an explained rendering.
struct DecisionRecord {
    std::uint32_t line;
    nb::object tag, expression, outcome;
};

// What explain() returns: the statement text as the toolkit gets it, its bound values
// and the decisions that shaped it.
struct Explanation {
    nb::object sql, params;
    nb::list decisions;
};

DecisionRecord record_of(MapperDocument &doc, const core::Decision &d) {
    using core::DecisionTag;
    static const char *tags[] = {"if", "when", "choose", "foreach"};
    DecisionRecord r{d.line, nb::str(tags[static_cast<int>(d.tag)]), nb::none(), nb::none()};
    if (d.tag != DecisionTag::Choose)
        r.expression = nb::borrow(doc.expressions.text(d.expr));
    if (d.tag == DecisionTag::Foreach) {
        r.outcome = nb::int_(d.outcome);
    } else if (d.tag == DecisionTag::Choose) {
        std::string branch = d.outcome ? "when" : "otherwise";
        r.outcome = nb::str((branch + (d.branch_line ? " (line " + std::to_string(d.branch_line) + ")" : "")).c_str());
    } else {
        r.outcome = nb::bool_(d.outcome != 0);
    }
    return r;
}

Explanation explain_shim(MapperDocument &doc, nb::handle sql_id, nb::handle params, nb::handle db_type) {
    std::size_t slot;
    StatementKind kind = dispatch_kind(doc, sql_id, params, db_type, slot);
    std::vector<core::Decision> decisions;
    nb::tuple pair = render_kind(doc, sql_id, params, kind, "sql_id", options_of(db_type), &decisions);
    Explanation e{nb::str(pair[0].attr("text")), pair[1], nb::list()};
    for (const core::Decision &d : decisions)
        e.decisions.append(nb::cast(record_of(doc, d)));
    return e;
}

nb::tuple select_shim(MapperDocument &doc, nb::handle id, nb::handle params, nb::handle db_type) {
    return render_kind(doc, id, params, StatementKind::Select, "id", options_of(db_type));
}

nb::tuple update_shim(MapperDocument &doc, nb::handle id, nb::handle params, nb::handle db_type) {
    return render_kind(doc, id, params, StatementKind::Update, "id", options_of(db_type));
}

nb::tuple delete_shim(MapperDocument &doc, nb::handle id, nb::handle params, nb::handle db_type) {
    return render_kind(doc, id, params, StatementKind::Delete, "id", options_of(db_type));
}

nb::tuple insert_shim(MapperDocument &doc, nb::handle id, nb::handle params, nb::handle primary_key, nb::handle db_type) {
    glue::check_exact(primary_key, &PyUnicode_Type, "primary_key", true);
    nb::tuple pair = render_kind(doc, id, params, StatementKind::Insert, "id", options_of(db_type));
    if (primary_key.is_none() || glue::str_length(primary_key.ptr()) == 0)
        return pair;
    nb::object sql = nb::str(pair[0].attr("text")) + nb::str(" RETURNING ") + nb::borrow<nb::str>(primary_key);
    return nb::make_tuple(sa_text(sql), pair[1]);
}

nb::tuple get_sql_shim(MapperDocument &doc, nb::handle sql_id, nb::handle params, nb::handle db_type, bool strict) {
    std::size_t slot;
    StatementKind kind = dispatch_kind(doc, sql_id, params, db_type, slot);
    nb::tuple pair = render_kind(doc, sql_id, params, kind, "sql_id", options_of(db_type, strict));
    return nb::make_tuple(pair[0], pair[1], doc.tags[slot], doc.result_type_objects[slot]);
}

// `row` is a dict whose keys are exactly `names`.
bool holds_exactly(nb::handle row, PyObject *names) {
    const Py_ssize_t n = glue::tuple_size(names);
    if (!PyDict_CheckExact(row.ptr()) || glue::dict_size(row.ptr()) != n)
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int has = PyDict_Contains(row.ptr(), glue::tuple_item(names, i));
        if (has <= 0) {
            if (has < 0)
                throw nb::python_error();
            return false;
        }
    }
    return true;
}

// get_sql for each row of `rows`, a list of parameter mappings (the rows of a bulk insert), as
// runs of consecutive rows bound to the same TextClause: [(clause, [bound values, ...]), ...].
// A body with no dynamic element is rendered once; a row that holds exactly its plain
// placeholders' names is then its own bound values.
nb::list get_sql_rows_shim(MapperDocument &doc, nb::handle sql_id, nb::handle rows, nb::handle db_type) {
    glue::check_exact(sql_id, &PyUnicode_Type, "sql_id");
    glue::check_exact(rows, &PyList_Type, "rows");
    const std::size_t slot = slot_for(doc, sql_id, db_type);
    if (doc.kinds[slot] == StatementKind::Sql)
        glue::raise_exception(wrong_kind_message(StatementKind::Delete));
    RenderOptions opt = options_of(db_type);
    nb::list runs;
    nb::object clause, values;  // the current run
    auto add = [&](nb::handle c, nb::handle v) {
        if (!clause.is_valid() || !clause.is(c)) {
            clause = nb::borrow(c);
            values = nb::list();
            runs.append(nb::make_tuple(clause, values));
        }
        if (PyList_Append(values.ptr(), v.ptr()) < 0)
            throw nb::python_error();
    };
    nb::object text;   // the one rendering of a static body
    nb::object plain;  // its (clause, names) when every placeholder is a plain name (glue::plain_binds)
    for (Py_ssize_t i = 0; i < glue::list_size(rows.ptr()); ++i) {
        nb::object row = nb::borrow(glue::list_item(rows.ptr(), i));
        check_params(row);
        if (doc.fixed[slot] && !text.is_valid()) {
            text = doc.render_statement(slot, row, nullptr, opt.dialect, opt.db_type);
            plain = glue::plain_binds(text, opt.dialect);
        }
        if (plain.is_valid() && !plain.is_none() && holds_exactly(row, glue::tuple_item(plain.ptr(), 1))) {
            add(glue::tuple_item(plain.ptr(), 0), row);
            continue;
        }
        nb::object rendered = text.is_valid() ? text : doc.render_statement(slot, row, nullptr, opt.dialect, opt.db_type);
        nb::tuple pair = glue::to_prepared_statement(rendered, row, opt.dialect, opt.strict);
        add(pair[0], pair[1]);
    }
    return runs;
}

nb::str parse_element_shim(MapperDocument &doc, nb::handle element, nb::handle param) {
    glue::check_exact(param, &PyDict_Type, "param");
    return doc.render_element(element, param);
}

// Override entries given by the caller: str items; empty ones are ignored.
std::vector<std::string> entries_of(nb::handle items, const char *arg) {
    std::vector<std::string> out;
    nb::object it = nb::steal(PyObject_GetIter(items.ptr()));
    if (!it.is_valid())
        glue::raise(PyExc_TypeError, std::string("Argument '") + arg + "' must be a set of str");
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        if (!PyUnicode_Check(raw))
            glue::raise(PyExc_TypeError, std::string("Argument '") + arg + "' must hold str, got " +
                                             glue::type_name(raw));
        out.emplace_back(glue::utf8(item));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    core::order_overrides(out);
    return out;
}

nb::str trim_prefix_shim(nb::handle s, nb::handle prefixes) {
    glue::check_exact(s, &PyUnicode_Type, "s");
    return glue::make_str(core::trim_prefix(glue::utf8(s), entries_of(prefixes, "prefixes")));
}

nb::str trim_suffix_shim(nb::handle s, nb::handle suffixes) {
    glue::check_exact(s, &PyUnicode_Type, "s");
    return glue::make_str(core::trim_suffix(glue::utf8(s), entries_of(suffixes, "suffixes")));
}

void init_shim(MapperDocument *self, nb::handle xml_path) {
    MapperDocument doc = MapperDocument::load(xml_path);  // nothing is kept when loading fails
    new (self) MapperDocument(std::move(doc));
    nb::object py = nb::find(self);
    if (self->namespace_.is_valid())
        py.attr("namespace") = self->namespace_;
    py.attr("xml_path") = self->path;
    py.attr("id_2_element_map") = self->elements;
    py.attr("result_type_map") = self->result_types;
    py.attr("sql_type_map") = self->sql_types;
}

nb::tuple to_prepared_statement_shim(nb::handle ret, nb::handle param, nb::handle db_type, bool strict) {
    return glue::to_prepared_statement(ret, param, glue::dialect_of(db_type), strict);
}

nb::str format_sql_shim(nb::handle sql, nb::handle db_type) {
    glue::check_exact(sql, &PyUnicode_Type, "sql");
    return glue::make_str(core::format_sql(glue::utf8(sql), glue::dialect_of(db_type)));
}

// ${name} -> param[name] (or "" when absent); values go in as they are and must be text.
nb::str to_replace_shim(nb::handle ret, nb::handle param) {
    glue::check_exact(ret, &PyUnicode_Type, "ret");
    std::string out = core::replace_splices(glue::utf8(ret), [&](std::string_view name) -> std::string {
        nb::str key = glue::make_str(name);
        int has = PySequence_Contains(param.ptr(), key.ptr());
        if (has < 0)
            throw nb::python_error();
        if (!has)
            return {};
        nb::object v = nb::steal(PyObject_GetItem(param.ptr(), key.ptr()));
        if (!v.is_valid())
            throw nb::python_error();
        if (!PyUnicode_Check(v.ptr()))
            glue::raise(PyExc_TypeError, std::string("replace() argument 2 must be str, not ") + glue::type_name(v.ptr()));
        return std::string(glue::utf8(v));
    });
    return glue::make_str(out);
}

}  // namespace

NB_MODULE(vantrel, m) {
    zorvane::glue::start_module();
    m.doc() = "Mapper XML parser: statements by id, dynamic SQL and bound statements.";
    nb::module_ re = nb::module_::import_("re");
    nb::module_::import_("zorvane.utils.pennick");
    m.attr("sql_id_type_list") = nb::list(nb::make_tuple("sql", "select", "insert", "update", "delete"));
    m.attr("param_pattern") = re.attr("compile")(R"(#{([a-zA-Z0-9_\-]+)})");
    m.attr("replace_pattern") = re.attr("compile")(R"(\${([a-zA-Z0-9_\-]+)})");

    nb::class_<DecisionRecord>(m, "Decision", "One dynamic decision of an explained rendering.")
        .def_ro("line", &DecisionRecord::line, "Line of the element in its mapper file (0 when unknown).")
        .def_ro("tag", &DecisionRecord::tag, nb::for_getter(nb::sig("def tag(self) -> str")), "if, when, choose or foreach.")
        .def_ro("expression", &DecisionRecord::expression, nb::for_getter(nb::sig("def expression(self) -> str | None")),
                "The test or collection expression; None for a choose.")
        .def_ro("outcome", &DecisionRecord::outcome, nb::for_getter(nb::sig("def outcome(self) -> bool | int | str")),
                "Whether the test held, the number of items, or the branch a choose took.")
        .def("__repr__", [](const DecisionRecord &r) {
            return nb::str("Decision(line={}, tag={!r}, expression={!r}, outcome={!r})")
                .format(r.line, r.tag, r.expression, r.outcome);
        });

    nb::class_<Explanation>(m, "Explanation", "A rendered statement with the decisions that shaped it.")
        .def_ro("sql", &Explanation::sql, nb::for_getter(nb::sig("def sql(self) -> str")),
                "Statement text as the toolkit gets it, with :name bind markers.")
        .def_ro("params", &Explanation::params, nb::for_getter(nb::sig("def params(self) -> dict[str, typing.Any]")),
                "Bound values by marker name.")
        .def_ro("decisions", &Explanation::decisions, nb::for_getter(nb::sig("def decisions(self) -> list[Decision]")),
                "Dynamic decisions in the order taken.")
        .def("__repr__", [](const Explanation &e) {
            return nb::str("Explanation(sql={!r}, params={!r}, decisions={!r})").format(e.sql, e.params, e.decisions);
        });

    nb::class_<MapperDocument>(m, "ParseMapper", nb::dynamic_attr(),
                               "One mapper XML file: its statements by id, rendered into bound statements.")
        .def("__init__", &init_shim, "xml_path"_a.none() = nb::none(),
             "Reads the mapper file at `xml_path` and compiles its statements.")
        .def("list_statement", [](MapperDocument &d) -> nb::object { return d.elements.attr("keys")(); },
             "Live view of the registered ids, fragments included, in document order.")
        .def("get_sql", &get_sql_shim, "sql_id"_a.none(), "params"_a.none() = nb::none(), nb::kw_only(),
             "db_type"_a.none() = nb::none(), "strict"_a = false,
             "(TextClause, bound values, sql_type, result_type) of statement `sql_id` rendered for `params`; "
             "`db_type` picks the database's comment and quoting rules, `strict` rejects a #{name} that "
             "`params` does not hold (ParameterError).")
        .def("_get_sql_rows", &get_sql_rows_shim, "sql_id"_a.none(), "rows"_a.none(), nb::kw_only(),
             "db_type"_a.none() = nb::none(),
             "get_sql for each mapping of the list `rows`, as runs of consecutive rows bound to the same "
             "TextClause: [(clause, [bound values, ...]), ...]; a body with no dynamic element is rendered once.")
        .def("explain", &explain_shim, "sql_id"_a.none(), "params"_a.none() = nb::none(), nb::kw_only(), "db_type"_a.none() = nb::none(),
             "Renders `sql_id` as get_sql does and reports the SQL, bound values and dynamic decisions.")
        .def("select", &select_shim, "id"_a.none(), "params"_a.none(), nb::kw_only(), "db_type"_a.none() = nb::none(), "Renders select `id`: (TextClause, bound values).")
        .def("insert", &insert_shim, "id"_a.none(), "params"_a.none(), "primary_key"_a.none() = nb::none(), nb::kw_only(),
             "db_type"_a.none() = nb::none(),
             "Renders insert `id`, adding \" RETURNING <primary_key>\" when one is given.")
        .def("update", &update_shim, "id"_a.none(), "params"_a.none(), nb::kw_only(), "db_type"_a.none() = nb::none(), "Renders update `id`: (TextClause, bound values).")
        .def("delete", &delete_shim, "id"_a.none(), "params"_a.none(), nb::kw_only(), "db_type"_a.none() = nb::none(), "Renders delete `id`: (TextClause, bound values).")
        .def("parse_element", &parse_element_shim, "element"_a.none(), "param"_a.none(),
             "SQL text of one mapper element for the rendering context `param` ({'params': ...}).")
        .def_static("_trim_prefix", &trim_prefix_shim, "s"_a.none(), "prefixes"_a.none(),
                    "`s` normalised, with the given prefixes removed from its start as long as one matches.")
        .def_static("_trim_suffix", &trim_suffix_shim, "s"_a.none(), "suffixes"_a.none(),
                    "`s` normalised, with the given suffixes removed from its end as long as one matches.")
        .def_static("to_prepared_statement", &to_prepared_statement_shim, "ret"_a, "param"_a.none(), nb::kw_only(),
                    "db_type"_a.none() = nb::none(), "strict"_a = false,
                    "Turns #{name} placeholders outside literals and comments into :name markers; returns "
                    "(TextClause, bound values). `db_type` picks the database's comment and quoting rules; "
                    "`strict` rejects a #{name} that `param` does not hold (ParameterError).")
        .def_static("_format_sql", &format_sql_shim, "sql"_a, nb::kw_only(), "db_type"_a.none() = nb::none(),
                    "Collapses whitespace outside quoted runs and block comments to single blanks, drops line "
                    "comments and strips both ends.")
        .def_static("to_replace", &to_replace_shim, "ret"_a, "param"_a.none(),
                    "Substitutes ${name} placeholders by the text values of `param`.");
}
