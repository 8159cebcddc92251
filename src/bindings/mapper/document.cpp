// src/bindings/mapper/document.cpp: one mapper file, its statements compiled into render trees.
#include "mapper/document.hpp"

#include "glue/backend.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <unordered_map>

#include "glue/expression.hpp"
#include "render/clauses.hpp"
#include "xml/xml_tree.hpp"
#include "glue/call.hpp"

namespace zorvane::glue {
namespace {

Lazy et_parse{"xml.etree.ElementTree", "parse"};
Lazy get_type_from_string{"zorvane.utils.pennick", "get_type_from_string"};
Lazy is_container_type_by_str{"zorvane.utils.pennick", "is_container_type_by_str"};

// Interned attribute and key names, made once.
struct Names {
    PyObject *tag, *text, *tail, *attrib, *iter, *getroot, *params, *add_note, *db_type, *db_type_key;
    PyObject *id, *result_type, *namespace_, *test, *refid, *prefix, *suffix, *prefix_overrides, *suffix_overrides;
    PyObject *foreach[5];  // item, collection, open, close, separator: the order they are read in
    Names() {
        using glue::intern;
        tag = intern("tag");
        text = intern("text");
        tail = intern("tail");
        attrib = intern("attrib");
        iter = intern("iter");
        getroot = intern("getroot");
        params = intern("params");
        add_note = intern("add_note");
        db_type = intern("db_type");
        db_type_key = intern("_db_type");
        id = intern("id");
        result_type = intern("resultType");
        namespace_ = intern("namespace");
        test = intern("test");
        refid = intern("refid");
        prefix = intern("prefix");
        suffix = intern("suffix");
        prefix_overrides = intern("prefixOverrides");
        suffix_overrides = intern("suffixOverrides");
        const char *each[] = {"item", "collection", "open", "close", "separator"};
        for (int i = 0; i < 5; ++i)
            foreach[i] = intern(each[i]);
    }
};

const Names &names() {
    static const Names n;
    return n;
}

nb::object get(nb::handle obj, PyObject *name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name);
    if (!v)
        throw nb::python_error();
    return nb::steal(v);
}

// attrib[key] or null; borrowed while `attrib` lives.
PyObject *attribute(nb::handle attrib, PyObject *key) {
    if (!PyDict_Check(attrib.ptr()))
        raise(PyExc_TypeError, std::string("element attrib must be a dict, got ") + glue::type_name(attrib.ptr()));
    PyObject *v = PyDict_GetItemWithError(attrib.ptr(), key);
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// Calls f(child) for each child element, in document order.
template <class F>
void for_each_child(nb::handle elem, F &&f) {
    Py_ssize_t n = PySequence_Size(elem.ptr());
    if (n < 0)
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *raw = PySequence_GetItem(elem.ptr(), i);
        if (!raw)
            throw nb::python_error();
        f(nb::steal(raw));
    }
}

std::string text_of(PyObject *value) {
    if (!PyUnicode_Check(value))
        raise(PyExc_TypeError, std::string("attribute values must be str, got ") + glue::type_name(value));
    return std::string(utf8(value));
}

// Appends element text or tail (None contributes nothing).
void append_run(core::Body &out, nb::handle value) {
    if (value.is_none())
        return;
    if (!PyUnicode_Check(value.ptr()))
        raise(PyExc_TypeError, std::string("element text must be str, got ") + glue::type_name(value.ptr()));
    core::append_text(out, utf8(value));
}

std::string tag_name(nb::handle tag) { return PyUnicode_Check(tag.ptr()) ? std::string(utf8(tag)) : std::string(nb::str(tag).c_str()); }

// Adds note `text` (a new reference, or null) to exception object `value` (PEP 678).
// Runs with no error set; whatever fails here is dropped, the original error stays.
void note_on(PyObject *value, PyObject *text) {
    PyObject *r = text ? glue::call_method1(value, names().add_note, text) : nullptr;
    Py_XDECREF(text);
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
}

// Adds the note `lead` + `expr` to the exception being raised, keeping the exception itself.
void add_note(const char *lead, PyObject *expr) {
    auto call = [&](PyObject *value) { note_on(value, PyUnicode_FromFormat("%s%U", lead, expr)); };
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *value = PyErr_GetRaisedException();
    if (value)
        call(value);
    PyErr_SetRaisedException(value);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    if (value)
        call(value);
    PyErr_Restore(type, value, tb);
#endif
}

// Where an error came from: "<path>:<line>: <what>" (the line left out when unknown).
void note_location(const nb::python_error &e, nb::handle path, std::uint32_t line, const std::string &what) {
    nb::object text = nb::str(path);
    std::string tail = (line ? ":" + std::to_string(line) : std::string()) + ": " + what;
    note_on(e.value().ptr(), PyUnicode_FromFormat("%U%s", text.ptr(), tail.c_str()));
}

// Source line of each element of a loaded document, by object.
using LineMap = std::unordered_map<PyObject *, std::uint32_t>;

// Lines of the elements under `root`, read from the file at `path`. ElementTree keeps
// none, but its depth-first walk meets the elements in the order of their start tags;
// when the two readings disagree no line is known.
LineMap element_lines(nb::handle path, nb::handle root) {
    LineMap lines;
    std::ifstream in(std::string(utf8(path)), std::ios::binary | std::ios::ate);
    std::string source(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
    if (!in.seekg(0).read(source.data(), static_cast<std::streamsize>(source.size())))
        return lines;
    std::vector<std::uint32_t> at = core::element_lines(source);
    lines.reserve(at.size());
    nb::object it = get(root, names().iter)();
    std::size_t i = 0;
    while (PyObject *e = PyIter_Next(it.ptr())) {
        if (i < at.size())
            lines.emplace(e, at[i]);
        ++i;
        Py_DECREF(e);  // the tree keeps it alive
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    if (i != at.size())
        lines.clear();
    return lines;
}

class Compiler {
public:
    explicit Compiler(MapperDocument &doc, const LineMap *lines = nullptr) : doc_(doc), lines_(lines) {}

    std::uint32_t line_of(nb::handle elem) const {
        if (!lines_)
            return 0;
        auto it = lines_->find(elem.ptr());
        return it == lines_->end() ? 0 : it->second;
    }

    // The element's text, then each child's rendering followed by its tail.
    void body(nb::handle elem, core::Body &out) {
        append_run(out, get(elem, names().text));
        Py_ssize_t n = PySequence_Size(elem.ptr());
        if (n > 0)
            out.reserve(out.size() + 2 * static_cast<std::size_t>(n));
        for_each_child(elem, [&](nb::handle child) {
            element(child, out);
            append_run(out, get(child, names().tail));
        });
    }

    // The rendering of `elem` itself, as parse_element gives it.
    void element(nb::handle elem, core::Body &out) {
        using core::ErrorKind;
        nb::object tag = get(elem, names().tag);
        std::uint32_t line = line_of(elem);
        if (!PyUnicode_Check(tag.ptr())) {
            core::append_node(out, core::make_error(ErrorKind::UnsupportedTag, tag_name(tag), line));
            return;
        }
        std::string_view t = utf8(tag);
        if (t == "sql" || t == "when" || t == "otherwise") {
            body(elem, out);
        } else if (t == "if") {
            nb::object attrib = get(elem, names().attrib);
            PyObject *test = attribute(attrib, names().test);
            if (!test)
                return core::append_node(out, core::make_error(ErrorKind::MissingAttribute, "test", line));
            std::size_t expr = doc_.expressions.add(test, false);
            core::Body b;
            body(elem, b);
            core::append_node(out, at_line(core::make_if(expr, std::move(b)), line));
        } else if (t == "where" || t == "set") {
            core::Body b;
            body(elem, b);
            core::append_node(out, t == "where" ? core::make_where(std::move(b)) : core::make_set(std::move(b)));
        } else if (t == "trim") {
            trim(elem, get(elem, names().attrib), out);
        } else if (t == "choose") {
            choose(elem, out);
        } else if (t == "foreach") {
            foreach_(elem, get(elem, names().attrib), out);
        } else if (t == "include") {
            include(get(elem, names().attrib), line, out);
        } else {
            core::append_node(out, core::make_error(ErrorKind::UnsupportedTag, std::string(t), line));
        }
    }

private:
    static core::Node at_line(core::Node n, std::uint32_t line) {
        n.line = line;
        return n;
    }

    void trim(nb::handle elem, nb::handle attrib, core::Body &out) {
        auto value = [&](PyObject *key) {
            PyObject *v = attribute(attrib, key);
            return v ? text_of(v) : std::string();
        };
        const Names &n = names();
        std::string prefix = value(n.prefix), suffix = value(n.suffix);
        std::vector<std::string> heads = core::parse_overrides(value(n.prefix_overrides));
        std::vector<std::string> tails = core::parse_overrides(value(n.suffix_overrides));
        core::Body b;
        body(elem, b);
        core::append_node(out, core::make_trim(std::move(b), std::move(prefix), std::move(suffix), std::move(heads),
                                               std::move(tails)));
    }

    void choose(nb::handle elem, core::Body &out) {
        std::vector<core::Node> branches;
        nb::object otherwise;
        for_each_child(elem, [&](nb::handle child) {
            nb::object tag = get(child, names().tag);
            if (!PyUnicode_Check(tag.ptr()))
                return;
            std::string_view t = utf8(tag);
            if (t == "when") {
                nb::object attrib = get(child, names().attrib);
                PyObject *test = attribute(attrib, names().test);
                if (!test) {
                    branches.push_back(core::make_error(core::ErrorKind::MissingAttribute, "test", line_of(child)));
                    return;
                }
                std::size_t expr = doc_.expressions.add(test, false);
                core::Body b;
                body(child, b);
                branches.push_back(at_line(core::make_if(expr, std::move(b)), line_of(child)));
            } else if (t == "otherwise" && !otherwise.is_valid()) {
                otherwise = nb::borrow(child);
            }
        });
        if (otherwise.is_valid()) {
            core::Body b;
            body(otherwise, b);
            branches.push_back(at_line(core::make_block(std::move(b)), line_of(otherwise)));
        }
        core::append_node(out, at_line(core::make_choose(std::move(branches), otherwise.is_valid()), line_of(elem)));
    }

    void foreach_(nb::handle elem, nb::handle attrib, core::Body &out) {
        PyObject *values[5];
        for (int i = 0; i < 5; ++i) {
            values[i] = attribute(attrib, names().foreach[i]);
            if (!values[i])
                return core::append_node(out, core::make_error(core::ErrorKind::MissingAttribute,
                                                               std::string(utf8(names().foreach[i])), line_of(elem)));
        }
        std::string item = text_of(values[0]), collection = text_of(values[1]);
        std::size_t expr = doc_.expressions.add(values[1], true);
        core::Body b;
        body(elem, b);
        core::append_node(out, at_line(core::make_foreach(std::move(b), expr, item, collection, text_of(values[2]),
                                                          text_of(values[3]), text_of(values[4])),
                                       line_of(elem)));
    }

    void include(nb::handle attrib, std::uint32_t line, core::Body &out) {
        using core::ErrorKind;
        PyObject *refid = attribute(attrib, names().refid);
        if (!refid)
            return core::append_node(out, core::make_error(ErrorKind::MissingAttribute, "refid", line));
        PyObject *slot = PyDict_GetItemWithError(doc_.slots.ptr(), refid);
        if (!slot) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return core::append_node(out, core::make_error(ErrorKind::UnknownRefid, tag_name(refid), line));
        }
        std::size_t s = PyLong_AsSize_t(slot);
        if (doc_.kinds[s] != StatementKind::Sql)  // a statement is no fragment
            return core::append_node(out, core::make_error(ErrorKind::UnsupportedTag, tag_name(doc_.tags[s]), line));
        core::append_node(out, at_line(core::make_include(s, text_of(refid)), line));
    }

    MapperDocument &doc_;
    const LineMap *lines_;
};

// What a rendering reads: the compiled expressions, the caller's parameters and the
// rendering context ({"params": params}, made on the first test that needs it).
class PyEvaluator final : public core::Evaluator {
public:
    PyEvaluator(Expressions &ex, PyObject *params, PyObject *context, nb::handle db_type = nb::none())
        : ex_(ex), params_(params), context_(context), db_type_(db_type) {}

    std::uint32_t failed_line = 0;
    void failed_at(std::uint32_t line) noexcept override { failed_line = line; }

    bool test(std::size_t i) override {
        PyObject *code = ex_.code(i);
        PyObject *ctx = context();
        // The context is the global namespace; builtins come from the running frame,
        // so nothing is written into it.
        nb::object r = nb::steal(PyEval_EvalCode(code, ctx, ctx));
        if (!r.is_valid())
            fail(i, "while evaluating the test: ");
        int t = PyObject_IsTrue(r.ptr());
        if (t < 0)
            fail(i, "while evaluating the test: ");
        return t != 0;
    }

    std::size_t collection_size(std::size_t i) override {
        PyObject *params = parameters();
        if (params == Py_None)
            raise(PyExc_TypeError, "foreach over '" + std::string(utf8(ex_.text(i))) +
                                       "' needs a parameter mapping, got None");
        PyObject *code = ex_.code(i);
        // The caller's mapping is read, never written: a dict serves as globals
        // directly (no __builtins__ is added), any other mapping as locals.
        nb::object value;
        if (PyDict_Check(params)) {
            value = nb::steal(PyEval_EvalCode(code, params, params));
        } else {
            nb::dict globals;
            value = nb::steal(PyEval_EvalCode(code, globals.ptr(), params));
        }
        if (!value.is_valid())
            fail(i, "while evaluating the foreach collection: ");
        if (!PyList_Check(value.ptr()))
            raise_exception("Collection must be a list");
        if (PyList_CheckExact(value.ptr()))
            return static_cast<std::size_t>(glue::list_size(value.ptr()));
        std::size_t n = 0;  // a list subclass counts what its iterator yields
        nb::object it = nb::steal(PyObject_GetIter(value.ptr()));
        if (!it.is_valid())
            throw nb::python_error();
        while (PyObject *x = PyIter_Next(it.ptr())) {
            Py_DECREF(x);
            ++n;
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        return n;
    }

private:
    [[noreturn]] void fail(std::size_t i, const char *what) {
        add_note(what, ex_.text(i).ptr());
        throw nb::python_error();
    }

    PyObject *context() {
        if (!context_) {
            own_context_ = nb::dict();
            if (PyDict_SetItem(own_context_.ptr(), names().params, params_) < 0 ||
                PyDict_SetItem(own_context_.ptr(), names().db_type_key, db_type_.ptr()) < 0)
                throw nb::python_error();
            context_ = own_context_.ptr();
        }
        return context_;
    }

    PyObject *parameters() {
        if (!params_) {  // parse_element: the context's "params" entry
            params_ = PyDict_GetItemWithError(context_, names().params);
            if (!params_) {
                if (!PyErr_Occurred())
                    PyErr_SetObject(PyExc_KeyError, names().params);
                throw nb::python_error();
            }
        }
        return params_;
    }

    Expressions &ex_;
    PyObject *params_;
    PyObject *context_;
    nb::handle db_type_;
    nb::dict own_context_;
};

[[noreturn]] void raise_render_error(const core::RenderError &e) {
    using core::ErrorKind;
    switch (e.kind) {
        case ErrorKind::MissingAttribute:
        case ErrorKind::UnknownRefid:
            PyErr_SetObject(PyExc_KeyError, make_str(e.name).ptr());
            throw nb::python_error();
        case ErrorKind::UnsupportedTag:
            raise(PyExc_TypeError, "unsupported tag in mapper SQL: <" + e.name + ">");
        case ErrorKind::IncludeCycle:
            raise(PyExc_ValueError, "include cycle: refid '" + e.name + "' includes itself");
        case ErrorKind::MissingOtherwise:
            break;
    }
    raise_exception(e.what());
}

// Renders `body`; errors get a location note naming statement `id` when it is given.
std::string render_body(const MapperDocument &doc, const core::Body &body, PyEvaluator &ev, nb::handle id,
                        std::vector<core::Decision> *decisions = nullptr, core::SqlDialect dialect = {}) {
    std::string out;
    std::uint32_t line = 0;
    try {
        try {
            core::render(body, doc.bodies, ev, out, decisions, dialect);
        } catch (const core::RenderError &e) {
            line = e.line;
            raise_render_error(e);
        }
    } catch (nb::python_error &e) {
        if (id.is_valid())
            note_location(e, doc.path, line ? line : ev.failed_line,
                          "in statement '" + std::string(nb::str(id).c_str()) + "'");
        throw;
    }
    return out;
}

StatementKind kind_of(std::string_view tag) {
    return tag == "select" ? StatementKind::Select
           : tag == "insert" ? StatementKind::Insert
           : tag == "update" ? StatementKind::Update
           : tag == "delete" ? StatementKind::Delete
                             : StatementKind::Sql;
}

bool registered_tag(std::string_view t) {
    return t == "sql" || t == "select" || t == "insert" || t == "update" || t == "delete";
}

}  // namespace

std::size_t Expressions::add(nb::handle text, bool collection) {
    if (!PyUnicode_Check(text.ptr()))
        raise(PyExc_TypeError, std::string("expressions must be str, got ") + glue::type_name(text.ptr()));
    nb::dict &index = collection ? collections_ : tests_;
    PyObject *known = PyDict_GetItemWithError(index.ptr(), text.ptr());
    if (known)
        return PyLong_AsSize_t(known);
    if (PyErr_Occurred())
        throw nb::python_error();
    std::size_t i = entries_.size();
    entries_.push_back(Entry{nb::borrow(text), nb::object(), collection});
    index[text] = nb::int_(i);
    return i;
}

PyObject *Expressions::code(std::size_t i) {
    Entry &e = entries_[i];
    if (e.code.is_valid())
        return e.code.ptr();
    try {
        e.code = compile_expression(utf8(e.text), e.collection ? "<foreach collection>" : "<test>");
    } catch (nb::python_error &err) {
        note_on(err.value().ptr(), PyUnicode_FromFormat("%s%U", e.collection ? "while compiling the foreach collection: "
                                                                              : "while compiling the test: ",
                                                        e.text.ptr()));
        throw;
    }
    return e.code.ptr();
}

namespace {
MapperDocument load_tree(nb::handle xml_path, nb::handle root, const LineMap &lines, std::uint32_t &line);
}  // namespace

MapperDocument MapperDocument::load(nb::handle xml_path) {
    if (xml_path.is_none())
        raise(PyExc_TypeError, "ParseMapper needs xml_path, the path of a mapper file");
    check_exact(xml_path, &PyUnicode_Type, "xml_path");
    nb::object root;
    try {
        root = get(et_parse(xml_path), names().getroot)();
    } catch (nb::python_error &e) {
        std::uint32_t line = 0;  // a ParseError knows where it stopped
        nb::object at = nb::steal(PyObject_GetAttrString(e.value().ptr(), "position"));
        if (!at.is_valid())
            PyErr_Clear();
        else if (PyTuple_Check(at.ptr()) && glue::tuple_size(at.ptr()) == 2)
            line = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(glue::tuple_item(at.ptr(), 0)));
        if (PyErr_Occurred()) {
            PyErr_Clear();
            line = 0;
        }
        note_location(e, xml_path, line, "while loading the mapper file");
        throw;
    }
    LineMap lines = element_lines(xml_path, root);
    std::uint32_t line = 0;  // of the element being registered or compiled
    try {
        return load_tree(xml_path, root, lines, line);
    } catch (nb::python_error &e) {
        note_location(e, xml_path, line, "while loading the mapper file");
        throw;
    }
}

namespace {

MapperDocument load_tree(nb::handle xml_path, nb::handle root, const LineMap &lines, std::uint32_t &line) {
    auto line_of = [&](nb::handle e) {
        auto it = lines.find(e.ptr());
        return it == lines.end() ? 0u : it->second;
    };
    MapperDocument doc;
    doc.path = nb::borrow(xml_path);
    nb::object mappers = get(root, names().iter)("mapper");
    PyObject *first = PyIter_Next(mappers.ptr());
    if (!first && PyErr_Occurred())
        throw nb::python_error();
    if (first) {
        nb::object mapper = nb::steal(first);
        nb::object attrib = get(mapper, names().attrib);
        PyObject *ns = attribute(attrib, names().namespace_);
        if (ns)
            doc.namespace_ = nb::borrow(ns);
    }

    std::vector<nb::object> elements;
    nb::handle dict_type((PyObject *)&PyDict_Type);
    for_each_child(root, [&](nb::handle child_h) {
        nb::object child = nb::borrow(child_h);
        nb::object tag = get(child, names().tag);
        if (!PyUnicode_Check(tag.ptr()) || !registered_tag(utf8(tag)))
            return;
        line = line_of(child);
        StatementKind kind_ = kind_of(utf8(tag));
        nb::object attrib = get(child, names().attrib);
        PyObject *id = attribute(attrib, names().id);
        if (!id)
            raise_exception("Missing id");
        nb::object result_type = nb::borrow(dict_type);
        PyObject *rt = kind_ == StatementKind::Select ? attribute(attrib, names().result_type) : nullptr;
        if (rt && !(PyUnicode_Check(rt) && PyUnicode_CompareWithASCIIString(rt, "dict") == 0)) {
            result_type = get_type_from_string(nb::handle(rt));
            if (truthy(is_container_type_by_str(nb::handle(rt))) && !result_type.is(dict_type))
                raise(PyExc_TypeError, "please check result_type: can`t set type: " + text_of(rt));
        }
        // A db_type makes the element the statement of that database kind; the one without is
        // the statement of every other kind. A later element of the same id and kind replaces it.
        const Backend *kind = nullptr;
        if (PyObject *dbt = attribute(attrib, names().db_type)) {
            kind = backend_named(nb::handle(dbt));
            if (!kind)
                raise(PyExc_ValueError, "statement " + text_of(nb::repr(nb::handle(id)).ptr()) + ": db_type must be "
                                        "'postgresql', 'mysql' or 'sqlite', not " + text_of(nb::repr(nb::handle(dbt)).ptr()));
        }
        PyObject *known = PyDict_GetItemWithError(doc.slots.ptr(), id);
        if (!known && PyErr_Occurred())
            throw nb::python_error();
        nb::object kinds_of = nb::borrow(PyDict_GetItemWithError(doc.variants.ptr(), id));
        if (!kinds_of.is_valid() && PyErr_Occurred())
            throw nb::python_error();
        PyObject *same = nullptr;  // the slot this element replaces
        if (kind)
            same = kinds_of.is_valid() ? PyDict_GetItemString(kinds_of.ptr(), kind->name) : nullptr;
        else if (known && !doc.variant[PyLong_AsSize_t(known)])
            same = known;
        std::size_t slot;
        if (same) {
            slot = PyLong_AsSize_t(same);
            doc.kinds[slot] = kind_;
            doc.ids[slot] = nb::borrow(id);
            doc.tags[slot] = tag;
            doc.result_type_objects[slot] = result_type;
            elements[slot] = child;
        } else {
            slot = doc.kinds.size();
            doc.kinds.push_back(kind_);
            doc.variant.push_back(kind != nullptr);
            doc.ids.push_back(nb::borrow(id));
            doc.tags.push_back(tag);
            doc.result_type_objects.push_back(result_type);
            elements.push_back(child);
        }
        nb::object index = nb::steal(PyLong_FromSize_t(slot));
        if (!index.is_valid())
            throw nb::python_error();
        if (kind) {
            if (!kinds_of.is_valid()) {
                kinds_of = nb::dict();
                if (PyDict_SetItem(doc.variants.ptr(), id, kinds_of.ptr()) < 0)
                    throw nb::python_error();
            }
            if (PyDict_SetItemString(kinds_of.ptr(), kind->name, index.ptr()) < 0)
                throw nb::python_error();
        }
        // The public maps and slots show the statement without db_type, else the first variant.
        if (!kind || !known) {
            if (PyDict_SetItem(doc.slots.ptr(), id, index.ptr()) < 0 ||
                PyDict_SetItem(doc.elements.ptr(), id, child.ptr()) < 0 ||
                PyDict_SetItem(doc.result_types.ptr(), id, result_type.ptr()) < 0 ||
                PyDict_SetItem(doc.sql_types.ptr(), id, tag.ptr()) < 0)
                throw nb::python_error();
        }
    });

    // Every id is known now, so includes resolve whatever the order of the file.
    doc.bodies.resize(elements.size());
    Compiler compiler(doc, &lines);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        line = line_of(elements[i]);
        compiler.body(elements[i], doc.bodies[i]);
    }
    for (const core::Body &body : doc.bodies)
        doc.fixed.push_back(core::is_static(body, doc.bodies));
    return doc;
}

}  // namespace

core::Body MapperDocument::compile_element(nb::handle element) {
    core::Body body;
    Compiler(*this).element(element, body);
    return body;
}

nb::str MapperDocument::render_statement(std::size_t slot, nb::handle params, std::vector<core::Decision> *decisions,
                                        core::SqlDialect dialect, nb::handle db_type) {
    const core::Body &body = bodies[slot];
    if (body.empty())
        return make_str("");
    PyEvaluator ev(expressions, params.ptr(), nullptr, db_type);
    return make_str(render_body(*this, body, ev, ids[slot], decisions, dialect));
}

nb::str MapperDocument::render_element(nb::handle element, nb::handle context) {
    core::Body body = compile_element(element);
    PyEvaluator ev(expressions, nullptr, context.ptr());
    return make_str(render_body(*this, body, ev, nb::handle()));
}

}  // namespace zorvane::glue
