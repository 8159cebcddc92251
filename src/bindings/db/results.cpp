// src/bindings/db/results.cpp: results_handle, the row conversion of mapper selects.
#include "db/results.hpp"

#include "db/stream.hpp"
#include "glue/call.hpp"
#include "results/nesting.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
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
Lazy typing_get_origin{"typing", "get_origin"};
Lazy type_hints_of{"typing", "get_type_hints"};
Lazy dc_fields{"dataclasses", "fields"};
Lazy dc_is_dataclass{"dataclasses", "is_dataclass"};
Lazy dc_missing{"dataclasses", "MISSING"};
Lazy base_model{"pydantic", "BaseModel"};
Lazy json_loads{"json", "loads"};
Lazy union_type{"types", "UnionType"};
PyObject *g_adapters = nullptr;  // scalar type -> pydantic TypeAdapter(type).validate_python
PyObject *g_nestings = nullptr;  // result class -> capsule of its Nesting

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

namespace cr = zorvane::core::results;

// A result class at one place of a nesting tree, with what building it needs.
struct NestClass {
    nb::object cls;
    bool pydantic = false;             // its nested values may stay mappings: it validates them
    bool validates = false;            // pydantic with BaseModel's own __init__: validate_python(mapping) is cls(**mapping)
    bool fills = false;                // a dataclass whose generated __init__ only stores its arguments (see fill_plan)
    std::vector<nb::object> names;     // field names, interned
    std::vector<nb::object> defaults;  // fills: per field its default, or invalid
    std::vector<nb::object> factories; // fills: per field its default factory, or invalid
    std::optional<RowBuilder> build;
};

// The field tree of one result class (the root, classes[0]) and its plans per column list.
struct Nesting {
    std::vector<cr::ClassShape> shapes;
    std::vector<NestClass> classes;
    bool collections = false;  // some class of the tree has a list field
    std::vector<std::pair<nb::object, std::shared_ptr<const cr::Plan>>> plans;  // (column labels, plan)
};

bool is_nest_class(nb::handle t) {
    if (!PyType_Check(t.ptr()))
        return false;
    if (PyType_IsSubtype((PyTypeObject *)t.ptr(), (PyTypeObject *)base_model.get().ptr()))
        return true;
    return truthy(dc_is_dataclass(t));
}

int add_class(Nesting &n, nb::handle cls);

// The kind of a field annotated `annotation`: a nested class, a list of classes or of
// scalars, or anything else (a plain value).
void classify(Nesting &n, nb::handle annotation, cr::FieldShape &f) {
    nb::object x = without_none(nb::borrow(annotation));
    if (is_nest_class(x)) {
        f.kind = cr::FieldKind::Object;
        f.optional = !x.is(annotation);
        f.child = add_class(n, x);
        return;
    }
    nb::object origin = typing_get_origin(x);
    if (!origin.is(builtin(PyList_Type)) && !origin.is(typing_list.get()))
        return;
    nb::object args = get_args(x);
    if (glue::tuple_size(args.ptr()) != 1)
        return;
    nb::object y = without_none(nb::borrow(glue::tuple_item(args.ptr(), 0)));
    if (is_nest_class(y)) {
        f.kind = cr::FieldKind::List;
        f.child = add_class(n, y);
        n.collections = true;
    } else if (scalar_target(y).is_valid()) {
        f.kind = cr::FieldKind::ScalarList;
        n.collections = true;
    }
}

// Whether a dataclass's instances may be made by object.__new__ and its fields set with
// object.__setattr__ in field order, which is what its generated __init__ does: plain type
// and object.__new__, an __init__ made by dataclasses (not one of the class's own) taking
// exactly the fields, no __post_init__, and attribute setting that is object's own (or
// frozen, whose __init__ goes through object.__setattr__ too).
bool stores_only(nb::handle cls, const std::vector<nb::object> &names) {
    auto *tp = (PyTypeObject *)cls.ptr();
    if (glue::type_call(Py_TYPE(cls.ptr())) != glue::type_call(&PyType_Type) ||
        glue::type_new(tp) != glue::type_new(&PyBaseObject_Type) || nb::hasattr(cls, "__post_init__"))
        return false;
    nb::object params = nb::getattr(cls, "__dataclass_params__", nb::none());
    if (params.is_none() || !truthy(nb::getattr(params, "init", nb::bool_(false))))
        return false;
    nb::object init = glue::type_lookup(tp, name_init);
    if (!init.is_valid() || !glue::is_function(init.ptr()))
        return false;
    nb::object code = init.attr("__code__");
    if (!nb::str(code.attr("co_filename")).equal(nb::str("<string>")))  // dataclasses compiles it from text
        return false;
    const Py_ssize_t args = nb::cast<Py_ssize_t>(code.attr("co_argcount")) + nb::cast<Py_ssize_t>(code.attr("co_kwonlyargcount"));
    nb::object varnames = code.attr("co_varnames");
    if (args != static_cast<Py_ssize_t>(names.size()) + 1)  // an InitVar is an argument and no field
        return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        nb::object name = nb::steal(PySequence_GetItem(varnames.ptr(), static_cast<Py_ssize_t>(i) + 1));
        if (!name.is_valid())
            throw nb::python_error();
        if (!equals(name, names[i]))
            return false;
    }
    nb::object setattr = glue::type_lookup(tp, glue::intern("__setattr__"));
    nb::object own = glue::type_lookup(&PyBaseObject_Type, glue::intern("__setattr__"));
    return (setattr.is_valid() && setattr.is(own)) || truthy(nb::getattr(params, "frozen", nb::bool_(false)));
}

