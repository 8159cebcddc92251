// src/bindings/mapper/prepared.cpp: #{...} text to a bound statement, with a bounded cache.
#include "mapper/prepared.hpp"

#include "glue/backend.hpp"
#include "glue/call.hpp"
#include "text/sql_text.hpp"

#include <algorithm>

namespace zorvane::glue {
namespace {

Lazy sa_text{"sqlalchemy", "text"};
Lazy parameter_error{"zorvane.exception", "ParameterError"};

constexpr std::string_view kIndexMark = "_for_index_";
constexpr Py_ssize_t kMaxEntries = 2048;
constexpr Py_ssize_t kMaxKeyChars = 64 * 1024;        // longer statements are not cached
constexpr Py_ssize_t kMaxTotalChars = 8 * 1024 * 1024;  // all cached keys together

// How one distinct placeholder name is looked up.
enum BindKind : long { kPlain = 0, kIndexed = 1, kBadIndex = 2, kTooManyPieces = 3 };

// Caches per dialect (standard, mysql, arrays): rendered text -> (clause, binds, lists,
// variants); binds is a tuple of (kind, name, key, index), lists one of (name, only) for the
// distinct in-list placeholders (only: the name appears nowhere else), variants a dict of list
// sizes -> clause with those lists expanded. Python objects only, so they need no teardown.
PyObject *g_caches[3] = {nullptr, nullptr, nullptr};
constexpr Py_ssize_t kMaxVariants = 64;  // per text
Py_ssize_t g_cached_chars = 0;

nb::tuple describe_bind(std::string_view name) {
    nb::str py_name = make_str(name);
    std::size_t at = name.find(kIndexMark);
    if (at == std::string_view::npos)
        return nb::make_tuple((long)kPlain, py_name, nb::none(), nb::none());
    std::string_view key = name.substr(0, at), idx = name.substr(at + kIndexMark.size());
    if (idx.find(kIndexMark) != std::string_view::npos)
        return nb::make_tuple((long)kTooManyPieces, py_name, nb::none(), nb::none());
    nb::str idx_text = make_str(idx);
    PyObject *num = glue::long_from_str(idx_text.ptr(), 10);
    if (!num) {  // raised again, with the host's message, when the name is looked up
        PyErr_Clear();
        return nb::make_tuple((long)kBadIndex, py_name, make_str(key), idx_text);
    }
    return nb::make_tuple((long)kIndexed, py_name, make_str(key), nb::steal(num));
}

nb::tuple build_entry(nb::handle ret, core::SqlDialect d) {
    std::string_view text = utf8(ret);
    std::vector<std::string_view> names = core::find_bind_names(text, d);
    nb::list binds;
    std::vector<std::string_view> seen;
    for (std::string_view n : names) {
        bool dup = false;
        for (std::string_view s : seen)
            dup = dup || s == n;
        if (dup)
            continue;  // the same name binds the same value again
        seen.push_back(n);
        binds.append(describe_bind(n));
    }
    std::vector<core::InList> sites = core::find_in_lists(text, d);
    nb::list lists;
    std::vector<std::string_view> listed;
    for (const core::InList &l : sites) {
        if (std::find(listed.begin(), listed.end(), l.name) != listed.end())
            continue;
        listed.push_back(l.name);
        auto uses = std::count(names.begin(), names.end(), l.name);
        auto in_lists = std::count_if(sites.begin(), sites.end(), [&](const core::InList &o) { return o.name == l.name; });
        lists.append(nb::make_tuple(make_str(l.name), nb::bool_(uses == in_lists)));
    }
    nb::object clause = sa_text(make_str(core::prepare_sql(text, d)));
    return nb::make_tuple(clause, nb::tuple(binds), nb::tuple(lists), nb::dict());
}

Py_ssize_t cached_entries() {
    Py_ssize_t n = 0;
    for (PyObject *cache : g_caches)
        n += cache ? glue::dict_size(cache) : 0;
    return n;
}

void remember(PyObject *&cache, nb::handle ret, nb::handle entry) {
    Py_ssize_t len = glue::str_length(ret.ptr());
    if (len > kMaxKeyChars)
        return;
    if (!cache && !(cache = PyDict_New()))
        throw nb::python_error();
    while (glue::dict_size(cache) > 0 && (cached_entries() >= kMaxEntries || g_cached_chars + len > kMaxTotalChars)) {
        Py_ssize_t pos = 0;
        PyObject *oldest, *value;
        PyDict_Next(cache, &pos, &oldest, &value);  // insertion order: the oldest first
        g_cached_chars -= glue::str_length(oldest);
        if (PyDict_DelItem(cache, oldest) < 0)
            throw nb::python_error();
    }
    if (PyDict_SetItem(cache, ret.ptr(), entry.ptr()) < 0)
        throw nb::python_error();
    g_cached_chars += len;
}

// ParameterError for placeholder `name`, which `param` does not hold.
[[noreturn]] void raise_unknown_placeholder(PyObject *param, PyObject *name) {
    std::string known;
    nb::object keys = nb::steal(PyMapping_Keys(param));
    if (!keys.is_valid())
        throw nb::python_error();
    for (nb::handle k : keys)
        known += (known.empty() ? "" : ", ") + std::string(utf8(nb::str(k)));
    std::string msg = "#{" + std::string(utf8(name)) + "} names no parameter of the call (parameters: " +
                      (known.empty() ? std::string("none") : known) + ")";
    PyErr_SetString(parameter_error.get().ptr(), msg.c_str());
    throw nb::python_error();
}

// param[name] when name is in param, else None (with `strict`, ParameterError); the
// caller's mapping decides.
PyObject *lookup_plain(PyObject *param, PyObject *name, bool strict) {
    if (PyDict_CheckExact(param)) {
        PyObject *v = PyDict_GetItemWithError(param, name);
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        if (!v && strict)
            raise_unknown_placeholder(param, name);
        return Py_NewRef(v ? v : Py_None);
    }
    int has = PySequence_Contains(param, name);
    if (has < 0)
        throw nb::python_error();
    if (!has && strict)
        raise_unknown_placeholder(param, name);
    if (!has)
        return Py_NewRef(Py_None);
    PyObject *v = PyObject_GetItem(param, name);
    if (!v)
        throw nb::python_error();
    return v;
}

PyObject *lookup_indexed(PyObject *param, PyObject *key, PyObject *index) {
    nb::object seq = nb::steal(PyObject_GetItem(param, key));
    if (!seq.is_valid())
        throw nb::python_error();
    PyObject *v = PyObject_GetItem(seq.ptr(), index);
    if (!v)
        throw nb::python_error();
    return v;
}

// The clause of `entry` and `values`, with every in-list placeholder bound to a list or tuple
// expanded into one bound value per entry (core::prepare_sql); the clause is made once per text
// and list sizes.
nb::tuple expand_lists(nb::handle ret, nb::handle entry, nb::dict values, core::SqlDialect dialect) {
    PyObject *lists = glue::tuple_item(entry.ptr(), 2);
    const Py_ssize_t n = glue::tuple_size(lists);
    nb::object sizes = nb::steal(PyTuple_New(n));
    bool any = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *v = PyDict_GetItemWithError(values.ptr(), glue::tuple_item(glue::tuple_item(lists, i), 0));
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        Py_ssize_t size = v && (PyList_Check(v) || PyTuple_Check(v)) ? PySequence_Size(v) : -1;
        any = any || size >= 0;
        glue::tuple_set(sizes.ptr(), i, PyLong_FromSsize_t(size));
    }
    nb::handle clause = glue::tuple_item(entry.ptr(), 0);
    if (!any)
        return nb::make_tuple(clause, values);
    PyObject *variants = glue::tuple_item(entry.ptr(), 3);
    nb::object variant = nb::borrow(PyDict_GetItemWithError(variants, sizes.ptr()));
    if (!variant.is_valid()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        std::string text = core::prepare_sql(utf8(ret), dialect, [&](std::string_view name) -> long {
            for (Py_ssize_t i = 0; i < n; ++i)
                if (utf8(glue::tuple_item(glue::tuple_item(lists, i), 0)) == name)
                    return PyLong_AsLong(glue::tuple_item(sizes.ptr(), i));
            return -1;
        });
        variant = sa_text(make_str(text));
        if (glue::dict_size(variants) >= kMaxVariants)
            PyDict_Clear(variants);
        if (PyDict_SetItem(variants, sizes.ptr(), variant.ptr()) < 0)
            throw nb::python_error();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t size = PyLong_AsSsize_t(glue::tuple_item(sizes.ptr(), i));
        if (size < 0)
            continue;
        PyObject *list = glue::tuple_item(lists, i), *name = glue::tuple_item(list, 0);
        nb::object seq = nb::borrow(PyDict_GetItem(values.ptr(), name));
        std::string_view base = utf8(name);
        for (Py_ssize_t k = 0; k < size; ++k) {
            nb::object item = nb::steal(PySequence_GetItem(seq.ptr(), k));
            if (!item.is_valid())
                throw nb::python_error();
            values[make_str(core::in_list_item(base, static_cast<std::size_t>(k)))] = item;
        }
        if (glue::tuple_item(list, 1) == Py_True && PyDict_DelItem(values.ptr(), name) < 0)
            throw nb::python_error();
    }
    return nb::make_tuple(variant, values);
}

}  // namespace

