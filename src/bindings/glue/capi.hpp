// src/bindings/glue/capi.hpp: C API calls that the limited API (abi3 builds) spells differently.
#pragma once
// Each helper compiles to the full API's macro or direct slot access when Py_LIMITED_API is
// not defined (the 3.11 wheel and every hot path there stays as fast as before), and to the
// stable-ABI function otherwise. Items and sizes are borrowed and unchecked, as the macros are:
// callers pass exact tuples, lists and dicts and indices in range. The #if pairs repeat one
// shape on purpose: each is one call in its two spellings, kept apart so that a reader sees
// which API a build uses.
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

namespace zorvane::glue {

inline Py_ssize_t tuple_size(PyObject *t) noexcept { return NB_TUPLE_GET_SIZE(t); }
inline PyObject *tuple_item(PyObject *t, Py_ssize_t i) noexcept { return NB_TUPLE_GET_ITEM(t, i); }
// Steals `v`; only for filling a new tuple.
inline void tuple_set(PyObject *t, Py_ssize_t i, PyObject *v) noexcept { NB_TUPLE_SET_ITEM(t, i, v); }
inline Py_ssize_t list_size(PyObject *l) noexcept { return NB_LIST_GET_SIZE(l); }
inline PyObject *list_item(PyObject *l, Py_ssize_t i) noexcept { return NB_LIST_GET_ITEM(l, i); }
// Steals `v`; only for filling a new list.
inline void list_set(PyObject *l, Py_ssize_t i, PyObject *v) noexcept { NB_LIST_SET_ITEM(l, i, v); }
inline Py_ssize_t dict_size(PyObject *d) noexcept { return NB_DICT_GET_SIZE(d); }

// A new dict with room for `n` entries where the full API can say so.
inline PyObject *dict_presized(Py_ssize_t n) noexcept {
#if defined(Py_LIMITED_API)
    (void)n;
    return PyDict_New();
#else
    return _PyDict_NewPresized(n);
#endif
}

inline Py_ssize_t str_length(PyObject *s) noexcept {
#if defined(Py_LIMITED_API)
    return PyUnicode_GetLength(s);
#else
    return PyUnicode_GET_LENGTH(s);
#endif
}

inline Py_UCS4 str_char(PyObject *s, Py_ssize_t i) noexcept {
#if defined(Py_LIMITED_API)
    return PyUnicode_ReadChar(s, i);
#else
    return PyUnicode_READ_CHAR(s, i);
#endif
}

inline const char *bytes_data(PyObject *b) noexcept {
#if defined(Py_LIMITED_API)
    return PyBytes_AsString(b);
#else
    return PyBytes_AS_STRING(b);
#endif
}

inline Py_ssize_t bytes_size(PyObject *b) noexcept {
#if defined(Py_LIMITED_API)
    return PyBytes_Size(b);
#else
    return PyBytes_GET_SIZE(b);
#endif
}

// Whether `c` is a letter or digit by Python's str.isalnum().
inline bool is_alnum(Py_UCS4 c) {
#if defined(Py_LIMITED_API)
    if (c < 128)
        return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    nanobind::object ch = nanobind::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
    if (!ch.is_valid())
        throw nanobind::python_error();
    return nanobind::cast<bool>(ch.attr("isalnum")());
#else
    return Py_UNICODE_ISALNUM(c);
#endif
}

// tp_name of `tp`. The limited API rebuilds it: a static (C) type's tp_name carries its module
// unless that is builtins ("collections.OrderedDict", "int"); a class statement's is its bare name.
inline std::string type_name_of(PyTypeObject *tp) {
#if defined(Py_LIMITED_API)
    auto text = [](PyObject *o) -> std::string {
        nanobind::object owned = nanobind::steal(o);
        const char *t = owned.is_valid() ? PyUnicode_AsUTF8AndSize(owned.ptr(), nullptr) : nullptr;
        if (!t)
            throw nanobind::python_error();
        return t;
    };
    std::string name = text(PyType_GetName(tp));
    if (PyType_GetFlags(tp) & Py_TPFLAGS_HEAPTYPE)
        return name;
    std::string module = text(PyObject_GetAttrString((PyObject *)tp, "__module__"));
    return module == "builtins" ? name : module + "." + name;
#else
    return tp->tp_name;
#endif
}

inline std::string type_name(PyObject *obj) { return type_name_of(Py_TYPE(obj)); }

inline ternaryfunc type_call(PyTypeObject *tp) noexcept {
#if defined(Py_LIMITED_API)
    return reinterpret_cast<ternaryfunc>(PyType_GetSlot(tp, Py_tp_call));
#else
    return tp->tp_call;
#endif
}

inline newfunc type_new(PyTypeObject *tp) noexcept {
#if defined(Py_LIMITED_API)
    return reinterpret_cast<newfunc>(PyType_GetSlot(tp, Py_tp_new));
#else
    return tp->tp_new;
#endif
}

inline descrgetfunc descr_get(PyTypeObject *tp) noexcept {
#if defined(Py_LIMITED_API)
    return reinterpret_cast<descrgetfunc>(PyType_GetSlot(tp, Py_tp_descr_get));
#else
    return tp->tp_descr_get;
#endif
}

// The items of a tuple as an array, for calls that take (PyObject *const *, n); borrowed
// from the tuple, which must outlive this object.
class TupleItems {
public:
    explicit TupleItems(PyObject *t) {
#if defined(Py_LIMITED_API)
        Py_ssize_t n = PyTuple_Size(t);
        copy_.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            copy_.push_back(PyTuple_GetItem(t, i));
        data_ = copy_.data();
        size_ = n;
#else
        data_ = reinterpret_cast<PyTupleObject *>(t)->ob_item;
        size_ = PyTuple_GET_SIZE(t);
#endif
    }
    PyObject *const *data() const noexcept { return data_; }
    Py_ssize_t size() const noexcept { return size_; }

private:
#if defined(Py_LIMITED_API)
    std::vector<PyObject *> copy_;
#endif
    PyObject *const *data_;
    Py_ssize_t size_;
};

inline void type_free(PyTypeObject *tp, void *self) noexcept {
#if defined(Py_LIMITED_API)
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
#else
    tp->tp_free(self);
#endif
}

// Whether the type of `obj` is exactly a type of the types module (FunctionType, CoroutineType ...), looked up once.
inline bool is_types_instance(PyObject *obj, const char *name, PyObject *&cache) {
    if (!cache)
        cache = nanobind::object(nanobind::module_::import_("types").attr(name)).release().ptr();
    return (PyObject *)Py_TYPE(obj) == cache;
}

inline bool is_function(PyObject *obj) {
#if defined(Py_LIMITED_API)
    static PyObject *function_type = nullptr;
    return is_types_instance(obj, "FunctionType", function_type);
#else
    return PyFunction_Check(obj);
#endif
}

inline bool is_coroutine(PyObject *obj) {
#if defined(Py_LIMITED_API)
    static PyObject *coroutine_type = nullptr;
    return is_types_instance(obj, "CoroutineType", coroutine_type);
#else
    return PyCoro_CheckExact(obj);
#endif
}

// A bound method of `func` on `self` (new reference, nullptr with an error set).
inline PyObject *method_new(PyObject *func, PyObject *self) {
#if defined(Py_LIMITED_API)
    static PyObject *method_type = nullptr;
    if (!method_type)
        method_type = nanobind::object(nanobind::module_::import_("types").attr("MethodType")).release().ptr();
    PyObject *args[] = {func, self};
    return PyObject_Vectorcall(method_type, args, 2, nullptr);
#else
    return PyMethod_New(func, self);
#endif
}

// Context variables: the C functions are not part of the limited API, whose builds call the
// ContextVar methods instead (one vectorcall each). Same contracts as PyContextVar_New/Get/Set/Reset.
inline PyObject *context_var_new(const char *name, PyObject *def) {
#if defined(Py_LIMITED_API)
    static PyObject *var_type = nullptr;
    if (!var_type)
        var_type = nanobind::object(nanobind::module_::import_("contextvars").attr("ContextVar")).release().ptr();
    nanobind::object n = nanobind::steal(PyUnicode_FromString(name));
    if (!n.is_valid())
        return nullptr;
    PyObject *args[] = {n.ptr(), def};
    if (!def)
        return PyObject_Vectorcall(var_type, args, 1, nullptr);
    nanobind::object kw = nanobind::make_tuple("default");
    return PyObject_Vectorcall(var_type, args, 1, kw.ptr());
#else
    return PyContextVar_New(name, def);
#endif
}

// Sets *value to a new reference, or to nullptr when the variable has no value and no
// default; `def` must be nullptr (the variable's own default applies).
inline int context_var_get(PyObject *var, PyObject *def, PyObject **value) {
#if defined(Py_LIMITED_API)
    (void)def;
    static PyObject *name = PyUnicode_InternFromString("get");
    PyObject *r = PyObject_VectorcallMethod(name, &var, 1, nullptr);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_LookupError))
            return -1;
        PyErr_Clear();
    }
    *value = r;
    return 0;