int add_class(Nesting &n, nb::handle cls) {
    for (std::size_t i = 0; i < n.classes.size(); ++i)
        if (n.classes[i].cls.is(cls))
            return static_cast<int>(i);
    const int id = static_cast<int>(n.classes.size());
    n.shapes.push_back({text_of(nb::getattr(cls, "__qualname__", nb::str(cls))), {}});
    n.classes.emplace_back();
    n.classes.back().cls = nb::borrow(cls);
    const bool pydantic = PyType_IsSubtype((PyTypeObject *)cls.ptr(), (PyTypeObject *)base_model.get().ptr());
    std::vector<std::pair<nb::object, nb::object>> fields;  // (name, annotation)
    std::vector<bool> defaults;
    std::vector<nb::object> values, factories;  // dataclass defaults and default factories
    bool all_init = true;
    if (pydantic) {
        for (auto item : nb::borrow<nb::dict>(cls.attr("model_fields"))) {
            fields.emplace_back(nb::borrow(item.first), item.second.attr("annotation"));
            defaults.push_back(!truthy(item.second.attr("is_required")()));
        }
    } else {
        nb::object hints;
        try {
            hints = type_hints_of(cls);
        } catch (nb::python_error &) {
            hints = nb::dict();
        }
        nb::handle missing = dc_missing.get();
        for (nb::handle f : dc_fields(cls)) {
            if (!truthy(f.attr("init"))) {
                all_init = false;
                continue;
            }
            nb::object name = f.attr("name");
            nb::object hint = nb::steal(PyObject_GetItem(hints.ptr(), name.ptr()));
            if (!hint.is_valid()) {
                PyErr_Clear();
                hint = f.attr("type");
            }
            fields.emplace_back(name, hint);
            nb::object def = f.attr("default"), factory = f.attr("default_factory");
            defaults.push_back(!def.is(missing) || !factory.is(missing));
            values.push_back(def.is(missing) ? nb::object() : def);
            factories.push_back(factory.is(missing) ? nb::object() : factory);
        }
    }
    std::vector<cr::FieldShape> shapes;
    std::vector<nb::object> names;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        cr::FieldShape f;
        f.name = text_of(fields[i].first);
        f.has_default = defaults[i];
        classify(n, fields[i].second, f);
        shapes.push_back(std::move(f));
        PyObject *name = fields[i].first.release().ptr();
        PyUnicode_InternInPlace(&name);
        names.push_back(nb::steal(name));
    }
    n.shapes[static_cast<std::size_t>(id)].fields = std::move(shapes);
    NestClass &c = n.classes[static_cast<std::size_t>(id)];
    c.pydantic = pydantic;
    c.names = std::move(names);
    c.build.emplace(c.cls);
    if (pydantic) {
        nb::object init = glue::type_lookup((PyTypeObject *)cls.ptr(), name_init);
        c.validates = init.is_valid() && init.is(base_model.get().attr("__init__")) &&
                      glue::type_call(Py_TYPE(cls.ptr())) == glue::type_call(Py_TYPE(base_model.get().ptr()));
    } else {
        c.fills = all_init && stores_only(cls, c.names);
        c.defaults = std::move(values);
        c.factories = std::move(factories);
    }
    return id;
}

void destroy_nesting(PyObject *capsule) { delete static_cast<Nesting *>(PyCapsule_GetPointer(capsule, "zorvane.Nesting")); }

// The Nesting of result class `cls` (a pydantic model or a dataclass), made once; invalid
// for any other class.
nb::object nesting_object(nb::handle cls) {
    if (!g_nestings && !glue::runtime().keep(g_nestings, PyDict_New(), glue::Runtime::At::Empty))
        throw nb::python_error();
    if (PyObject *kept = PyDict_GetItemWithError(g_nestings, cls.ptr()))
        return kept == Py_None ? nb::object() : nb::borrow(kept);
    if (PyErr_Occurred())
        throw nb::python_error();
    if (!is_nest_class(cls))
        return nb::object();
    auto made = std::make_unique<Nesting>();
    add_class(*made, cls);
    bool plain = true;  // only plain fields: rows convert as they always did, whatever their labels
    for (const cr::FieldShape &f : made->shapes[0].fields)
        plain = plain && f.kind == cr::FieldKind::Scalar;
    if (plain) {
        if (PyDict_SetItem(g_nestings, cls.ptr(), Py_None) < 0)
            throw nb::python_error();
        return nb::object();
    }
    nb::object capsule = nb::steal(PyCapsule_New(made.get(), "zorvane.Nesting", &destroy_nesting));
    if (!capsule.is_valid())
        throw nb::python_error();
    made.release();
    if (PyDict_SetItem(g_nestings, cls.ptr(), capsule.ptr()) < 0)
        throw nb::python_error();
    return capsule;
}

