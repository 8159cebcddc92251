// src/bindings/top/intercept.cpp: the attribute fetch of mapper instances, which routes a public
// method to the mapper statement of the same id in the namespace named like the class.
#include "top/async_bridge.hpp"
#include "db/results.hpp"
#include "top/binding.hpp"
#include "top/callable.hpp"
#include "top/mapper.hpp"
#include "top/streams.hpp"
#include "glue/body.hpp"
#include "glue/call.hpp"

namespace zorvane::top {
namespace {

glue::Lazy inspect_signature{"inspect", "signature"};
glue::Lazy get_type_hints{"typing", "get_type_hints"};
glue::Lazy statement_not_found{"zorvane.exception", "StatementNotFoundError"};

PyObject *n_wrapper_cache, *n_datasource, *n_mapper_dict, *n_id_map, *n_execute_sql, *n_get,
    *n_annotations, *n_return, *n_name, *n_signature, *n_sig_cache, *n_xml_path,
    *kw_execute_sql;
PyObject *g_plan_cache = nullptr;  // (class, name) -> (signature, plan)

// Payload of a call wrapper.
enum Slot { kAttr, kInstance, kClassName, kName, kPlan, kReturnType };
constexpr long kReturnTypeKnown = 1;
constexpr long kNoneForNoRow = 2;  // annotated `X | None` with X a class other than a list: no row gives None
constexpr long kBodyKnown = 4;     // kEmptyBody has been decided
constexpr long kEmptyBody = 8;     // the method's body does nothing: without a statement there is nothing to run

// Whether the mapper file filed under `class_name` has a statement with id `name`.
bool has_statement(nb::handle mapper_dict, nb::handle class_name, nb::handle name) {
    nb::object mapper = lookup(mapper_dict, class_name);
    if (!mapper.is_valid())
        return false;
    nb::object ids = check(PyObject_GetAttr(mapper.ptr(), n_id_map));
    nb::object element;
    if (PyDict_Check(ids.ptr())) {
        element = nb::borrow(PyDict_GetItemWithError(ids.ptr(), name.ptr()));
        if (!element.is_valid() && PyErr_Occurred())
            throw nb::python_error();
    } else {
        element = check(glue::call_method1(ids.ptr(), n_get, name.ptr()));
    }
    return element.is_valid() && !element.is_none();
}

// The return annotation of `attr`, or None. A string (postponed annotations) is resolved
// with typing.get_type_hints so that rows can be converted by it.
nb::object return_annotation_of(nb::handle attr) {
    nb::object ann = optional_attr(attr, n_annotations);
    if (!ann.is_valid() || ann.is_none())
        return nb::none();
    nb::object rt = check(PyObject_CallMethod(ann.ptr(), "get", "O", n_return));
    if (PyUnicode_Check(rt.ptr())) {
        nb::object hints = get_type_hints(attr);
        rt = check(PyObject_CallMethod(hints.ptr(), "get", "O", n_return));
    }
    return rt;
}

// The registry entry of the current datasource, and whether its mapper files hold a statement
// for the class and method of call wrapper `self`.
std::pair<nb::object, bool> routed(PyObject *self) {
    nb::object registry = check(PyObject_GenericGetAttr(payload(self, kInstance), n_datasource));
    nb::object entry = check(PyObject_GetItem(registry.ptr(), current_db().ptr()));
    nb::object mapper_dict = check(PyObject_GetItem(entry.ptr(), n_mapper_dict));
    return {entry, has_statement(mapper_dict, payload(self, kClassName), payload(self, kName))};
}

// Whether the method of call wrapper `self` has an empty body, decided on its first call
// without a statement.
bool empty_body(PyObject *self) {
    if (!(flags(self) & kBodyKnown))
        set_flags(self, flags(self) | kBodyKnown | (glue::has_empty_body(payload(self, kAttr)) ? kEmptyBody : 0));
    return flags(self) & kEmptyBody;
}

// A method that only declares a statement found none: StatementNotFoundError naming the
// method, the datasource and the mapper file of the namespace (or that none declares it).
[[noreturn]] void raise_not_found(PyObject *self, nb::handle entry) {
    nb::handle class_name(payload(self, kClassName)), name(payload(self, kName));
    std::string ns = glue::text_of(class_name), id = glue::text_of(name);
    std::string where = "datasource '" + glue::text_of(current_db()) + "'";
    nb::object mapper = lookup(check(PyObject_GetItem(entry.ptr(), n_mapper_dict)), class_name);
    std::string why;
    if (mapper.is_valid()) {
        nb::object path = optional_attr(mapper, n_xml_path);
        why = "the mapper file of namespace '" + ns + "'" +
              (path.is_valid() && !path.is_none() ? " (" + glue::text_of(path) + ")" : std::string()) +
              " has no statement '" + id + "'";
    } else {
        why = "no mapper file loaded for it declares namespace '" + ns + "'";
    }
    glue::raise(statement_not_found.get().ptr(), ns + "." + id + " has no statement on " + where + ": " + why +
                                                     "; the method's body is empty, so it has nothing else to run");
}

// The call wrapper: runs the mapper statement when the current datasource has one for this
// class and method, else the method itself; a method with an empty body has nothing of its
// own to run and raises StatementNotFoundError.
PyObject *mapper_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        nb::handle attr(payload(self, kAttr)), class_name(payload(self, kClassName)), name(payload(self, kName));
        auto [entry, has] = routed(self);
        if (!has) {
            if (empty_body(self))
                raise_not_found(self, entry);
            return settle_user_result(call_through(attr, args, nargsf, kwnames));
        }