#else
    return PyContextVar_Get(var, def, value);
#endif
}

// The token (new reference), or nullptr with an error set.
inline PyObject *context_var_set(PyObject *var, PyObject *value) {
#if defined(Py_LIMITED_API)
    static PyObject *name = PyUnicode_InternFromString("set");
    PyObject *args[] = {var, value};
    return PyObject_VectorcallMethod(name, args, 2, nullptr);
#else
    return PyContextVar_Set(var, value);
#endif
}

inline int context_var_reset(PyObject *var, PyObject *token) {
#if defined(Py_LIMITED_API)
    static PyObject *name = PyUnicode_InternFromString("reset");
    PyObject *args[] = {var, token};
    PyObject *r = PyObject_VectorcallMethod(name, args, 2, nullptr);
    Py_XDECREF(r);
    return r ? 0 : -1;
#else
    return PyContextVar_Reset(var, token);
#endif
}


// obj.name() and obj.name(arg) with `name` a str; new reference or nullptr with an error set.
inline PyObject *call_method0(PyObject *obj, PyObject *name) noexcept {
#if defined(Py_LIMITED_API)
    return PyObject_CallMethodObjArgs(obj, name, nullptr);
#else
    return PyObject_CallMethodNoArgs(obj, name);
#endif
}

inline PyObject *call_method1(PyObject *obj, PyObject *name, PyObject *arg) noexcept {
#if defined(Py_LIMITED_API)
    return PyObject_CallMethodObjArgs(obj, name, arg, nullptr);
#else
    return PyObject_CallMethodOneArg(obj, name, arg);
#endif
}

