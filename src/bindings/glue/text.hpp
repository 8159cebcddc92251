// src/bindings/glue/text.hpp: str <-> UTF-8 for the text utilities, lone surrogates included.
#pragma once
#include <string_view>

#include "glue/common.hpp"
#include "text/literal_text.hpp"

namespace zorvane::glue {

// The UTF-8 bytes of a str. A str holding lone surrogates has no UTF-8 form; it is
// carried as its "surrogatepass" bytes, which make_text turns back into the same text.
// Slicing at ASCII bytes stays on character boundaries either way.
class Utf8 {
public:
    explicit Utf8(nb::handle s) {
        Py_ssize_t n;
        const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
        if (!p) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                throw nb::python_error();
            PyErr_Clear();
            bytes_ = nb::steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
            if (!bytes_.is_valid())
                throw nb::python_error();
            p = glue::bytes_data(bytes_.ptr());
            n = glue::bytes_size(bytes_.ptr());
        }
        view_ = {p, static_cast<std::size_t>(n)};
    }
    std::string_view view() const noexcept { return view_; }
    operator std::string_view() const noexcept { return view_; }

private:
    nb::object bytes_;
    std::string_view view_;
};

inline nb::str make_text(std::string_view s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!o)
        throw nb::python_error();
    return nb::steal<nb::str>(o);
}

// sql_string_format: `value` must be exactly a str.
inline nb::str sql_literal(nb::handle value) {
    check_exact(value, &PyUnicode_Type, "sql_str_value");
    return make_text(core::sql_string_literal(Utf8(value)));
}

}  // namespace zorvane::glue