Nesting &nesting_in(nb::handle capsule) {
    auto *n = static_cast<Nesting *>(PyCapsule_GetPointer(capsule.ptr(), "zorvane.Nesting"));
    if (!n)
        throw nb::python_error();
    return *n;
}

// The plan of the column labels `keys` (a tuple), compiled once per label list.
std::shared_ptr<const cr::Plan> plan_for(Nesting &n, nb::handle keys) {
    for (auto &[k, plan] : n.plans)
        if (k.is(keys) || equals(k, keys))
            return plan;
    std::vector<std::string> labels;
    const Py_ssize_t count = glue::tuple_size(keys.ptr());
    for (Py_ssize_t i = 0; i < count; ++i)
        labels.push_back(text_of(glue::tuple_item(keys.ptr(), i)));
    std::shared_ptr<const cr::Plan> plan;
    try {
        plan = std::make_shared<const cr::Plan>(cr::compile(n.shapes, 0, labels));
    } catch (const cr::PlanError &e) {
        raise(PyExc_TypeError, e.what());
    }
    if (n.plans.size() >= 8)
        n.plans.erase(n.plans.begin());
    n.plans.emplace_back(nb::borrow(keys), plan);
    return plan;
}

PyObject *name_data = nullptr;  // the value tuple of the toolkit's row objects

// The values of rows by column, borrowed from the rows (kept by the caller): row dictionaries,
// or the rows of a result read in column order (value tuples, the toolkit's rows).
struct RowCells final : cr::Cells {
    std::vector<PyObject *> values;
    std::size_t width = 0;
    std::vector<nb::object> owned;  // value tuples made here for rows that are no tuple

    struct Ordered {};
    RowCells(nb::handle rows, nb::handle keys, Ordered) : width(static_cast<std::size_t>(glue::tuple_size(keys.ptr()))) {
        const Py_ssize_t n = glue::tuple_size(rows.ptr());
        values.resize(static_cast<std::size_t>(n) * width);
        PyTypeObject *row_type = nullptr;  // the toolkit's row class, and the getter of its value tuple
        nb::object getter;
        descrgetfunc get = nullptr;
        for (Py_ssize_t r = 0; r < n; ++r) {
            PyObject *row = glue::tuple_item(rows.ptr(), r), *t = row;
            if (!PyTuple_CheckExact(row)) {
                if (Py_TYPE(row) != row_type) {  // a class with __getattr__ answers attribute reads slowly
                    row_type = Py_TYPE(row);
                    getter = glue::type_lookup(row_type, name_data);
                    get = getter.is_valid() ? glue::descr_get(Py_TYPE(getter.ptr())) : nullptr;
                }
                nb::object data = get ? nb::steal(get(getter.ptr(), row, (PyObject *)row_type)) : nb::object();
                if (!data.is_valid())
                    PyErr_Clear();
                if (data.is_valid() && PyTuple_CheckExact(data.ptr())) {
                    t = data.ptr();  // held by the row
                } else {
                    owned.push_back(nb::steal(PySequence_Tuple(row)));
                    if (!owned.back().is_valid())
                        throw nb::python_error();
                    t = owned.back().ptr();
                }
            }
            if (static_cast<std::size_t>(glue::tuple_size(t)) != width)
                raise(PyExc_RuntimeError, "a row is not as wide as its keys");
            PyObject **out = values.data() + static_cast<std::size_t>(r) * width;
            for (std::size_t c = 0; c < width; ++c)
                out[c] = glue::tuple_item(t, static_cast<Py_ssize_t>(c));
        }
    }

