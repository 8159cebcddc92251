// src/bindings/mapper/document.cpp: one mapper file, its statements compiled into render trees.
#include "mapper/document.hpp"

#include <cstring>

#include "render/clauses.hpp"

namespace zorvane::glue {
namespace {

Lazy et_parse{"xml.etree.ElementTree", "parse"};
Lazy get_type_from_string{"zorvane.utils.pennick", "get_type_from_string"};
Lazy is_container_type_by_str{"zorvane.utils.pennick", "is_container_type_by_str"};

// Interned attribute and key names, made once.
struct Names {
    PyObject *tag, *text, *tail, *attrib, *iter, *getroot, *params, *add_note;
    Names() {
        auto intern = [](const char *s) { return PyUnicode_InternFromString(s); };
        tag = intern("tag");
        text = intern("text");
        tail = intern("tail");
        attrib = intern("attrib");
        iter = intern("iter");
        getroot = intern("getroot");
        params = intern("params");
        add_note = intern("add_note");
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

// attrib[name] or null; borrowed while `attrib` lives.
PyObject *attribute(nb::handle attrib, const char *name) {
    if (!PyDict_Check(attrib.ptr()))
        raise(PyExc_TypeError, std::string("element attrib must be a dict, got ") + Py_TYPE(attrib.ptr())->tp_name);
    return PyDict_GetItemString(attrib.ptr(), name);
}

std::string text_of(PyObject *value) {
    if (!PyUnicode_Check(value))
        raise(PyExc_TypeError, std::string("attribute values must be str, got ") + Py_TYPE(value)->tp_name);
    return std::string(utf8(value));
}

// Appends element text or tail (None contributes nothing).
void append_run(core::Body &out, nb::handle value) {
    if (value.is_none())
        return;
    if (!PyUnicode_Check(value.ptr()))
        raise(PyExc_TypeError, std::string("element text must be str, got ") + Py_TYPE(value.ptr())->tp_name);
    core::append_text(out, utf8(value));
}

std::string tag_name(nb::handle tag) { return PyUnicode_Check(tag.ptr()) ? std::string(utf8(tag)) : std::string(nb::str(tag).c_str()); }

// Adds `note` to the exception being raised (PEP 678), keeping the exception itself.
void add_note(const std::string &note) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    if (value) {
        PyObject *r = PyObject_CallMethodOneArg(value, names().add_note, make_str(note).ptr());
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

class Compiler {
public:
    explicit Compiler(MapperDocument &doc) : doc_(doc) {}

    // The element's text, then each child's rendering followed by its tail.
    void body(nb::handle elem, core::Body &out) {
        append_run(out, get(elem, names().text));
        nb::object it = nb::steal(PyObject_GetIter(elem.ptr()));
        if (!it.is_valid())
            throw nb::python_error();
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object child = nb::steal(raw);
            element(child, out);
            append_run(out, get(child, names().tail));
        }
        if (PyErr_Occurred())
            throw nb::python_error();
    }

    // The rendering of `elem` itself, as parse_element gives it.
    void element(nb::handle elem, core::Body &out) {
        using core::ErrorKind;
        nb::object tag = get(elem, names().tag);
        if (!PyUnicode_Check(tag.ptr())) {
            core::append_node(out, core::make_error(ErrorKind::UnsupportedTag, tag_name(tag)));
            return;
        }
        std::string_view t = utf8(tag);
        nb::object attrib = get(elem, names().attrib);
        if (t == "sql" || t == "when" || t == "otherwise") {
            body(elem, out);
        } else if (t == "if") {
            PyObject *test = attribute(attrib, "test");
            if (!test)
                return core::append_node(out, core::make_error(ErrorKind::MissingAttribute, "test"));
            std::size_t expr = doc_.expressions.add(test, false);
            core::Body b;
            body(elem, b);
            core::append_node(out, core::make_if(expr, std::move(b)));
        } else if (t == "where" || t == "set") {
            core::Body b;
            body(elem, b);
            core::append_node(out, t == "where" ? core::make_where(std::move(b)) : core::make_set(std::move(b)));
        } else if (t == "trim") {
            trim(elem, attrib, out);
        } else if (t == "choose") {
            choose(elem, out);
        } else if (t == "foreach") {
            foreach_(elem, attrib, out);
        } else if (t == "include") {
            include(attrib, out);
        } else {
            core::append_node(out, core::make_error(ErrorKind::UnsupportedTag, std::string(t)));
        }
    }

private:
    void trim(nb::handle elem, nb::handle attrib, core::Body &out) {
        auto value = [&](const char *name) {
            PyObject *v = attribute(attrib, name);
            return v ? text_of(v) : std::string();
        };
        std::string prefix = value("prefix"), suffix = value("suffix");
        std::vector<std::string> heads = core::parse_overrides(value("prefixOverrides"));
        std::vector<std::string> tails = core::parse_overrides(value("suffixOverrides"));
        core::Body b;
        body(elem, b);
        core::append_node(out, core::make_trim(std::move(b), std::move(prefix), std::move(suffix), std::move(heads),
                                               std::move(tails)));
    }

    void choose(nb::handle elem, core::Body &out) {
        std::vector<core::Node> branches;
        nb::object otherwise;
        nb::object it = nb::steal(PyObject_GetIter(elem.ptr()));
        if (!it.is_valid())
            throw nb::python_error();
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object child = nb::steal(raw);
            nb::object tag = get(child, names().tag);
            if (!PyUnicode_Check(tag.ptr()))
                continue;
            std::string_view t = utf8(tag);
            if (t == "when") {
                PyObject *test = attribute(get(child, names().attrib), "test");
                if (!test) {
                    branches.push_back(core::make_error(core::ErrorKind::MissingAttribute, "test"));
                    continue;
                }
                std::size_t expr = doc_.expressions.add(test, false);
                core::Body b;
                body(child, b);
                branches.push_back(core::make_if(expr, std::move(b)));
            } else if (t == "otherwise" && !otherwise.is_valid()) {
                otherwise = child;
            }
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        if (otherwise.is_valid()) {
            core::Body b;
            body(otherwise, b);
            branches.push_back(core::make_block(std::move(b)));
        }
        core::append_node(out, core::make_choose(std::move(branches), otherwise.is_valid()));
    }

    void foreach_(nb::handle elem, nb::handle attrib, core::Body &out) {
        static const char *const required[] = {"item", "collection", "open", "close", "separator"};
        PyObject *values[5];
        for (int i = 0; i < 5; ++i) {
            values[i] = attribute(attrib, required[i]);
            if (!values[i])
                return core::append_node(out, core::make_error(core::ErrorKind::MissingAttribute, required[i]));
        }
        std::string item = text_of(values[0]), collection = text_of(values[1]);
        std::size_t expr = doc_.expressions.add(values[1], true);
        core::Body b;
        body(elem, b);
        core::append_node(out, core::make_foreach(std::move(b), expr, item, collection, text_of(values[2]),
                                                  text_of(values[3]), text_of(values[4])));
    }

    void include(nb::handle attrib, core::Body &out) {
        using core::ErrorKind;
        PyObject *refid = attribute(attrib, "refid");
        if (!refid)
            return core::append_node(out, core::make_error(ErrorKind::MissingAttribute, "refid"));
        PyObject *slot = PyDict_GetItemWithError(doc_.slots.ptr(), refid);
        if (!slot) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return core::append_node(out, core::make_error(ErrorKind::UnknownRefid, tag_name(refid)));
        }
        std::size_t s = PyLong_AsSize_t(slot);
        if (doc_.kinds[s] != StatementKind::Sql)  // a statement is no fragment
            return core::append_node(out, core::make_error(ErrorKind::UnsupportedTag, tag_name(doc_.tags[s])));
        core::append_node(out, core::make_include(s, text_of(refid)));
    }

    MapperDocument &doc_;
};

// What a rendering reads: the compiled expressions, the caller's parameters and the
// rendering context ({"params": params}, made on the first test that needs it).
class PyEvaluator final : public core::Evaluator {
public:
    PyEvaluator(Expressions &ex, PyObject *params, PyObject *context) : ex_(ex), params_(params), context_(context) {}

