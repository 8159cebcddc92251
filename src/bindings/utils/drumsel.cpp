// src/bindings/utils/drumsel.cpp: zorvane.utils.drumsel, the placeholder scanner.
#include <initializer_list>
#include <optional>
#include <utility>

#include "glue/common.hpp"
#include "glue/text.hpp"
#include "text/placeholder_scan.hpp"
#include "text/utf8.hpp"
#include "glue/call.hpp"

namespace {
using namespace zorvane;

glue::Lazy re_compile{"re", "compile"};
glue::Lazy re_search{"re", "search"};

// The descriptor classes are plain objects: every field lives in the instance
// __dict__, so reading, setting, deleting, vars(), copying and pickling behave as for
// a class written in Python (weak references included). The C++ part holds nothing.
struct SqlParamObj {};
struct PlaceholderParamObj {};
struct SqlParamRegexObj {};

PyObject *g_sql_param_type = nullptr;
PyObject *g_placeholder_type = nullptr;

// Interned field names.
struct Keys {
    nb::object is_function, param_name, function_expression, function_name;
    nb::object sql_param, full_name, sql_type, python_type, type_handler, name;
    nb::object regex, prefix;
} *k = nullptr;

nb::object intern(const char *s) { return nb::steal(glue::intern(s)); }

using Field = std::pair<const nb::object &, nb::handle>;

void set_fields(nb::handle self, std::initializer_list<Field> fields) {
    for (const auto &[key, value] : fields)
        if (PyObject_SetAttr(self.ptr(), key.ptr(), value.ptr()) != 0)
            throw nb::python_error();
}

nb::object get_field(nb::handle self, const nb::object &key) {
    PyObject *v = PyObject_GetAttr(self.ptr(), key.ptr());
    if (!v)
        throw nb::python_error();
    return nb::steal(v);
}

nb::handle boolean(bool v) { return v ? Py_True : Py_False; }

nb::object optional_text(const std::optional<std::string_view> &v) {
    return v ? nb::object(glue::make_text(*v)) : nb::none();
}

// \w of the host's engine for str patterns, beyond ASCII.
bool py_word(char32_t c) noexcept { return c == U'_' || glue::is_alnum(static_cast<Py_UCS4>(c)); }

nb::object new_sql_param(bool is_function, nb::handle param_name, nb::handle function_expression,
                         nb::handle function_name) {
    nb::object obj = nb::inst_alloc_zero(g_sql_param_type);
    set_fields(obj, {{k->is_function, boolean(is_function)},
                     {k->param_name, param_name},
                     {k->function_expression, function_expression},
                     {k->function_name, function_name}});
    return obj;
}

// What the inside of a placeholder (prefix and braces already removed) means.
nb::object resolve_inside(std::string_view inside) {
    if (core::is_call(inside))
        return new_sql_param(true, Py_None, glue::make_text(inside), glue::make_text(core::before_first(inside, '(')));
    return new_sql_param(false, glue::make_text(core::before_first(inside, ',')), Py_None, Py_None);
}

nb::list scan_shim(std::string_view text) {
    nb::list out;
    for (const core::Placeholder &p : core::scan_placeholders(text)) {
        std::string inside = core::placeholder_inside(p.text, core::placeholder_opener(p.kind));
        bool call = core::is_call(inside);
        nb::object sql_param = resolve_inside(inside);
        nb::object param_name = get_field(sql_param, k->param_name);
        nb::object desc = nb::inst_alloc_zero(g_placeholder_type);
        set_fields(desc, {{k->sql_param, sql_param},
                          {k->full_name, glue::make_text(p.text)},
                          {k->sql_type, Py_None},
                          {k->python_type, Py_None},
                          {k->type_handler, Py_None},
                          {k->param_name, param_name}});
        if (!call)
            set_fields(desc, {{k->name, param_name},
                              {k->sql_type, optional_text(core::option_value(p.text, "sql_type", py_word))},
                              {k->python_type, optional_text(core::option_value(p.text, "python_type", py_word))},
                              {k->type_handler, optional_text(core::option_value(p.text, "type_handler", py_word))}});
        out.append(desc);
    }
    return out;
}

nb::list get_sql_param_shim(nb::handle param_text) {
    glue::check_exact(param_text, &PyUnicode_Type, "param_text");
    return scan_shim(glue::Utf8(param_text));
}

// `child.text or ""`, kept only when it holds a non-whitespace character.
void append_element_text(std::string &out, nb::handle value) {
    if (!glue::truthy(value))
        return;
    if (!PyUnicode_Check(value.ptr()))
        glue::raise(PyExc_TypeError, std::string("element text must be str or None, got ") + glue::type_name(value.ptr()));
    glue::Utf8 text(value);
    if (!core::strip_py(text).empty())
        out.append(text.view());
}

nb::list get_params_shim(nb::handle child) {
    nb::object text = nb::getattr(child, "text");
    nb::object tail = nb::getattr(child, "tail");
    std::string joined;
    append_element_text(joined, text);
    append_element_text(joined, tail);
    return scan_shim(joined);
}

nb::object get_regex_value_shim(nb::handle regex, nb::handle param, nb::handle group) {
    glue::check_exact(regex, &PyUnicode_Type, "regex");
    glue::check_exact(param, &PyUnicode_Type, "param");
    glue::check_exact(group, &PyUnicode_Type, "group");
    nb::object match = re_search(regex, param);
    if (match.is_none())
        return nb::none();
    nb::object value = match.attr("group")(group);
    // "keyword=" with no value: the group took part in no match; the option is absent.
    if (value.is_none())
        return nb::none();
    return value.attr("strip")();
}

template <class T>
void dict_state(nb::class_<T> &cls) {
    cls.def("__getstate__", [](T &self) -> nb::object {
        nb::handle h = nb::find(&self);
        PyObject *d = PyObject_GenericGetDict(h.ptr(), nullptr);
        if (!d)
            throw nb::python_error();
        nb::object dict = nb::steal(d);
        return nb::steal(PyDict_Copy(dict.ptr()));
    });
    cls.def("__setstate__", [](T *self, nb::dict state) {
        new (self) T();
        nb::handle h = nb::find(self);
        for (auto [key, value] : state)
            if (PyObject_SetAttr(h.ptr(), key.ptr(), value.ptr()) != 0)
                throw nb::python_error();
    });
}

nb::str sql_param_str(SqlParamObj &self) {
    nb::handle h = nb::find(&self);
    PyObject *s = PyUnicode_FromFormat("is_function:%S ,param_name:%S,function_expression:%S,function_name:%S",
                                       get_field(h, k->is_function).ptr(), get_field(h, k->param_name).ptr(),
                                       get_field(h, k->function_expression).ptr(), get_field(h, k->function_name).ptr());
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::str placeholder_str(PlaceholderParamObj &self) {
    nb::handle h = nb::find(&self);
    nb::object fields[] = {get_field(h, k->sql_param),   get_field(h, k->full_name),   get_field(h, k->sql_type),
                           get_field(h, k->python_type), get_field(h, k->type_handler), get_field(h, k->param_name)};
    PyObject *s = PyUnicode_FromFormat(
        "sql_param:%S ,full_name:%S,sql_type:%S,python_type:%S,type_handler:%S,param_name:%S", fields[0].ptr(),
        fields[1].ptr(), fields[2].ptr(), fields[3].ptr(), fields[4].ptr(), fields[5].ptr());
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

}  // namespace

NB_MODULE(drumsel, m) {
    zorvane::glue::start_module();
    m.doc() = "Placeholder scanner: the #{...}, ${...} and $f{...} placeholders of SQL text.";
    k = new Keys{intern("is_function"), intern("param_name"), intern("function_expression"), intern("function_name"),
                 intern("sql_param"),   intern("full_name"),  intern("sql_type"),            intern("python_type"),
                 intern("type_handler"), intern("name"),      intern("regex"),               intern("prefix")};

    nb::class_<SqlParamObj> sql_param(m, "SqlParam", nb::dynamic_attr(), nb::is_weak_referenceable(),
                                      "What the inside of one placeholder means: a parameter name or a function call.");
    sql_param.def(
        "__init__",
        [](SqlParamObj *self, nb::handle param_name, nb::handle function_expression, nb::handle is_function,
           nb::handle function_name) {
            glue::check_exact(param_name, &PyUnicode_Type, "param_name", true);
            glue::check_exact(function_expression, &PyUnicode_Type, "function_expression", true);
            glue::check_exact(function_name, &PyUnicode_Type, "function_name", true);
            bool f = glue::truthy(is_function);
            new (self) SqlParamObj();
            set_fields(nb::find(self), {{k->is_function, boolean(f)},
                                        {k->param_name, param_name},
                                        {k->function_expression, function_expression},
                                        {k->function_name, function_name}});
        },
        "param_name"_a.none() = nb::none(), "function_expression"_a.none() = nb::none(),
        "is_function"_a.none() = false, "function_name"_a.none() = nb::none());
    sql_param.def("__str__", &sql_param_str);
    dict_state(sql_param);

    nb::class_<PlaceholderParamObj> placeholder(m, "PlaceholderParam", nb::dynamic_attr(), nb::is_weak_referenceable(),
                                                "One placeholder as written in the SQL, with its options.");
    placeholder.def(
        "__init__",
        [](PlaceholderParamObj *self, nb::handle sql_param, nb::handle full_name, nb::handle sql_type,
           nb::handle python_type, nb::handle type_handler) {
            glue::check_exact(full_name, &PyUnicode_Type, "full_name", true);
            glue::check_exact(sql_type, &PyUnicode_Type, "sql_type", true);
            glue::check_exact(python_type, &PyUnicode_Type, "python_type", true);
            glue::check_exact(type_handler, &PyUnicode_Type, "type_handler", true);
            nb::object param_name = get_field(sql_param, k->param_name);
            new (self) PlaceholderParamObj();
            set_fields(nb::find(self), {{k->sql_param, sql_param},
                                        {k->full_name, full_name},
                                        {k->sql_type, sql_type},
                                        {k->python_type, python_type},
                                        {k->type_handler, type_handler},
                                        {k->param_name, param_name}});
        },
        "sql_param"_a.none(), "full_name"_a.none() = nb::none(), "sql_type"_a.none() = nb::none(),
        "python_type"_a.none() = nb::none(), "type_handler"_a.none() = nb::none());
    placeholder.def("__str__", &placeholder_str);
    dict_state(placeholder);

    nb::class_<SqlParamRegexObj> scanner(m, "SqlParamRegex", nb::dynamic_attr(), nb::is_weak_referenceable(),
                                         "The scanner of one placeholder kind: a compiled pattern and its prefix.");
    scanner.def(
        "__init__",
        [](SqlParamRegexObj *self, nb::handle regex, nb::handle prefix) {
            glue::check_exact(regex, &PyUnicode_Type, "regex");
            glue::check_exact(prefix, &PyUnicode_Type, "prefix");
            nb::object compiled = re_compile(regex);
            new (self) SqlParamRegexObj();
            set_fields(nb::find(self), {{k->regex, compiled}, {k->prefix, prefix}});
        },
        "regex"_a.none(), "prefix"_a.none());
    scanner.def(
        "resolve_param",
        [](SqlParamRegexObj &self, nb::handle param) {
            glue::check_exact(param, &PyUnicode_Type, "param");
            // prefix + "{" by the host, so a prefix replaced by a non-str fails as it would there.
            nb::object opener = nb::steal(PyNumber_Add(get_field(nb::find(&self), k->prefix).ptr(), nb::str("{").ptr()));
            if (!opener.is_valid())
                throw nb::python_error();
            glue::Utf8 opener_text(opener);
            return resolve_inside(core::placeholder_inside(glue::Utf8(param), opener_text));
        },
        "param"_a.none(), "The SqlParam for one placeholder exactly as matched, prefix and braces included.");
    dict_state(scanner);

    g_sql_param_type = sql_param.ptr();
    g_placeholder_type = placeholder.ptr();

    m.attr("param_function_regex") = re_compile(".+?\\(.+?\\)");
    nb::list scanners;
    scanners.append(scanner("\\#\\{.+?\\}", "#"));
    scanners.append(scanner("\\$\\{.+?\\}", "$"));
    scanners.append(scanner("\\$f\\{.+?\\}", "$f"));
    m.attr("sql_regex_list") = scanners;

    auto names = [](std::initializer_list<const char *> items) {
        nb::list l;
        for (const char *s : items)
            l.append(s);
        return l;
    };
    nb::dict types;
    types["NUM"] = names({"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "BIT", "DECIMAL", "DOUBLE", "FLOAT", "NUMERIC"});
    types["BOOLEAN"] = names({"BOOLEAN"});
    types["DATE"] = names({"DATE", "TIME", "TIMESTAMP"});
    types["STRING"] = names({"CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"});
    types["BINARY"] = names({"BINARY", "VARBINARY", "LONGVARBINARY", "BLOB"});
    types["OTHER"] = names({"ARRAY", "CLOB", "CURSOR", "DATALINK", "DATETIMEOFFSET", "DISTINCT", "NCLOB", "NULL",
                            "OTHER", "REAL", "REF", "ROWID", "SQLXML", "STRUCT", "UNDEFINED"});
    m.attr("type_mapping") = types;

    m.def("get_sql_param", &get_sql_param_shim, "param_text"_a.none(),
          "Descriptors of the distinct placeholders of `param_text`: #{...} first, then ${...}, then $f{...}.");
    m.def("get_params", &get_params_shim, "child"_a.none(),
          "get_sql_param over an XML element's own text and tail (blank parts ignored).");
    m.def("__get_regex_value", &get_regex_value_shim, "regex"_a.none(), "param"_a.none(), "group"_a.none(),
          "Named group `group` of the first search of `regex` in `param`, stripped; None without a match or value.");
}
