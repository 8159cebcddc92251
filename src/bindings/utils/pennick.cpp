// src/bindings/utils/pennick.cpp: zorvane.utils.pennick, type names and result classes.
#include "glue/common.hpp"

namespace {
using namespace zorvane;

glue::Lazy get_origin{"typing", "get_origin"};
glue::Lazy is_dataclass{"dataclasses", "is_dataclass"};
glue::Lazy import_module{"importlib", "import_module"};

PyObject *g_ns = nullptr;            // this module's namespace
PyObject *g_containers = nullptr;    // (list, tuple, dict, set)
PyObject *g_base_model = nullptr;    // pydantic.BaseModel
PyObject *g_declarative = nullptr;   // sqlalchemy.orm.DeclarativeBase

bool is_class(PyObject *v) { return v && PyType_Check(v); }

// builtins.<name>, or nullptr (new reference).
PyObject *builtin_attr(PyObject *name) {
    PyObject *v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return Py_XNewRef(v);
}

PyObject *ns_attr(PyObject *name) {
    PyObject *v = PyDict_GetItemWithError(g_ns, name);
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return Py_XNewRef(v);
}

bool subclass_of(nb::handle cls, PyObject *base) {
    int r = PyObject_IsSubclass(cls.ptr(), base);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object get_type_from_string_shim(nb::handle type_str) {
    glue::check_exact(type_str, &PyUnicode_Type, "type_str");
    nb::object v = nb::steal(builtin_attr(type_str.ptr()));
    if (is_class(v.ptr()))
        return v;
    v = nb::steal(ns_attr(type_str.ptr()));
    if (is_class(v.ptr()))
        return v;
    std::string text(glue::utf8(type_str));
    std::size_t dot = text.rfind('.');
    if (dot != std::string::npos) {
        auto unresolved = [&](nb::python_error &e) {
            std::string why = nb::str(e.value()).c_str();
            glue::raise(PyExc_ValueError, "无法导入类型 " + text + ": " + why);
        };
        nb::object module;
        try {
            module = import_module(glue::make_str(std::string_view(text).substr(0, dot)));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ImportError))
                throw;  // errors raised by the module's own code pass through
            unresolved(e);
        }
        try {
            v = module.attr(glue::make_str(std::string_view(text).substr(dot + 1)));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_AttributeError))
                throw;
            unresolved(e);
        }
        if (is_class(v.ptr()))
            return v;
    }
    glue::raise(PyExc_ValueError, "未知的类型: " + text);
}

bool is_container_type_by_str_shim(nb::handle type_str) {
    glue::check_exact(type_str, &PyUnicode_Type, "type_str");
    nb::object v = nb::steal(builtin_attr(type_str.ptr()));
    if (!v.is_valid() || !glue::truthy(v))
        v = nb::steal(ns_attr(type_str.ptr()));
    return is_class(v.ptr()) && subclass_of(v, g_containers);
}

nb::object get_base_type_shim(nb::handle generic_type) {
    nb::object origin = get_origin(generic_type);
    return origin.is_none() ? nb::borrow(generic_type) : origin;
}

bool is_container_type_shim(nb::handle type_obj) { return subclass_of(get_base_type_shim(type_obj), g_containers); }

bool is_result_class_shim(nb::handle data_type) {
    return subclass_of(data_type, g_base_model) || glue::truthy(is_dataclass(data_type)) ||
           subclass_of(data_type, g_declarative);
}

}  // namespace

NB_MODULE(pennick, m) {
    zorvane::glue::start_module();
    m.doc() = "Type utilities: type names from text, container types and result classes.";
    g_ns = m.attr("__dict__").ptr();
    nb::module_ abc = nb::module_::import_("collections.abc");
    m.attr("Container") = abc.attr("Container");
    m.attr("Iterable") = abc.attr("Iterable");
    m.attr("BaseModel") = nb::module_::import_("pydantic").attr("BaseModel");
    m.attr("DeclarativeBase") = nb::module_::import_("sqlalchemy.orm").attr("DeclarativeBase");
    m.attr("List") = nb::module_::import_("typing").attr("List");
    g_base_model = m.attr("BaseModel").ptr();
    g_declarative = m.attr("DeclarativeBase").ptr();
    g_containers = nb::make_tuple(nb::handle((PyObject *)&PyList_Type), nb::handle((PyObject *)&PyTuple_Type),
                                  nb::handle((PyObject *)&PyDict_Type), nb::handle((PyObject *)&PySet_Type))
                       .release()
                       .ptr();

    m.def("get_type_from_string", &get_type_from_string_shim, "type_str"_a.none(),
          "The class named by `type_str`: a builtin, a name of this module, or a dotted module path.");
    m.def("is_container_type_by_str", &is_container_type_by_str_shim, "type_str"_a.none(),
          "Whether `type_str` names list, tuple, dict, set or a subclass of one of them.");
    m.def("is_container_type", &is_container_type_shim, "type_obj"_a.none(),
          "Whether the class or the origin of the generic alias derives from list, tuple, dict or set.");
    m.def("get_base_type", &get_base_type_shim, "generic_type"_a.none(),
          "The origin of a generic alias (list for list[int]), else the value itself.");
    m.def("is_result_class", &is_result_class_shim, "data_type"_a.none(),
          "Whether rows convert into `data_type`: a pydantic model, a dataclass or a declarative model.");
}
