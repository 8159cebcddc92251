// src/bindings/top/callable.cpp: a small callable type for the wrappers the top module makes.
#include "top/callable.hpp"

#include <structmember.h>

namespace zorvane::top {
namespace {

struct CallableObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    CallImpl impl;
    long flags;
    PyObject *slots[kPayloadSlots];
};

PyTypeObject *g_type = nullptr;

PyObject *callable_vectorcall(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return reinterpret_cast<CallableObject *>(self)->impl(self, args, nargsf, kwnames);
}

int callable_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *c = reinterpret_cast<CallableObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->dict);
    for (PyObject *o : c->slots)
        Py_VISIT(o);
    return 0;
}

int callable_clear(PyObject *self) {
    auto *c = reinterpret_cast<CallableObject *>(self);
    Py_CLEAR(c->dict);
    for (PyObject *&o : c->slots)
        Py_CLEAR(o);
    return 0;
}

void callable_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<CallableObject *>(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    callable_clear(self);
    glue::type_free(tp, self);
    Py_DECREF(tp);
}

// Functions bind to the instance they are fetched from; so do these callables.
PyObject *callable_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return glue::method_new(self, obj);
}

PyMemberDef callable_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(CallableObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CallableObject, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CallableObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef callable_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot callable_slots[] = {
    {Py_tp_getset, callable_getset},
    {Py_tp_doc, (void *)"Callable wrapper made by zorvane (decorators, datasource scopes, mapper calls)."},
    {Py_tp_call, (void *)PyVectorcall_Call},
    {Py_tp_traverse, (void *)callable_traverse},
    {Py_tp_clear, (void *)callable_clear},
    {Py_tp_dealloc, (void *)callable_dealloc},
    {Py_tp_descr_get, (void *)callable_descr_get},
    {Py_tp_members, callable_members},
    {0, nullptr},
};

PyType_Spec callable_spec = {
    "zorvane.zorvane._Wrapper",
    sizeof(CallableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    callable_slots,
};

}  // namespace

nb::object make_callable(CallImpl impl, std::initializer_list<nb::handle> payload, long flags) {
    auto *c = PyObject_GC_New(CallableObject, g_type);
    if (!c)
        throw nb::python_error();
    c->vectorcall = callable_vectorcall;
    c->dict = nullptr;
    c->weakrefs = nullptr;
    c->impl = impl;
    c->flags = flags;
    int i = 0;
    for (nb::handle h : payload)
        c->slots[i++] = Py_XNewRef(h.ptr());
    for (; i < kPayloadSlots; ++i)
        c->slots[i] = nullptr;
    PyObject_GC_Track(c);
    return nb::steal(reinterpret_cast<PyObject *>(c));
}

PyObject *payload(PyObject *callable, int i) noexcept {
    PyObject *o = reinterpret_cast<CallableObject *>(callable)->slots[i];
    return o ? o : Py_None;
}

long flags(PyObject *callable) noexcept { return reinterpret_cast<CallableObject *>(callable)->flags; }

void set_payload(PyObject *callable, int i, nb::handle value) noexcept {
    PyObject *&slot = reinterpret_cast<CallableObject *>(callable)->slots[i];
    PyObject *old = slot;
    slot = Py_XNewRef(value.ptr());
    Py_XDECREF(old);
}

void set_flags(PyObject *callable, long flags) noexcept { reinterpret_cast<CallableObject *>(callable)->flags = flags; }

void set_builtin_error(const nb::builtin_exception &e) noexcept {
    PyObject *type = PyExc_RuntimeError;
    switch (e.type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
    }
    PyErr_SetString(type, e.what());
}

void register_callable_type(nb::module_ &m) {
    g_type = reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(m.ptr(), &callable_spec, nullptr));
    if (!g_type)
        throw nb::python_error();
    m.attr("_Wrapper") = nb::handle(reinterpret_cast<PyObject *>(g_type));
}

}  // namespace zorvane::top
