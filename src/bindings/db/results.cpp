// src/bindings/db/results.cpp: results_handle, the row conversion of mapper selects.
#include "db/results.hpp"

#include "glue/call.hpp"

#include <vector>

namespace zorvane::glue {
namespace {

Lazy get_base_type{"zorvane.utils.pennick", "get_base_type"};
Lazy is_container_type{"zorvane.utils.pennick", "is_container_type"};
Lazy is_result_class{"zorvane.utils.pennick", "is_result_class"};
Lazy get_args{"typing", "get_args"};
Lazy typing_list{"typing", "List"};
Lazy typing_dict{"typing", "Dict"};
Lazy abc_iterator{"collections.abc", "Iterator"};
Lazy abc_async_iterator{"collections.abc", "AsyncIterator"};
Lazy decimal_t{"decimal", "Decimal"};
Lazy date_t{"datetime", "date"};
Lazy datetime_t{"datetime", "datetime"};
Lazy time_t{"datetime", "time"};
Lazy uuid_t{"uuid", "UUID"};
Lazy enum_t{"enum", "Enum"};
Lazy type_adapter{"pydantic", "TypeAdapter"};
Lazy typing_tuple{"typing", "Tuple"};
Lazy typing_union{"typing", "Union"};
Lazy union_type{"types", "UnionType"};
PyObject *g_adapters = nullptr;  // scalar type -> pydantic TypeAdapter(type).validate_python

PyObject *name_init = nullptr, *name_keys = nullptr, *name_values = nullptr, *empty_tuple = nullptr,
         *name_origin = nullptr, *name_args = nullptr;

nb::handle builtin(PyTypeObject &tp) { return nb::handle((PyObject *)&tp); }

bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}


bool test(Lazy &fn, nb::handle arg) { return truthy(fn(arg)); }


[[noreturn]] void return_type_error(nb::handle base, nb::handle result_type) {
    raise(PyExc_TypeError, "please check return_type: " + text_of(base) + ", resultType: " + text_of(result_type));
}

// Calls `cls(**row)` for row mappings. For a plain class (the metaclass keeps type's own
// __call__, __new__ is object.__new__ and __init__ is a Python function) the instance is
// made by object.__new__ and __init__ is called through vectorcall with the row's keys as
// keyword names: that is what type.__call__ does, minus repacking the keywords into a dict
// and back for every row. The key tuple is reused while rows share their key objects, as
// the rows of one result do. Every other class and every row that is not an exact dict
// with exact-str keys takes the ordinary call with a copy of the row.
class RowBuilder {
public:
    explicit RowBuilder(nb::handle cls) : cls_(cls) {
        if (!PyType_Check(cls.ptr()))
            return;
        auto *tp = (PyTypeObject *)cls.ptr();
        if (glue::type_call(Py_TYPE(cls.ptr())) != glue::type_call(&PyType_Type) ||
            glue::type_new(tp) != glue::type_new(&PyBaseObject_Type))
            return;
        nb::object init = glue::type_lookup(tp, name_init);
        if (init.is_valid() && glue::is_function(init.ptr()))
            init_ = std::move(init);
    }

    nb::object operator()(nb::handle row) {
        if (init_.is_valid() && PyDict_CheckExact(row.ptr()) && keywords_of(row.ptr()))
            return construct();
        return call(row);
    }

private:
    nb::handle cls_;
    nb::object init_;
    nb::object kwnames_;
    std::vector<PyObject *> stack_;  // [scratch, self, values...]

