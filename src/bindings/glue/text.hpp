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

// The docstring paragraph on `db_type` of the literal helpers.
#define ZORVANE_DB_TYPE_DOC                                                                                         \
    "\n\n`db_type` names the server the text is for: None, \"postgresql\" or \"sqlite\" (standard strings), or " \
    "\"mysql\" or \"mariadb\", where backslashes are doubled too so that the server stores the text as given; "  \
    "any other name raises ValueError. Bound #{} parameters are the safe way to pass values; this is for code "   \
    "that builds SQL text itself."

// The literal escapes for a `db_type` argument: None gives the standard ones; a name
// the core does not know is a ValueError.
inline core::LiteralEscapes literal_escapes(nb::handle db_type) {
    if (db_type.is_none())
        return core::LiteralEscapes::standard;
    check_exact(db_type, &PyUnicode_Type, "db_type", true);
    if (auto escapes = core::literal_escapes_for(Utf8(db_type)))
        return *escapes;
    PyErr_Format(PyExc_ValueError, "unknown db_type %R: expected 'mysql', 'mariadb', 'postgresql', 'sqlite' or None",
                 db_type.ptr());
    throw nb::python_error();
}

// sql_string_format: `value` must be exactly a str.
inline nb::str sql_literal(nb::handle value, nb::handle db_type = nb::none()) {
    check_exact(value, &PyUnicode_Type, "sql_str_value");
    return make_text(core::sql_string_literal(Utf8(value), literal_escapes(db_type)));
}

}  // namespace zorvane::glue
