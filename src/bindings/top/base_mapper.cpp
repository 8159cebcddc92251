// src/bindings/top/base_mapper.cpp: BaseMapper, the generic base of mapper classes.
#include "top/parts.hpp"
#include "top/state.hpp"

namespace zorvane::top {
namespace {

// Fills the class namespace while types.new_class builds BaseMapper(Generic[T]).
void fill_namespace(nb::dict ns) {
    ns["__module__"] = "zorvane.zorvane";
    ns["__doc__"] = "Generic base of mapper classes; parameterise it with a declarative table model.";
    ns["datasource"] = nb::none();
    ns["default_key"] = nb::none();
    ns["raw_sql"] = false;
    ns["_sig_cache"] = nb::dict();
    ns["_type_cache"] = nb::dict();
}

}  // namespace

void register_base_mapper(nb::module_ &m) {
    nb::module_ typing = nb::module_::import_("typing");
    nb::object decl = nb::module_::import_("sqlalchemy.orm").attr("DeclarativeBase");
    nb::object T = typing.attr("TypeVar")("T", nb::arg("bound") = decl);
    nb::object generic_t = typing.attr("Generic")[T];
    nb::object body = nb::cpp_function(&fill_namespace, "ns"_a);
    nb::object cls = nb::module_::import_("types").attr("new_class")("BaseMapper", nb::make_tuple(generic_t),
                                                                     nb::dict(), body);
    set_base_mapper(cls);
    m.attr("T") = T;
    m.attr("BaseMapper") = cls;
}

}  // namespace zorvane::top