    // Fills stack_ with the row's values and makes kwnames_ name them; false when a key
    // is not an exact str (the ordinary call then reports it).
    bool keywords_of(PyObject *row) {
        const Py_ssize_t n = glue::dict_size(row);
        stack_.resize(static_cast<std::size_t>(n) + 2);
        PyObject *kw = kwnames_.ptr();
        bool same = kw && glue::tuple_size(kw) == n;
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(row, &pos, &k, &v)) {
            if (same && glue::tuple_item(kw, i) != k)
                same = false;
            stack_[static_cast<std::size_t>(i) + 2] = v;
            ++i;
        }
        if (same)
            return true;
        nb::object names = nb::steal(PyTuple_New(n));
        if (!names.is_valid())
            throw nb::python_error();
        pos = 0;
        i = 0;
        while (PyDict_Next(row, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k))
                return false;
            glue::tuple_set(names.ptr(), i++, Py_NewRef(k));
        }
        kwnames_ = std::move(names);
        return true;
    }

    nb::object construct() {
        const std::size_t n = stack_.size() - 2;
        for (std::size_t i = 0; i < n; ++i)  // the row stays ours to read while __init__ runs
            Py_INCREF(stack_[i + 2]);
        struct Release {
            std::vector<PyObject *> &s;
            std::size_t n;
            ~Release() {
                for (std::size_t i = 0; i < n; ++i)
                    Py_DECREF(s[i + 2]);
            }
        } release{stack_, n};
        auto *tp = (PyTypeObject *)cls_.ptr();
        nb::object self = nb::steal(glue::type_new(tp)(tp, empty_tuple, nullptr));
        if (!self.is_valid())
            throw nb::python_error();
        stack_[1] = self.ptr();
        nb::object r = nb::steal(PyObject_Vectorcall(init_.ptr(), stack_.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                     kwnames_.ptr()));
        if (!r.is_valid())
            throw nb::python_error();
        if (!r.is_none()) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", glue::type_name(r.ptr()).c_str());
            throw nb::python_error();
        }
        return self;
    }

    nb::object call(nb::handle row) {
        nb::object kwargs;
        if (PyDict_Check(row.ptr())) {
            kwargs = nb::steal(PyDict_Copy(row.ptr()));
        } else {
            if (!nb::hasattr(row, nb::handle(name_keys))) {
                PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", glue::type_name(row.ptr()).c_str());
                throw nb::python_error();
            }
            kwargs = nb::steal(PyDict_New());
            if (kwargs.is_valid() && PyDict_Merge(kwargs.ptr(), row.ptr(), 1) < 0)
                throw nb::python_error();
        }
        if (!kwargs.is_valid())
            throw nb::python_error();
        PyObject *r = PyObject_Call(cls_.ptr(), empty_tuple, kwargs.ptr());
        if (!r)
            throw nb::python_error();
        return nb::steal(r);
    }
};