core::SqlDialect dialect_of(nb::handle db_type) {
    if (db_type.is_none())
        return {};
    if (const Backend *kind = backend_named(db_type))
        return kind->text;
    raise(PyExc_ValueError, "db_type must be None, 'sqlite', 'postgresql', 'mysql' or 'mariadb', not " +
                                std::string(utf8(nb::repr(db_type))));
}

namespace {

// The cache entry of rendered SQL `ret`, built when missing.
nb::object entry_of(nb::handle ret, core::SqlDialect dialect) {
    if (!PyUnicode_Check(ret.ptr()))
        raise(PyExc_TypeError, std::string("expected string or bytes-like object, got '") +
                                   glue::type_name(ret.ptr()) + "'");
    PyObject *&cache = g_caches[dialect.mysql ? 1 : dialect.arrays ? 2 : 0];
    if (cache) {
        PyObject *hit = PyDict_GetItemWithError(cache, ret.ptr());
        if (hit)
            return nb::borrow(hit);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    nb::object fresh = build_entry(ret, dialect);
    remember(cache, ret, fresh);
    return fresh;
}

}  // namespace

nb::object plain_binds(nb::handle ret, core::SqlDialect dialect) {
    nb::object entry = entry_of(ret, dialect);
    if (glue::tuple_size(glue::tuple_item(entry.ptr(), 2)) != 0)
        return nb::none();
    PyObject *binds = glue::tuple_item(entry.ptr(), 1);
    const Py_ssize_t n = glue::tuple_size(binds);
    nb::object names = glue::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *b = glue::tuple_item(binds, i);
        if (PyLong_AsLong(glue::tuple_item(b, 0)) != kPlain)
            return nb::none();
        glue::tuple_set(names.ptr(), i, Py_NewRef(glue::tuple_item(b, 1)));
    }
    return nb::make_tuple(nb::borrow(glue::tuple_item(entry.ptr(), 0)), names);
}