        Bound b = bind_call(payload(self, kPlan), args, PyVectorcall_NARGS(nargsf), kwnames);
        nb::object params = b.params, page = b.page;
        if (!(flags(self) & kReturnTypeKnown)) {
            nb::object declared = return_annotation_of(attr);
            nb::object rt = glue::without_none(declared);  // `X | None` converts by X
            long f = flags(self) | kReturnTypeKnown;
            if (!rt.is(declared) && PyType_Check(rt.ptr()) && !PyType_IsSubtype((PyTypeObject *)rt.ptr(), &PyList_Type))
                f |= kNoneForNoRow;
            set_payload(self, kReturnType, rt);
            set_flags(self, f);
        }
        nb::object session = entry_session(entry);
        // The method declares every parameter, so a placeholder that names none of them is a typo.
        PyObject *stack[] = {nullptr, session.ptr(), name.ptr(), class_name.ptr(), params.ptr(), page.ptr(),
                             payload(self, kReturnType), Py_True};
        nb::object result = check(PyObject_VectorcallMethod(n_execute_sql, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                            kw_execute_sql));
        if ((flags(self) & kNoneForNoRow) && page.is_none() && PyList_CheckExact(result.ptr()) &&
            glue::list_size(result.ptr()) == 0)
            return nb::none();
        return result;
    });
}

// The async face of a call wrapper (payload 0): the statement runs through spawn; without one
// the method's own coroutine is returned as it is, with no greenlet in between.
PyObject *mapper_call_async(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        PyObject *sync = payload(self, 0);
        auto [entry, has] = routed(sync);
        if (!has) {
            if (empty_body(sync))
                raise_not_found(sync, entry);
            return call_through(payload(sync, kAttr), args, nargsf, kwnames);
        }
        return spawn(sync, args, nargsf, kwnames);
    });
}

// The parameter plan of method `attr` with signature `sig`, cached with the signature.
nb::object plan_of(nb::handle key, nb::handle sig, nb::handle attr) {
    nb::object cached = lookup(nb::handle(g_plan_cache), key);
    if (cached.is_valid() && nb::handle(glue::tuple_item(cached.ptr(), 0)).is(sig))
        return nb::borrow(glue::tuple_item(cached.ptr(), 1));
    nb::object plan = param_plan(attr, sig);
    if (PyDict_SetItem(g_plan_cache, key.ptr(), nb::make_tuple(sig, plan).ptr()) < 0)
        throw nb::python_error();
    return plan;
}