    RowCells(nb::handle rows, nb::handle keys) : width(static_cast<std::size_t>(glue::tuple_size(keys.ptr()))) {
        const Py_ssize_t n = glue::tuple_size(rows.ptr());
        values.resize(static_cast<std::size_t>(n) * width);
        for (Py_ssize_t r = 0; r < n; ++r) {
            PyObject *row = glue::tuple_item(rows.ptr(), r);
            PyObject **out = values.data() + static_cast<std::size_t>(r) * width;
            Py_ssize_t pos = 0, c = 0;
            PyObject *k, *v;
            bool same = glue::dict_size(row) == static_cast<Py_ssize_t>(width);
            while (same && PyDict_Next(row, &pos, &k, &v)) {
                PyObject *want = glue::tuple_item(keys.ptr(), c);
                if (k != want && !compare(k, want, Py_EQ))
                    same = false;
                out[c++] = v;
            }
            if (same)
                continue;
            for (std::size_t i = 0; i < width; ++i) {  // another order of the same labels
                out[i] = PyDict_GetItemWithError(row, glue::tuple_item(keys.ptr(), static_cast<Py_ssize_t>(i)));
                if (!out[i]) {
                    if (PyErr_Occurred())
                        throw nb::python_error();
                    raise(PyExc_TypeError, "rows of one result differ in their columns");
                }
            }
        }
    }
    PyObject *at(std::size_t row, int column) const { return values[row * width + static_cast<std::size_t>(column)]; }
    bool null(std::size_t row, int column) const override { return at(row, column) == Py_None; }
    std::size_t hash(std::size_t row, int column) const override {
        Py_hash_t h = PyObject_Hash(at(row, column));
        if (h == -1) {  // unhashable values compare one by one
            PyErr_Clear();
            return 0;
        }
        return static_cast<std::size_t>(h);
    }
    bool equal(std::size_t a, std::size_t b, int column) const override {
        PyObject *x = at(a, column), *y = at(b, column);
        return x == y || compare(x, y, Py_EQ);
    }
};

struct NestBuilder {
    Nesting &n;
    const RowCells &cells;
    nb::handle keys;

    nb::object value(std::size_t row, int column) const { return nb::borrow(cells.at(row, column)); }