nb::object first_row(nb::handle results) {
    PyObject *r = PySequence_GetItem(results.ptr(), 0);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

bool is_scalar_type(nb::handle t) {
    if (!PyType_Check(t.ptr()))
        return false;
    PyObject *p = t.ptr();
    if (p == (PyObject *)&PyBool_Type || p == (PyObject *)&PyLong_Type || p == (PyObject *)&PyFloat_Type ||
        p == (PyObject *)&PyUnicode_Type)
        return true;
    for (Lazy *known : {&decimal_t, &date_t, &datetime_t, &time_t, &uuid_t})
        if (p == known->get().ptr())
            return true;
    return PyType_IsSubtype((PyTypeObject *)p, (PyTypeObject *)enum_t.get().ptr());
}

// The column names of `row`, comma-separated.
std::string column_names(nb::handle row) {
    std::string out;
    for (nb::handle k : row.attr("keys")())
        out += (out.empty() ? "" : ", ") + text_of(k);
    return out;
}

nb::object to_scalar(nb::handle target, nb::handle value) {
    if (value.is_none() || Py_TYPE(value.ptr()) == (PyTypeObject *)target.ptr())
        return nb::borrow(value);
    if (!g_adapters && !glue::runtime().keep(g_adapters, PyDict_New(), glue::Runtime::At::Empty))
        throw nb::python_error();
    PyObject *validate = PyDict_GetItemWithError(g_adapters, target.ptr());
    if (!validate) {
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::object made = type_adapter(target).attr("validate_python");
        if (PyDict_SetItem(g_adapters, target.ptr(), made.ptr()) < 0)
            throw nb::python_error();
        validate = made.ptr();
    }
    PyObject *r = PyObject_CallFunctionObjArgs(validate, value.ptr(), nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// A new list of f(row) for each row of the sequence `rows`, taken as a snapshot first
// (constructors may touch `rows`).
template <class F>
nb::object map_rows(nb::handle rows, F &&f) {
    nb::object seq = nb::steal(PySequence_Tuple(rows.ptr()));
    if (!seq.is_valid())
        throw nb::python_error();
    const Py_ssize_t count = glue::tuple_size(seq.ptr());
    nb::object out = nb::steal(PyList_New(count));
    if (!out.is_valid())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < count; ++i)
        glue::list_set(out.ptr(), i, f(nb::handle(glue::tuple_item(seq.ptr(), i))).release().ptr());
    return out;
}

// Each row as `element`: its single column as a scalar, or its values as a tuple.
nb::object shape_rows(nb::handle rows, nb::handle element) {
    nb::object scalar = scalar_target(element);
    return map_rows(rows, [&](nb::handle row) {
        return scalar.is_valid() ? scalar_of_row(scalar, row, "a statement without a resultType") : tuple_of_row(row);
    });
}

}  // namespace

nb::object scalar_target(nb::handle annotation) {
    if (is_scalar_type(annotation))
        return nb::borrow(annotation);
    if (PyType_Check(annotation.ptr()) || annotation.is_none())
        return nb::object();
    nb::object args = nb::steal(PyObject_GetAttr(annotation.ptr(), name_args));
    if (!args.is_valid()) {
        PyErr_Clear();
        return nb::object();
    }
    // X | None (Optional[X]): the union's two arguments, one of them NoneType.
    if (!PyTuple_Check(args.ptr()) || glue::tuple_size(args.ptr()) != 2)
        return nb::object();
    PyObject *a = glue::tuple_item(args.ptr(), 0), *b = glue::tuple_item(args.ptr(), 1);
    PyObject *none_t = (PyObject *)Py_TYPE(Py_None);
    nb::handle other = a == none_t ? nb::handle(b) : b == none_t ? nb::handle(a) : nb::handle();
    nb::object origin = nb::steal(PyObject_GetAttr(annotation.ptr(), name_origin));
    PyErr_Clear();
    bool is_union = !origin.is_valid() || equals(origin, typing_union.get());
    return other.is_valid() && is_union && is_scalar_type(other) ? nb::borrow(other) : nb::object();
}

bool is_tuple_target(nb::handle annotation) {
    if (annotation.ptr() == (PyObject *)&PyTuple_Type || annotation.is(typing_tuple.get()))
        return true;
    if (PyType_Check(annotation.ptr()) || annotation.is_none())
        return false;
    nb::object origin = nb::steal(PyObject_GetAttr(annotation.ptr(), name_origin));
    PyErr_Clear();
    return origin.is_valid() && origin.ptr() == (PyObject *)&PyTuple_Type;
}

nb::object scalar_of_row(nb::handle target, nb::handle row, const std::string &what) {
    const Py_ssize_t n = PyObject_Length(row.ptr());
    if (n < 0)
        throw nb::python_error();
    if (n != 1) {
        nb::object error = nb::handle(PyExc_TypeError)("please check result type");
        error.attr("add_note")(nb::str((what + " returns " + text_of(target) + " but its statement gives " +
                                        std::to_string(n) + " columns: " + column_names(row)).c_str()));
        PyErr_SetObject(PyExc_TypeError, error.ptr());
        throw nb::python_error();
    }
    return to_scalar(target, first_value(row));
}

nb::object tuple_of_row(nb::handle row) {
    nb::object values = nb::steal(PyDict_CheckExact(row.ptr()) ? PyDict_Values(row.ptr())
                                                                 : glue::call_method0(row.ptr(), name_values));
    if (!values.is_valid())
        throw nb::python_error();
    PyObject *t = PySequence_Tuple(values.ptr());
    if (!t)
        throw nb::python_error();
    return nb::steal(t);
}

nb::object first_value(nb::handle row) {
    if (PyDict_CheckExact(row.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        if (PyDict_Next(row.ptr(), &pos, &k, &v))
            return nb::borrow(v);
    } else {
        nb::object values = nb::steal(glue::call_method0(row.ptr(), name_values));
        if (!values.is_valid())
            throw nb::python_error();
        nb::object it = nb::steal(PyObject_GetIter(values.ptr()));
        if (!it.is_valid())
            throw nb::python_error();
        PyObject *v = PyIter_Next(it.ptr());
        if (v)
            return nb::steal(v);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    raise(PyExc_IndexError, "row has no columns");
}

nb::object without_none(nb::object annotation) {
    nb::object origin = nb::steal(PyObject_GetAttr(annotation.ptr(), name_origin));
    PyErr_Clear();
    const bool is_union = origin.is_valid() ? origin.is(typing_union.get())
                                            : Py_TYPE(annotation.ptr()) == (PyTypeObject *)union_type.get().ptr();
    if (!is_union)
        return annotation;
    nb::object args = get_args(annotation);
    if (!PyTuple_Check(args.ptr()) || glue::tuple_size(args.ptr()) != 2)
        return annotation;
    PyObject *a = glue::tuple_item(args.ptr(), 0), *b = glue::tuple_item(args.ptr(), 1);
    PyObject *none_t = (PyObject *)Py_TYPE(Py_None);
    if (b == none_t)
        return nb::borrow(a);
    if (a == none_t)
        return nb::borrow(b);
    return annotation;
}

namespace {

bool is_dict_type(nb::handle t) { return equals(t, (PyObject *)&PyDict_Type) || equals(t, typing_dict.get()); }

// dict, Dict, or a parameterised form of them (dict[str, Any]): rows stay dictionaries.
bool names_dict(nb::handle t) { return is_dict_type(t) || is_dict_type(get_base_type(t)); }

// The first type argument of annotation `rt` (list[X], Iterator[X]), or None when it has
// none or names a dict: rows then stay dictionaries.
nb::object element_of(nb::handle rt) {
    nb::object args = get_args(rt);
    if (PyObject_Length(args.ptr()) <= 0) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::none();
    }
    nb::object first = nb::steal(PySequence_GetItem(args.ptr(), 0));
    if (!first.is_valid())
        throw nb::python_error();
    return names_dict(first) ? nb::none() : first;
}

bool plan_result_class(ReturnPlan &plan) {
    if (plan.result_class < 0)
        plan.result_class = truthy(is_result_class(plan.target)) ? 1 : 0;
    return plan.result_class == 1;
}

// Whether rows under the plan's target become scalars or tuples; found on first use.
bool plan_shaped(ReturnPlan &plan) {
    if (!plan.shape_known) {
        plan.scalar = scalar_target(plan.target);
        plan.as_tuple = is_tuple_target(plan.target);
        plan.shape_known = true;
    }
    return plan.scalar.is_valid() || plan.as_tuple;
}

nb::object shaped_row(ReturnPlan &plan, nb::handle row) {
    return plan.scalar.is_valid() ? scalar_of_row(plan.scalar, row, plan.what) : tuple_of_row(row);
}

Py_ssize_t columns(nb::handle row) {
    Py_ssize_t n = PyObject_Length(row.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

// A row as `cls` when it is no result class: the value of a one-column row, else cls(**row)
// (the constructor reports a mismatch).
nb::object value_or_call(nb::handle cls, nb::handle row) {
    if (columns(row) == 1)
        return first_value(row);
    nb::object kwargs = nb::steal(PyDict_Copy(row.ptr()));
    if (!kwargs.is_valid())
        throw nb::python_error();
    return check(PyObject_Call(cls.ptr(), empty_tuple, kwargs.ptr()));
}

void destroy_plan(PyObject *capsule) {
    delete static_cast<ReturnPlan *>(PyCapsule_GetPointer(capsule, "zorvane.ReturnPlan"));
}

}  // namespace

ReturnPlan return_plan(ReturnPlan::Mode mode, nb::handle annotation, std::string what) {
    ReturnPlan plan;
    plan.mode = mode;
    plan.what = std::move(what);
    plan.message = nb::none();
    plan.target = nb::none();
    nb::object rt = nb::borrow(annotation);
    if (mode == ReturnPlan::Mode::One) {
        rt = without_none(rt);
        nb::object target = get_base_type(rt);
        if (equals(target, (PyObject *)&PyList_Type) || equals(target, typing_list.get())) {
            nb::object args = get_args(rt);
            if (PyObject_Length(args.ptr()) > 0)
                target = nb::steal(PySequence_GetItem(args.ptr(), 0));
            if (!target.is_valid() || PyErr_Occurred())
                throw nb::python_error();
        }
        if (truthy(target) && !names_dict(target))
            plan.target = target;
    } else if (mode == ReturnPlan::Mode::List) {
        nb::object base = get_base_type(rt);
        if (!base.is_none() && (!truthy(is_container_type(base)) || is_dict_type(base)))
            plan.message = nb::str(("please check return type: " + text_of(base) + ", should set list ...").c_str());
        if (truthy(base))
            plan.target = element_of(rt);
    } else if (stream_element(rt).is_valid()) {
        plan.target = element_of(rt);
    }
    return plan;
}

nb::object convert_one(ReturnPlan &plan, nb::handle row) {
    if (row.is_none() || plan.target.is_none())
        return nb::borrow(row);
    if (plan_shaped(plan))
        return shaped_row(plan, row);
    if (plan_result_class(plan))
        return RowBuilder(plan.target)(row);
    if (columns(row) == 1)
        return first_value(row);
    raise(PyExc_TypeError, "please check result type");
}

nb::object convert_list(ReturnPlan &plan, nb::handle rows, bool *converted) {
    if (!plan.message.is_none())
        raise(PyExc_TypeError, nb::str(plan.message).c_str());
    *converted = false;
    if (plan.target.is_none() || !truthy(rows))
        return nb::borrow(rows);
    nb::object snapshot = nb::steal(PySequence_Tuple(rows.ptr()));
    if (!snapshot.is_valid())
        throw nb::python_error();
    *converted = true;
    if (plan_shaped(plan))
        return map_rows(snapshot, [&](nb::handle row) { return shaped_row(plan, row); });
    const Py_ssize_t n = tuple_size(snapshot.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        check_exact(tuple_item(snapshot.ptr(), i), &PyDict_Type, "result");
    if (plan_result_class(plan))
        return build_objects(plan.target, snapshot);
    return map_rows(snapshot, [&](nb::handle row) { return value_or_call(plan.target, row); });
}

nb::object row_as(nb::handle cls, nb::handle row) {
    check_exact(row, &PyDict_Type, "result");
    if (truthy(is_result_class(cls)))
        return RowBuilder(cls)(row);
    return value_or_call(cls, row);
}

nb::object plan_object(ReturnPlan plan) {
    auto *kept = new ReturnPlan(std::move(plan));
    PyObject *capsule = PyCapsule_New(kept, "zorvane.ReturnPlan", &destroy_plan);
    if (!capsule) {
        delete kept;
        throw nb::python_error();
    }
    return nb::steal(capsule);
}

ReturnPlan &plan_in(nb::handle object) {
    auto *plan = static_cast<ReturnPlan *>(PyCapsule_GetPointer(object.ptr(), "zorvane.ReturnPlan"));
    if (!plan)
        throw nb::python_error();
    return *plan;
}

void init_results() {
    name_init = glue::intern("__init__");
    name_keys = glue::intern("keys");
    name_values = glue::intern("values");
    empty_tuple = PyTuple_New(0);
    name_origin = glue::intern("__origin__");
    name_args = glue::intern("__args__");
}

nb::object stream_element(nb::handle rt) {
    if (rt.is_none() || PyType_Check(rt.ptr()))  // the common cases, answered without a lookup
        return nb::object();
    nb::object origin = nb::steal(PyObject_GetAttr(rt.ptr(), name_origin));
    if (!origin.is_valid()) {
        PyErr_Clear();
        return nb::object();
    }
    if (!origin.is(abc_iterator.get()) && !origin.is(abc_async_iterator.get()))
        return nb::object();
    nb::object args = nb::steal(PyObject_GetAttr(rt.ptr(), name_args));
    PyErr_Clear();
    if (args.is_valid() && PyTuple_Check(args.ptr()) && glue::tuple_size(args.ptr()) > 0)
        return nb::borrow(glue::tuple_item(args.ptr(), 0));
    return nb::none();
}

nb::object results_handle(nb::handle results, nb::handle result_type, nb::handle f_return_type) {
    const Py_ssize_t n = PyObject_Length(results.ptr());
    if (n < 0)
        throw nb::python_error();
    if (n == 0)
        return nb::borrow(results);
    nb::handle list_t = builtin(PyList_Type), dict_t = builtin(PyDict_Type);
    nb::handle return_type = f_return_type.is_none() ? list_t : f_return_type;
    nb::object base = get_base_type(return_type);
    const bool many = equals(base, list_t) || equals(base, typing_list.get());

    if (equals(base, dict_t) || equals(base, typing_dict.get())) {
        const bool container = test(is_container_type, result_type);
        if ((!container && !test(is_result_class, result_type)) ||
            (container && compare(result_type, dict_t, Py_NE) && compare(result_type, typing_dict.get(), Py_NE)))
            return_type_error(base, result_type);
    } else if (many) {
        if (truthy(result_type)) {
            nb::object args = get_args(return_type);
            if (PyObject_Length(args.ptr()) > 0) {
                nb::object first = nb::steal(PySequence_GetItem(args.ptr(), 0));
                if (!first.is_valid())
                    throw nb::python_error();
                // Without a resultType of its own (dict) the statement's rows follow the annotation.
                if (result_type.is(dict_t) && (scalar_target(first).is_valid() || is_tuple_target(first)))
                    return shape_rows(results, first);
                if (!first.is(result_type))
                    raise(PyExc_TypeError,
                          "please check return_result_type: " + text_of(first) + ", resultType: " + text_of(result_type));
            } else if (PyErr_Occurred()) {
                throw nb::python_error();
            }
        }
    } else if (result_type.is(dict_t) && (scalar_target(base).is_valid() || is_tuple_target(base))) {
        nb::object shaped = shape_rows(nb::make_tuple(first_row(results)), base);
        return nb::borrow(glue::list_item(shaped.ptr(), 0));
    } else if (!test(is_container_type, base) && !base.is(result_type)) {
        return_type_error(base, result_type);
    }
    if (result_type.is(list_t) || result_type.is(typing_list.get()))
        raise(PyExc_TypeError, "please check result type");

    if (!many) {
        nb::object row = first_row(results);
        if (result_type.is(dict_t))
            return row;
        if (test(is_result_class, base))
            return RowBuilder(result_type)(row);
        return first_value(row);
    }
    if (result_type.is(dict_t))
        return nb::borrow(results);
    if (test(is_result_class, result_type))
        return build_objects(result_type, results);
    return map_rows(results, [](nb::handle row) { return first_value(row); });
}

nb::object build_objects(nb::handle cls, nb::handle rows) {
    RowBuilder build(cls);
    return map_rows(rows, [&](nb::handle row) { return build(row); });
}

}  // namespace zorvane::glue