nb::tuple to_prepared_statement(nb::handle ret, nb::handle param, core::SqlDialect dialect, bool strict) {
    nb::object entry = entry_of(ret, dialect);
    PyObject *binds = glue::tuple_item(entry.ptr(), 1);
    nb::dict values;
    for (Py_ssize_t i = 0, n = glue::tuple_size(binds); i < n; ++i) {
        PyObject *b = glue::tuple_item(binds, i);
        long kind = PyLong_AsLong(glue::tuple_item(b, 0));
        PyObject *name = glue::tuple_item(b, 1);
        PyObject *v = nullptr;
        switch (kind) {
            case kPlain: v = lookup_plain(param.ptr(), name, strict); break;
            case kIndexed: v = lookup_indexed(param.ptr(), glue::tuple_item(b, 2), glue::tuple_item(b, 3)); break;
            case kTooManyPieces: raise(PyExc_ValueError, "too many values to unpack (expected 2)");
            default: {
                // The list is looked up before the index text is read as a number.
                nb::object seq = nb::steal(PyObject_GetItem(param.ptr(), glue::tuple_item(b, 2)));
                if (!seq.is_valid() || !glue::long_from_str(glue::tuple_item(b, 3), 10))
                    throw nb::python_error();
                raise(PyExc_SystemError, "index text parsed on the second attempt");
            }
        }
        int rc = PyDict_SetItem(values.ptr(), name, v);
        Py_DECREF(v);
        if (rc < 0)
            throw nb::python_error();
    }
    return expand_lists(ret, entry, values, dialect);
}

}  // namespace zorvane::glue