    // A JSON array column's value as the list field `f` of class `owner`.
    nb::object json_list(const NestClass &owner, const cr::FieldShape &f, nb::handle v) const {
        if (v.is_none())
            return nb::steal(PyList_New(0));
        nb::object list = nb::borrow(v);
        if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || PyByteArray_Check(v.ptr()))
            list = json_loads(v);
        if (PyTuple_Check(list.ptr()))
            list = nb::list(list);
        if (!PyList_Check(list.ptr()))
            raise(PyExc_TypeError, "field '" + f.name + "' of " + text_of(owner.cls.attr("__qualname__")) +
                                       " takes a JSON array, and its column holds " + glue::type_name(list.ptr()));
        if (f.kind != cr::FieldKind::List || owner.pydantic)
            return list;
        const Py_ssize_t count = glue::list_size(list.ptr());
        nb::object out = nb::steal(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i)
            glue::list_set(out.ptr(), i, from_mapping(f.child, glue::list_item(list.ptr(), i)).release().ptr());
        return out;
    }

    // A mapping (a JSON object) as class `cls`, its nested mappings and lists of them too.
    nb::object from_mapping(int cls, nb::handle m) const {
        if (!PyDict_Check(m.ptr()))
            return nb::borrow(m);
        NestClass &c = n.classes[static_cast<std::size_t>(cls)];
        if (c.pydantic)
            return (*c.build)(m);
        nb::object kwargs = nb::steal(PyDict_Copy(m.ptr()));
        const auto &fields = n.shapes[static_cast<std::size_t>(cls)].fields;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].kind != cr::FieldKind::Object && fields[i].kind != cr::FieldKind::List)
                continue;
            PyObject *v = PyDict_GetItemWithError(kwargs.ptr(), c.names[i].ptr());
            if (!v) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                continue;
            }
            nb::object made = fields[i].kind == cr::FieldKind::Object ? from_mapping(fields[i].child, v)
                                                                          : json_list(c, fields[i], v);
            if (PyDict_SetItem(kwargs.ptr(), c.names[i].ptr(), made.ptr()) < 0)
                throw nb::python_error();
        }
        return (*c.build)(kwargs);
    }

    // The value of field `f` of `node`'s class from group `g`: invalid when no column fills it.
    nb::object field_value(const cr::Node &node, const cr::Group &g, std::size_t k, bool as_dict) const {
        const auto &fields = n.shapes[static_cast<std::size_t>(node.cls)].fields;
        const cr::Node &child = node.children[k];
        const auto &groups = g.children[k];
        if (child.kind == cr::FieldKind::Object) {
            if (!groups.empty())
                return object(child, groups[0], as_dict);
            if (child.optional)
                return nb::none();
            raise(PyExc_ValueError, "field '" + fields[static_cast<std::size_t>(child.field)].name + "' of " +
                                        n.shapes[static_cast<std::size_t>(node.cls)].name +
                                        " is not optional, and its columns (" + child.prefix + "*) are all NULL");
        }
        nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(groups.size())));
        if (!list.is_valid())
            throw nb::python_error();
        for (std::size_t i = 0; i < groups.size(); ++i) {
            nb::object v = child.kind == cr::FieldKind::ScalarList ? value(groups[i].row, child.value)
                                                                   : object(child, groups[i], as_dict);
            glue::list_set(list.ptr(), static_cast<Py_ssize_t>(i), v.release().ptr());
        }
        return list;
    }

    // A dataclass that `fills` made as its __init__ would: object.__new__, then each field set
    // in field order, defaults and default factories for fields no column fills. Invalid when
    // a field without default is left (the constructor then reports it).
    nb::object filled(const cr::Node &node, const cr::Group &g) const {
        NestClass &c = n.classes[static_cast<std::size_t>(node.cls)];
        const std::size_t count = c.names.size();
        PyObject *small[16];
        std::vector<PyObject *> big;
        PyObject **slot = count <= 16 ? small : (big.resize(count), big.data());  // borrowed: from the rows or `made`
        std::fill(slot, slot + count, nullptr);
        std::vector<nb::object> made;  // values made here, held while the fields are set
        auto keep = [&](nb::object v) {
            made.push_back(std::move(v));
            return made.back().ptr();
        };
        for (auto &[f, col] : node.scalars)
            slot[static_cast<std::size_t>(f)] = cells.at(g.row, col);
        const auto &fields = n.shapes[static_cast<std::size_t>(node.cls)].fields;
        for (auto &[f, col] : node.json)
            slot[static_cast<std::size_t>(f)] = keep(json_list(c, fields[static_cast<std::size_t>(f)], cells.at(g.row, col)));
        for (std::size_t k = 0; k < node.children.size(); ++k)
            slot[static_cast<std::size_t>(node.children[k].field)] = keep(field_value(node, g, k, false));
        for (std::size_t i = 0; i < count; ++i) {
            if (slot[i])
                continue;
            if (c.factories[i].is_valid())
                slot[i] = keep(c.factories[i]());
            else if (c.defaults[i].is_valid())
                slot[i] = c.defaults[i].ptr();
            else
                return nb::object();
        }
        auto *tp = (PyTypeObject *)c.cls.ptr();
        nb::object self = nb::steal(glue::type_new(tp)(tp, empty_tuple, nullptr));
        if (!self.is_valid())
            throw nb::python_error();
        for (std::size_t i = 0; i < count; ++i)
            if (PyObject_GenericSetAttr(self.ptr(), c.names[i].ptr(), slot[i]) < 0)
                throw nb::python_error();
        return self;
    }

    // The object of `node` from group `g`; a mapping when `as_dict` (its owner validates it).
    nb::object object(const cr::Node &node, const cr::Group &g, bool as_dict) const {
        NestClass &c = n.classes[static_cast<std::size_t>(node.cls)];
        if (!as_dict && c.fills && node.extras.empty())
            if (nb::object made = filled(node, g); made.is_valid())
                return made;
        const auto &fields = n.shapes[static_cast<std::size_t>(node.cls)].fields;
        nb::object kwargs = nb::steal(glue::dict_presized(static_cast<Py_ssize_t>(fields.size() + node.extras.size())));
        if (!kwargs.is_valid())
            throw nb::python_error();
        auto set = [&](PyObject *name, nb::handle v) {
            if (PyDict_SetItem(kwargs.ptr(), name, v.ptr()) < 0)
                throw nb::python_error();
        };
        for (auto &[f, col] : node.scalars)
            set(c.names[static_cast<std::size_t>(f)].ptr(), cells.at(g.row, col));
        for (auto &[name, col] : node.extras) {
            if (node.field < 0)
                set(glue::tuple_item(keys.ptr(), col), cells.at(g.row, col));
            else
                set(nb::str(name.c_str()).ptr(), cells.at(g.row, col));
        }
        for (auto &[f, col] : node.json)
            set(c.names[static_cast<std::size_t>(f)].ptr(),
                json_list(c, fields[static_cast<std::size_t>(f)], cells.at(g.row, col)));
        for (std::size_t k = 0; k < node.children.size(); ++k)
            set(c.names[static_cast<std::size_t>(node.children[k].field)].ptr(), field_value(node, g, k, c.pydantic));
        if (as_dict)
            return kwargs;
        if (c.validates)
            return validate(c, kwargs);
        return (*c.build)(kwargs);
    }

    nb::object validate(NestClass &c, nb::handle mapping) const {
        PyObject *&v = validators[&c];
        if (!v) {
            nb::object got = c.cls.attr("__pydantic_validator__").attr("validate_python");
            held.push_back(got);
            v = got.ptr();
        }
        PyObject *arg[] = {nullptr, mapping.ptr()};
        PyObject *r = PyObject_Vectorcall(v, arg + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (!r)
            throw nb::python_error();
        return nb::steal(r);
    }
    mutable std::unordered_map<const NestClass *, PyObject *> validators;  // per call: a model may be rebuilt between calls
    mutable std::vector<nb::object> held;
};

enum class Nest { List, One, Page, Stream, Flush };