    bool test(std::size_t i) override {
        PyObject *code = ex_.code(i);
        PyObject *ctx = context();
        // The context is the global namespace; builtins come from the running frame,
        // so nothing is written into it.
        nb::object r = nb::steal(PyEval_EvalCode(code, ctx, ctx));
        if (!r.is_valid())
            fail(i, "test");
        int t = PyObject_IsTrue(r.ptr());
        if (t < 0)
            fail(i, "test");
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
            fail(i, "foreach collection");
        if (!PyList_Check(value.ptr()))
            raise_exception("Collection must be a list");
        if (PyList_CheckExact(value.ptr()))
            return static_cast<std::size_t>(PyList_GET_SIZE(value.ptr()));
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
        add_note(std::string("while evaluating the ") + what + ": " + std::string(utf8(ex_.text(i))));
        throw nb::python_error();
    }

    PyObject *context() {
        if (!context_) {
            own_context_ = nb::dict();
            if (PyDict_SetItem(own_context_.ptr(), names().params, params_) < 0)
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

std::string render_body(const MapperDocument &doc, const core::Body &body, PyEvaluator &ev) {
    std::string out;
    try {
        core::render(body, doc.bodies, ev, out);
    } catch (const core::RenderError &e) {
        raise_render_error(e);
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
        raise(PyExc_TypeError, std::string("expressions must be str, got ") + Py_TYPE(text.ptr())->tp_name);
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
    std::string_view src = utf8(e.text);
    // eval() drops leading blanks and tabs of a source string; so do we.
    src.remove_prefix(std::min(src.find_first_not_of(" \t"), src.size()));
    if (src.find('\0') != std::string_view::npos)
        raise(PyExc_SyntaxError, "source code string cannot contain null bytes");
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8;
    flags.cf_feature_version = PY_MINOR_VERSION;
    std::string source(src);
    PyObject *code = Py_CompileStringExFlags(source.c_str(), e.collection ? "<foreach collection>" : "<test>",
                                             Py_eval_input, &flags, -1);
    if (!code) {
        add_note(std::string("while compiling the ") + (e.collection ? "foreach collection: " : "test: ") +
                 std::string(utf8(e.text)));
        throw nb::python_error();
    }
    e.code = nb::steal(code);
    return code;
}

MapperDocument MapperDocument::load(nb::handle xml_path) {
    if (xml_path.is_none())
        raise(PyExc_TypeError, "ParseMapper needs xml_path, the path of a mapper file");
    check_exact(xml_path, &PyUnicode_Type, "xml_path");
    nb::object root = get(et_parse(xml_path), names().getroot)();

    MapperDocument doc;
    nb::object mappers = get(root, names().iter)("mapper");
    PyObject *first = PyIter_Next(mappers.ptr());
    if (!first && PyErr_Occurred())
        throw nb::python_error();
    if (first) {
        nb::object mapper = nb::steal(first);
        PyObject *ns = attribute(get(mapper, names().attrib), "namespace");
        if (ns)
            doc.namespace_ = nb::borrow(ns);
    }

    std::vector<nb::object> elements;
    nb::handle dict_type((PyObject *)&PyDict_Type);
    nb::object it = nb::steal(PyObject_GetIter(root.ptr()));
    if (!it.is_valid())
        throw nb::python_error();
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object child = nb::steal(raw);
        nb::object tag = get(child, names().tag);
        if (!PyUnicode_Check(tag.ptr()) || !registered_tag(utf8(tag)))
            continue;
        StatementKind kind = kind_of(utf8(tag));
        nb::object attrib = get(child, names().attrib);
        PyObject *id = attribute(attrib, "id");
        if (!id)
            raise_exception("Missing id");
        nb::object result_type = nb::borrow(dict_type);
        PyObject *rt = kind == StatementKind::Select ? attribute(attrib, "resultType") : nullptr;
        if (rt) {
            result_type = get_type_from_string(nb::handle(rt));
            if (truthy(is_container_type_by_str(nb::handle(rt))) && !result_type.is(dict_type))
                raise(PyExc_TypeError, "please check result_type: can`t set type: " + text_of(rt));
        }
        std::size_t slot;
        if (PyObject *known = PyDict_GetItemWithError(doc.slots.ptr(), id)) {
            slot = PyLong_AsSize_t(known);  // a later element with the same id replaces it
            doc.kinds[slot] = kind;
            doc.tags[slot] = tag;
            doc.result_type_objects[slot] = result_type;
            elements[slot] = child;
        } else {
            if (PyErr_Occurred())
                throw nb::python_error();
            slot = doc.kinds.size();
            doc.slots[nb::handle(id)] = nb::int_(slot);
            doc.kinds.push_back(kind);
            doc.tags.push_back(tag);
            doc.result_type_objects.push_back(result_type);
            elements.push_back(child);
        }
        doc.elements[nb::handle(id)] = child;
        doc.result_types[nb::handle(id)] = result_type;
        doc.sql_types[nb::handle(id)] = tag;
    }
    if (PyErr_Occurred())
        throw nb::python_error();

    // Every id is known now, so includes resolve whatever the order of the file.
    doc.bodies.resize(elements.size());
    Compiler compiler(doc);
    for (std::size_t i = 0; i < elements.size(); ++i)
        compiler.body(elements[i], doc.bodies[i]);
    return doc;
}

core::Body MapperDocument::compile_element(nb::handle element) {
    core::Body body;
    Compiler(*this).element(element, body);
    return body;
}

nb::str MapperDocument::render_statement(std::size_t slot, nb::handle params) {
    const core::Body &body = bodies[slot];
    if (body.empty())
        return make_str("");
    PyEvaluator ev(expressions, params.ptr(), nullptr);
    return make_str(render_body(*this, body, ev));
}

nb::str MapperDocument::render_element(nb::handle element, nb::handle context) {
    core::Body body = compile_element(element);
    PyEvaluator ev(expressions, nullptr, context.ptr());
    return make_str(render_body(*this, body, ev));
}

}  // namespace zorvane::glue
