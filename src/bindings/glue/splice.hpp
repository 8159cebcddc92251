// src/bindings/glue/splice.hpp: ${name} placeholders replaced by identifiers at execution.
#pragma once
#include <string>

#include "glue/common.hpp"
#include "text/sql_text.hpp"

namespace zorvane::glue {

// `sql` (a str) with every ${name} outside literals and comments replaced by params[name],
// which must be a str that core::is_identifier_list accepts; ParameterError naming the
// placeholder otherwise. `sql` itself when it holds no such placeholder.
inline nb::object splice_identifiers(nb::handle sql, nb::handle params, core::SqlDialect d) {
    static Lazy parameter_error{"zorvane.exception", "ParameterError"};
    std::string_view text = utf8(sql);
    if (text.find("${") == std::string_view::npos)
        return nb::borrow(sql);
    std::vector<core::Splice> splices = core::find_splices(text, d);
    if (splices.empty())
        return nb::borrow(sql);
    std::string out;
    std::size_t at = 0;
    for (const core::Splice &s : splices) {
        nb::str key = make_str(s.name);
        PyObject *v = nullptr;
        if (!params.is_none()) {
            int has = PySequence_Contains(params.ptr(), key.ptr());
            if (has < 0)
                throw nb::python_error();
            if (has && !(v = PyObject_GetItem(params.ptr(), key.ptr())))
                throw nb::python_error();
        }
        nb::object value = nb::steal(v);
        std::string what = "${" + std::string(s.name) + "}";
        if (!value.is_valid())
            raise(parameter_error.get().ptr(), what + " names no parameter of the call");
        if (!PyUnicode_Check(value.ptr()) || !core::is_identifier_list(utf8(value)))
            raise(parameter_error.get().ptr(),
                  what + " takes column names (a, t.b DESC, ...), not " + std::string(utf8(nb::repr(value))));
        out.append(text, at, s.begin - at).append(utf8(value));
        at = s.end;
    }
    out.append(text, at, std::string_view::npos);
    return make_str(out);
}

}  // namespace zorvane::glue