// int(s, base) for a str `s`; new reference or nullptr with an error set.
inline PyObject *long_from_str(PyObject *s, int base) noexcept {
#if defined(Py_LIMITED_API)
    return PyObject_CallFunction((PyObject *)&PyLong_Type, "Oi", s, base);
#else
    return PyLong_FromUnicodeObject(s, base);
#endif
}

// UTF-8 of a str, owned by the str; nullptr with an error set.
inline const char *str_utf8(PyObject *s) noexcept { return PyUnicode_AsUTF8AndSize(s, nullptr); }

// Whether int() applies to objects of the type of `obj` (it defines __int__ or __index__).
inline bool has_int_slot(PyObject *obj) noexcept {
#if defined(Py_LIMITED_API)
    return PyType_GetSlot(Py_TYPE(obj), Py_nb_int) || PyType_GetSlot(Py_TYPE(obj), Py_nb_index);
#else
    PyNumberMethods *nm = Py_TYPE(obj)->tp_as_number;
    return nm && (nm->nb_int || nm->nb_index);
#endif
}

// The attribute `name` as found in the dicts along the MRO of `tp`, without descriptor
// binding (what _PyType_Lookup returns); an invalid object when no class defines it.
inline nanobind::object type_lookup(PyTypeObject *tp, PyObject *name) {
#if defined(Py_LIMITED_API)
    nanobind::object mro = nanobind::borrow((PyObject *)tp).attr("__mro__");
    for (nanobind::handle cls : mro) {
        nanobind::object d = cls.attr("__dict__");
        PyObject *v = PyObject_GetItem(d.ptr(), name);
        if (v)
            return nanobind::steal(v);
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nanobind::python_error();
        PyErr_Clear();
    }
    return {};
#else
    return nanobind::borrow(_PyType_Lookup(tp, name));
#endif
}

// The classmethod and staticmethod types.
inline PyObject *classmethod_type() noexcept {
#if defined(Py_LIMITED_API)
    static PyObject *t = nanobind::object(nanobind::module_::import_("builtins").attr("classmethod")).release().ptr();
    return t;
#else
    return (PyObject *)&PyClassMethod_Type;
#endif
}

inline PyObject *staticmethod_type() noexcept {
#if defined(Py_LIMITED_API)
    static PyObject *t = nanobind::object(nanobind::module_::import_("builtins").attr("staticmethod")).release().ptr();
    return t;
#else
    return (PyObject *)&PyStaticMethod_Type;
#endif
}

}  // namespace zorvane::glue