// First fetch of public method `name` on `self`: the wrapper, stored in `cache`. A callable
// without a signature (some builtins) is returned as it is: it could not be bound.
nb::object new_wrapper(PyObject *self, nb::handle name, nb::handle attr, nb::handle cache) {
    nb::handle cls(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    nb::object class_name = check(PyObject_GetAttr(cls.ptr(), n_name));
    nb::object key = nb::make_tuple(cls, name);
    nb::object sig_cache = check(PyObject_GetAttr(base_mapper().ptr(), n_sig_cache));
    nb::object sig = lookup(sig_cache, key);
    if (!sig.is_valid()) {
        try {
            sig = inspect_signature(attr);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError))
                return nb::borrow(attr);
            throw;
        }
        if (PyObject_SetItem(sig_cache.ptr(), key.ptr(), sig.ptr()) < 0)
            throw nb::python_error();
    }
    nb::object wrapper = make_callable(&mapper_call, {attr, self, class_name, name, plan_of(key, sig, attr)});
    glue::update_wrapper(wrapper, attr);
    if (is_coroutine_function(attr))
        wrapper = is_stream_type(return_annotation_of(attr)) ? async_stream_wrapper(wrapper, attr)
                                                             : async_wrapper(wrapper, attr, &mapper_call_async);
    if (PyObject_SetAttr(wrapper.ptr(), n_signature, sig.ptr()) < 0 ||
        PyObject_SetItem(cache.ptr(), name.ptr(), wrapper.ptr()) < 0)
        throw nb::python_error();
    return wrapper;
}

// The instance's wrapper cache, created with the base attribute setter on first use.
PyObject *wrapper_cache(PyObject *self) {
    PyObject *cache = PyObject_GenericGetAttr(self, n_wrapper_cache);
    if (cache || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return cache;
    PyErr_Clear();
    cache = PyDict_New();
    if (cache && PyObject_GenericSetAttr(self, n_wrapper_cache, cache) < 0)
        Py_CLEAR(cache);
    return cache;
}

PyObject *intercept_getattro(PyObject *self, PyObject *name) {
    if (!PyUnicode_CheckExact(name)) {
        PyErr_Format(PyExc_TypeError, "Argument 'name' has incorrect type (expected str, got %.200s)",
                     glue::type_name(name).c_str());
        return nullptr;
    }
    PyObject *attr = PyObject_GenericGetAttr(self, name);
    if (!attr || (glue::str_length(name) > 0 && glue::str_char(name, 0) == '_') || !PyCallable_Check(attr))
        return attr;
    nb::object value = nb::steal(attr);
    PyObject *raw_cache = wrapper_cache(self);
    if (!raw_cache)
        return nullptr;
    nb::object cache = nb::steal(raw_cache);
    if (PyDict_CheckExact(raw_cache)) {
        if (PyObject *hit = PyDict_GetItemWithError(raw_cache, name))
            return Py_NewRef(hit);
        if (PyErr_Occurred())
            return nullptr;
    }
    return guarded([&]() -> nb::object {
        nb::object hit = lookup(cache, name);
        return hit.is_valid() ? hit : new_wrapper(self, name, value, cache);
    });
}

void base_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    glue::type_free(tp, self);
    Py_DECREF(tp);
}

PyType_Slot base_slots[] = {
    {Py_tp_getattro, (void *)intercept_getattro},
    {Py_tp_dealloc, (void *)base_dealloc},
    {Py_tp_doc, (void *)"C-level base of BaseMapper: routes public methods to mapper statements."},
    {0, nullptr},
};

PyType_Spec base_spec = {
    "zorvane.zorvane._MapperBase", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, base_slots,
};

}  // namespace

nb::object make_intercepting_base(nb::module_ &m) {
    PyObject *tp = PyType_FromModuleAndSpec(m.ptr(), &base_spec, nullptr);
    if (!tp)
        throw nb::python_error();
    nb::object base = nb::steal(tp);
    m.attr("_MapperBase") = base;
    return base;
}

void init_interception() {
    using glue::intern;
    n_wrapper_cache = intern("_wrapper_cache");
    n_datasource = intern("datasource");
    n_mapper_dict = intern("mapper_dict");
    n_id_map = intern("id_2_element_map");
    n_execute_sql = intern("execute_sql");
    n_get = intern("get");
    n_annotations = intern("__annotations__");
    n_return = intern("return");
    n_name = intern("__name__");
    n_signature = intern("__signature__");
    n_sig_cache = intern("_sig_cache");
    n_xml_path = intern("xml_path");
    kw_execute_sql = nb::make_tuple("sql_id", "namespace", "ori_params", "page", "return_type", "strict").release().ptr();
    glue::runtime().keep(g_plan_cache, PyDict_New(), glue::Runtime::At::Empty);
}

}  // namespace zorvane::top