[[noreturn]] void page_refused(const Nesting &n) {
    raise(PyExc_TypeError, "a page counts and limits rows, and " + n.shapes[0].name +
                               " gathers a collection from joined rows: select each collection as one JSON "
                               "array column labelled like its field (json_agg, JSON_ARRAYAGG, json_group_array)");
}

// The parents of `rows` (a tuple, `cells` read from it) under `plan`; see nest_rows.
nb::object nest_groups(Nesting &n, const cr::Plan &plan, const RowCells &cells, nb::handle keys, nb::handle rows,
                       Nest how, nb::object *carry) {
    const Py_ssize_t count = glue::tuple_size(rows.ptr());
    cr::Parents parents(plan, cells, static_cast<std::size_t>(count), how == Nest::Stream || how == Nest::Flush);
    std::size_t take = how == Nest::One ? std::min<std::size_t>(parents.size(), 1) : parents.size();
    if (how == Nest::Stream && plan.root.joined && parents.size() > 0) {
        --take;  // the last parent may go on in the next rows
        *carry = nb::steal(PyTuple_GetSlice(rows.ptr(), static_cast<Py_ssize_t>(parents.row(take)), count));
    }
    NestBuilder build{n, cells, keys, {}, {}};
    nb::object out = nb::steal(PyList_New(static_cast<Py_ssize_t>(take)));
    if (!out.is_valid())
        throw nb::python_error();
    for (std::size_t i = 0; i < take; ++i)
        glue::list_set(out.ptr(), static_cast<Py_ssize_t>(i), build.object(plan.root, parents.take(i), false).release().ptr());
    return out;
}

// Rows (a tuple of row dictionaries) as objects of the Nesting's root class: a list of
// parents, or an invalid object when the columns need no nesting or the rows are no exact
// dictionaries (plain conversion then).
// Stream: the rows of the last parent are left in *carry for the next call; Flush ends it.
nb::object nest_rows(Nesting &n, nb::handle rows, Nest how, nb::object *carry = nullptr) {
    const Py_ssize_t count = glue::tuple_size(rows.ptr());
    if (count == 0)
        return nb::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i)  // other mappings convert as they always did
        if (!PyDict_CheckExact(glue::tuple_item(rows.ptr(), i)))
            return nb::object();
    PyObject *first = glue::tuple_item(rows.ptr(), 0);
    nb::object keys = nb::steal(PySequence_Tuple(nb::steal(PyDict_Keys(first)).ptr()));
    if (!keys.is_valid())
        throw nb::python_error();
    std::shared_ptr<const cr::Plan> plan = plan_for(n, keys);
    if (plan->flat)
        return nb::object();
    if (how == Nest::Page && plan->root.joined)
        page_refused(n);
    RowCells cells(rows, keys);
    return nest_groups(n, *plan, cells, keys, rows, how, carry);
}

bool unique_keys(nb::handle keys) {
    const Py_ssize_t k = glue::tuple_size(keys.ptr());
    for (Py_ssize_t a = 0; a < k; ++a) {
        if (!PyUnicode_CheckExact(glue::tuple_item(keys.ptr(), a)))
            return false;
        for (Py_ssize_t b = a + 1; b < k; ++b)
            if (PyUnicode_Compare(glue::tuple_item(keys.ptr(), a), glue::tuple_item(keys.ptr(), b)) == 0)
                return false;
    }
    return true;
}

// nest_rows for rows as the result reads them: `keys` (a tuple of unique labels) and `rows`
// (a tuple of value rows in their order). The plan compiles from the labels alone, so a field
// that no column fills is reported with no rows too.
nb::object nest_ordered(Nesting &n, nb::handle keys, nb::handle rows, Nest how, nb::object *carry = nullptr) {
    std::shared_ptr<const cr::Plan> plan = plan_for(n, keys);
    if (plan->flat)
        return nb::object();
    if (how == Nest::Page && plan->root.joined)
        page_refused(n);
    if (glue::tuple_size(rows.ptr()) == 0)
        return nb::steal(PyList_New(0));
    RowCells cells(rows, keys, RowCells::Ordered{});
    return nest_groups(n, *plan, cells, keys, rows, how, carry);
}

nb::object as_tuple(nb::handle rows) {
    nb::object t = nb::steal(PySequence_Tuple(rows.ptr()));
    if (!t.is_valid())
        throw nb::python_error();
    return t;
}

// The rows as objects of result class `cls` through its nesting plan; invalid when the
// class or the columns need none.
nb::object nested(nb::handle cls, nb::handle rows, Nest how) {
    nb::object kept = nesting_object(cls);
    if (!kept.is_valid())
        return nb::object();
    return nest_rows(nesting_in(kept), as_tuple(rows), how);
}

}  // namespace

// Groups the rows of a stream into parents of a nesting class; labels that repeat or need no
// nesting go to `fallback` as row dictionaries (with its own carry across batches).
struct NestStream final : RowsConverter {
    nb::object kept, fallback, carry;

