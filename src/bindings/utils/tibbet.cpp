// src/bindings/utils/tibbet.cpp: zorvane.utils.tibbet, template functions.
#include "glue/common.hpp"
#include "glue/text.hpp"

namespace {
using namespace zorvane;

glue::Lazy strftime{"time", "strftime"};

nb::str like_shim(nb::handle value, nb::handle db_type) { return glue::sql_literal(value, db_type); }

nb::str time_format_shim(nb::handle date_value, nb::handle format) {
    glue::check_exact(format, &PyUnicode_Type, "format");
    // strftime judges `date_value` itself: a 9-field time tuple or struct_time.
    return glue::sql_literal(strftime(format, date_value));
}

}  // namespace

NB_MODULE(tibbet, m) {
    zorvane::glue::start_module();
    m.doc() = "Template functions that turn values into SQL string literals.";
    // Every public name of corvint, as a star import would bring them.
    nb::module_ corvint = nb::module_::import_("zorvane.utils.corvint");
    nb::dict ns = m.attr("__dict__");
    for (auto [key, value] : nb::borrow<nb::dict>(corvint.attr("__dict__")))
        if (!glue::utf8(key).empty() && glue::utf8(key)[0] != '_')
            ns[key] = value;
    m.def("like", &like_shim, "value"_a.none(), nb::kw_only(), "db_type"_a.none() = nb::none(),
          "`value` (text) as one SQL string literal; no wildcard is added." ZORVANE_DB_TYPE_DOC);
    m.def("time_format", &time_format_shim, "date_value"_a.none(), "format"_a.none() = "%Y-%m-%d %H:%M:%S",
          "A time tuple formatted by time.strftime with `format`, as a SQL string literal.");
    nb::dict funs;
    funs["like"] = m.attr("like");
    funs["time_format"] = m.attr("time_format");
    m.attr("default_fun_dict") = funs;
}
