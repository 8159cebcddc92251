// src/bindings/utils/malvey.cpp: zorvane.utils.malvey, keyword replacement at statement ends.
#include "glue/common.hpp"

namespace {
using namespace zorvane;

glue::Lazy re_sub{"re", "sub"};
glue::Lazy re_ignorecase{"re", "IGNORECASE"};

// The overrides are caller-written pattern fragments and `replace` a re.sub template,
// so the host's engine does the work, with its own semantics and errors.
nb::object replace_end(nb::handle string, nb::handle overrides, nb::handle replace, const char *overrides_arg,
                       const char *pattern_format) {
    glue::check_exact(string, &PyUnicode_Type, "string");
    glue::check_exact(overrides, &PyUnicode_Type, overrides_arg);
    glue::check_exact(replace, &PyUnicode_Type, "replace");
    nb::object stripped = nb::steal(PyObject_CallMethod(string.ptr(), "strip", nullptr));
    if (!stripped.is_valid())
        throw nb::python_error();
    nb::object pattern = nb::steal(PyUnicode_FromFormat(pattern_format, overrides.ptr()));
    if (!pattern.is_valid())
        throw nb::python_error();
    return re_sub(pattern, replace, stripped, "count"_a = 1, "flags"_a = re_ignorecase.get());
}

nb::object replace_sql_first_shim(nb::handle string, nb::handle prefix_overrides, nb::handle replace) {
    return replace_end(string, prefix_overrides, replace, "prefix_overrides", "^[\\s]*?(%U)");
}

nb::object replace_sql_last_shim(nb::handle string, nb::handle suffix_overrides, nb::handle replace) {
    return replace_end(string, suffix_overrides, replace, "suffix_overrides", "(%U)(\\s+--.+)?$");
}

}  // namespace

NB_MODULE(malvey, m) {
    zorvane::glue::start_module();
    m.doc() = "Keyword replacement at the start or end of a SQL text.";
    m.def("replace_sql_first", &replace_sql_first_shim, "string"_a.none(), "prefix_overrides"_a.none(),
          "replace"_a.none(),
          "Strips `string` and replaces a leading match of `prefix_overrides` (a pattern fragment, any case) by `replace`.");
    m.def("replace_sql_last", &replace_sql_last_shim, "string"_a.none(), "suffix_overrides"_a.none(),
          "replace"_a.none(),
          "Strips `string` and replaces a trailing match of `suffix_overrides` (any case), with a trailing -- comment, by `replace`.");
}