    nb::object convert(nb::handle keys, nb::handle rows) override {
        if (!keys.is_valid() || !unique_keys(keys))
            return fallback(rows_as_dicts(rows, nb::list(keys.is_valid() ? keys : nb::tuple())));
        nb::object all = as_tuple(rows);
        const bool end = glue::tuple_size(all.ptr()) == 0;
        if (carry.is_valid()) {
            all = nb::steal(PySequence_Concat(carry.ptr(), all.ptr()));
            carry = nb::object();
            if (!all.is_valid())
                throw nb::python_error();
        }
        nb::object out = nest_ordered(nesting_in(kept), keys, all, end ? Nest::Flush : Nest::Stream, &carry);
        return out.is_valid() ? out : fallback(rows_as_dicts(nb::list(all), nb::list(keys)));
    }
};

void destroy_converter(PyObject *capsule) {
    delete static_cast<RowsConverter *>(PyCapsule_GetPointer(capsule, kRowsConverter));
}

nb::object stream_converter(nb::handle cls, nb::object fallback) {
    nb::object kept = nesting_object(cls);
    if (!kept.is_valid())
        return fallback;
    auto made = std::make_unique<NestStream>();
    made->kept = kept;
    made->fallback = std::move(fallback);
    nb::object capsule = nb::steal(PyCapsule_New(made.get(), kRowsConverter, &destroy_converter));
    if (!capsule.is_valid())
        throw nb::python_error();
    made.release();
    return capsule;
}

bool gathers_rows(nb::handle cls) {
    nb::object kept = nesting_object(cls);
    return kept.is_valid() && nesting_in(kept).collections;
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
    if (plan.result_class < 0) {
        plan.result_class = truthy(is_result_class(plan.target)) ? 1 : 0;
        if (plan.result_class == 1)
            plan.nesting = nesting_object(plan.target);
    }
    return plan.result_class == 1;
}

// The plan's rows through its class's nesting plan; invalid when they need none.
nb::object plan_nested(ReturnPlan &plan, nb::handle rows, Nest how) {
    if (!plan.nesting.is_valid())
        return nb::object();
    return nest_rows(nesting_in(plan.nesting), rows, how);
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
    if (plan_result_class(plan)) {
        nb::object made = plan_nested(plan, nb::make_tuple(row), Nest::One);
        if (made.is_valid())
            return nb::borrow(glue::list_item(made.ptr(), 0));
        return RowBuilder(plan.target)(row);
    }
    if (columns(row) == 1)
        return first_value(row);
    raise(PyExc_TypeError, "please check result type");
}

bool plan_gathers(ReturnPlan &plan) {
    return !plan.target.is_none() && !plan_shaped(plan) && plan_result_class(plan) && plan.nesting.is_valid() &&
           nesting_in(plan.nesting).collections;
}

nb::object convert_first(ReturnPlan &plan, nb::handle rows) {
    nb::object made = plan_nested(plan, as_tuple(rows), Nest::One);
    if (!made.is_valid())
        return convert_one(plan, truthy(rows) ? first_row(rows) : nb::none());
    return glue::list_size(made.ptr()) ? nb::borrow(glue::list_item(made.ptr(), 0)) : nb::none();
}

nb::object plan_stream_converter(ReturnPlan &plan, nb::object fallback) {
    return plan_nests(plan) ? stream_converter(plan.target, std::move(fallback)) : fallback;
}

bool plan_nests(ReturnPlan &plan) {
    return !plan.target.is_none() && !plan_shaped(plan) && plan_result_class(plan) && plan.nesting.is_valid();
}

nb::object convert_list_rows(ReturnPlan &plan, nb::handle keys, nb::handle rows, bool page) {
    if (!plan.message.is_none())
        raise(PyExc_TypeError, nb::str(plan.message).c_str());
    if (plan_nests(plan) && unique_keys(keys)) {
        nb::object made = nest_ordered(nesting_in(plan.nesting), keys, as_tuple(rows), page ? Nest::Page : Nest::List);
        if (made.is_valid())
            return made;
    }
    bool converted;
    return convert_list(plan, rows_as_dicts(rows, nb::list(keys)), &converted, page);
}

nb::object convert_first_rows(ReturnPlan &plan, nb::handle keys, nb::handle rows) {
    if (plan_nests(plan) && unique_keys(keys)) {
        nb::object made = nest_ordered(nesting_in(plan.nesting), keys, as_tuple(rows), Nest::One);
        if (made.is_valid())
            return glue::list_size(made.ptr()) ? nb::borrow(glue::list_item(made.ptr(), 0)) : nb::none();
    }
    return convert_first(plan, rows_as_dicts(rows, nb::list(keys)));
}

nb::object convert_list(ReturnPlan &plan, nb::handle rows, bool *converted, bool page) {
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
    if (plan_result_class(plan)) {
        nb::object made = plan_nested(plan, snapshot, page ? Nest::Page : Nest::List);
        return made.is_valid() ? made : build_objects(plan.target, snapshot);
    }
    return map_rows(snapshot, [&](nb::handle row) { return value_or_call(plan.target, row); });
}

