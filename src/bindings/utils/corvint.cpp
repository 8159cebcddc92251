// src/bindings/utils/corvint.cpp: zorvane.utils.corvint, CDATA text and SQL literals.
#include "glue/common.hpp"
#include "glue/text.hpp"
#include "text/literal_text.hpp"

namespace {
using namespace zorvane;

nb::str replace_cdata_shim(nb::handle raw_text) {
    glue::check_exact(raw_text, &PyUnicode_Type, "raw_text");
    glue::Utf8 text(raw_text);
    if (!core::find_cdata(text))
        return nb::borrow<nb::str>(raw_text);
    return glue::make_text(core::replace_first_cdata(text));
}

nb::str convert_cdata_shim(nb::handle string, nb::handle reverse) {
    glue::check_exact(string, &PyUnicode_Type, "string");
    glue::Utf8 text(string);
    return glue::make_text(glue::truthy(reverse) ? core::escape_xml(text) : core::unescape_xml(text));
}

nb::str param_str_shim(nb::handle value, nb::handle db_type) {
    auto escapes = glue::literal_escapes(db_type);
    if (!glue::truthy(value))
        return nb::str("null");
    // A str subclass (a StrEnum member, say) is text too: quoted from its characters,
    // never dropped into the statement bare.
    if (PyUnicode_Check(value.ptr()))
        return glue::make_text(core::sql_string_literal(glue::Utf8(value), escapes));
    return nb::str(value);
}

constexpr const char *SQL_STRING_FORMAT_DOC =
    "`sql_str_value` as one SQL string literal: quotes added where missing, inner single quotes doubled."
    ZORVANE_DB_TYPE_DOC;
constexpr const char *PARAM_STR_DOC =
    "SQL literal text of a value: 'null' when falsy, a quoted literal for text, else str(value)." ZORVANE_DB_TYPE_DOC;

}  // namespace

NB_MODULE(corvint, m) {
    zorvane::glue::start_module();
    m.doc() = "CDATA handling and SQL literal formatting.";
    m.def("replace_cdata", &replace_cdata_shim, "raw_text"_a.none(),
          "`raw_text` with every copy of its first CDATA section replaced by the section's escaped content.");
    m.def("convert_cdata", &convert_cdata_shim, "string"_a.none(), "reverse"_a.none() = false,
          "Escapes &, <, > and \" when `reverse` is true, else unescapes &amp;, &lt;, &gt; and &quot; in that order.");
    m.def("sql_string_format", &glue::sql_literal, "sql_str_value"_a.none(), nb::kw_only(),
          "db_type"_a.none() = nb::none(), SQL_STRING_FORMAT_DOC);
    m.def("param_str", &param_str_shim, "param_value"_a.none(), nb::kw_only(), "db_type"_a.none() = nb::none(),
          PARAM_STR_DOC);
}
