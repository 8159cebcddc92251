// src/bindings/mapper/vantrel.cpp: zorvane.mapper.vantrel, the mapper XML parser.
#include "glue/common.hpp"
#include "mapper/prepared.hpp"
#include "text/sql_text.hpp"

namespace {
using namespace zorvane;

struct ParseMapper {};

nb::tuple to_prepared_statement_shim(nb::handle ret, nb::handle param) {
    return glue::to_prepared_statement(ret, param);
}

nb::str format_sql_shim(nb::handle sql) {
    glue::check_exact(sql, &PyUnicode_Type, "sql");
    return glue::make_str(core::format_sql(glue::utf8(sql)));
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
            glue::raise(PyExc_TypeError, std::string("replace() argument 2 must be str, not ") + Py_TYPE(v.ptr())->tp_name);
        return std::string(glue::utf8(v));
    });
    return glue::make_str(out);
}

}  // namespace

NB_MODULE(vantrel, m) {
    m.doc() = "Mapper XML parser: statements by id, dynamic SQL and bound statements.";
    nb::module_ re = nb::module_::import_("re");
    nb::module_::import_("zorvane.utils.pennick");
    m.attr("sql_id_type_list") = nb::list(nb::make_tuple("sql", "select", "insert", "update", "delete"));
    m.attr("param_pattern") = re.attr("compile")(R"(#{([a-zA-Z0-9_\-]+)})");
    m.attr("replace_pattern") = re.attr("compile")(R"(\${([a-zA-Z0-9_\-]+)})");

    nb::class_<ParseMapper>(m, "ParseMapper", nb::dynamic_attr(), "One mapper XML file: its statements by id, rendered into bound statements.")
        .def(nb::init<>())
        .def_static("to_prepared_statement", &to_prepared_statement_shim, "ret"_a, "param"_a.none(),
                    "Turns #{name} placeholders into :name markers; returns (TextClause, bound values).")
        .def_static("_format_sql", &format_sql_shim, "sql"_a,
                    "Collapses whitespace outside quoted runs to single blanks and strips both ends.")
        .def_static("to_replace", &to_replace_shim, "ret"_a, "param"_a.none(),
                    "Substitutes ${name} placeholders by the text values of `param`.");
}