nb::object row_as(nb::handle cls, nb::handle row) {
    check_exact(row, &PyDict_Type, "result");
    if (truthy(is_result_class(cls))) {
        nb::object made = nested(cls, nb::make_tuple(row), Nest::One);
        return made.is_valid() ? nb::borrow(glue::list_item(made.ptr(), 0)) : RowBuilder(cls)(row);
    }
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
    name_data = glue::intern("_data");
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

namespace {

// The rows of one statement: row dictionaries, or (labels, rows) as the result reads them,
// whose dictionaries are made only when something needs them.
struct Rows {
    nb::object dicts, keys, raw;

    Py_ssize_t size() const {
        const Py_ssize_t n = PyObject_Length((raw.is_valid() ? raw : dicts).ptr());
        if (n < 0)
            throw nb::python_error();
        return n;
    }
    nb::handle as_dicts() {
        if (!dicts.is_valid())
            dicts = rows_as_dicts(raw, nb::list(keys));
        return dicts;
    }
    // The rows as objects of `cls` through its nesting plan; invalid when they need none.
    nb::object nested(nb::handle cls, Nest how) {
        if (raw.is_valid() && unique_keys(keys)) {
            nb::object kept = nesting_object(cls);
            return kept.is_valid() ? nest_ordered(nesting_in(kept), keys, as_tuple(raw), how) : nb::object();
        }
        return glue::nested(cls, as_dicts(), how);
    }
};

nb::object convert_results(Rows &results, nb::handle result_type, nb::handle f_return_type, Nest how) {
    const Py_ssize_t n = results.size();
    if (n == 0)
        return nb::borrow(results.as_dicts());
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
                    return shape_rows(results.as_dicts(), first);
                if (!first.is(result_type))
                    raise(PyExc_TypeError,
                          "please check return_result_type: " + text_of(first) + ", resultType: " + text_of(result_type));
            } else if (PyErr_Occurred()) {
                throw nb::python_error();
            }
        }
    } else if (result_type.is(dict_t) && (scalar_target(base).is_valid() || is_tuple_target(base))) {
        nb::object shaped = shape_rows(nb::make_tuple(first_row(results.as_dicts())), base);
        return nb::borrow(glue::list_item(shaped.ptr(), 0));
    } else if (!test(is_container_type, base) && !base.is(result_type)) {
        return_type_error(base, result_type);
    }
    if (result_type.is(list_t) || result_type.is(typing_list.get()))
        raise(PyExc_TypeError, "please check result type");

    if (!many) {
        if (result_type.is(dict_t))
            return first_row(results.as_dicts());
        if (test(is_result_class, base)) {
            nb::object made = results.nested(result_type, Nest::One);
            return made.is_valid() ? nb::borrow(glue::list_item(made.ptr(), 0))
                                   : RowBuilder(result_type)(first_row(results.as_dicts()));
        }
        return first_value(first_row(results.as_dicts()));
    }
    if (result_type.is(dict_t))
        return nb::borrow(results.as_dicts());
    if (test(is_result_class, result_type)) {
        nb::object made = results.nested(result_type, how);
        return made.is_valid() ? made : build_objects(result_type, results.as_dicts());
    }
    return map_rows(results.as_dicts(), [](nb::handle row) { return first_value(row); });
}

nb::object convert_results(nb::handle results, nb::handle result_type, nb::handle f_return_type, Nest how) {
    Rows rows{nb::borrow(results), {}, {}};
    return convert_results(rows, result_type, f_return_type, how);
}

}  // namespace

nb::object results_handle(nb::handle results, nb::handle result_type, nb::handle f_return_type) {
    return convert_results(results, result_type, f_return_type, Nest::List);
}

nb::object results_page(nb::handle results, nb::handle result_type, nb::handle f_return_type) {
    return convert_results(results, result_type, f_return_type, Nest::Page);
}

bool rows_nest(nb::handle result_type) { return PyType_Check(result_type.ptr()) && nesting_object(result_type).is_valid(); }

nb::object results_rows(nb::handle keys, nb::handle rows, nb::handle result_type, nb::handle f_return_type, bool page) {
    Rows r{{}, nb::borrow(keys), nb::borrow(rows)};
    if (r.size() == 0 && unique_keys(keys))  // the labels alone tell a field that no column fills
        nest_ordered(nesting_in(nesting_object(result_type)), keys, nb::tuple(), page ? Nest::Page : Nest::List);
    return convert_results(r, result_type, f_return_type, page ? Nest::Page : Nest::List);
}

nb::object build_objects(nb::handle cls, nb::handle rows) {
    RowBuilder build(cls);
    return map_rows(rows, [&](nb::handle row) { return build(row); });
}

}  // namespace zorvane::glue
