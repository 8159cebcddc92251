// src/bindings/db/stream.cpp: RowStream, a select read batch by batch from a server-side cursor.
#include "db/stream.hpp"

#include <algorithm>
#include "db/results.hpp"
#include "glue/call.hpp"

namespace zorvane::glue {
namespace {

Lazy weak_set{"weakref", "WeakSet"};
PyObject *n_fetchmany, *n_info, *n_streams;

nb::object call(nb::handle obj, const char *name) {
    PyObject *r = PyObject_CallMethod(obj.ptr(), name, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// The set of open streams of `session`'s transaction, made when `create`; None otherwise.
nb::object registry(nb::handle session, bool create) {
    nb::object info = nb::steal(PyObject_GetAttr(session.ptr(), n_info));
    if (!info.is_valid()) {
        PyErr_Clear();  // not a toolkit session: nothing to register on
        return nb::none();
    }
    PyObject *found = PyDict_Check(info.ptr()) ? PyDict_GetItemWithError(info.ptr(), n_streams) : nullptr;
    if (found)
        return nb::borrow(found);
    if (PyErr_Occurred())
        throw nb::python_error();
    if (!create)
        return nb::none();
    nb::object made = weak_set();
    if (PyObject_SetItem(info.ptr(), n_streams, made.ptr()) < 0)
        throw nb::python_error();
    return made;
}

// Rows converted per call of `convert`. Values made in smaller runs die before the cycle
// collector's first generation fills up (it counts live allocations), so a consumer that
// drops each value keeps the collector idle, as a hand-written loop does.
constexpr Py_ssize_t kConvertRun = 128;

struct RowStream {
    nb::object session, result, keys, convert;
    nb::object rows;   // row dictionaries of the current fetch, converted from `next_row` on
    nb::object batch;  // the values handed out from `pos`
    Py_ssize_t next_row = 0, pos = 0;
    long fetch_size = 0;
    bool own = false, closed = false, flushed = false;
    RowsConverter *raw = nullptr;  // `convert` as a RowsConverter: rows stay as the result reads them

    RowStream() = default;
    RowStream(const RowStream &) = delete;
    RowStream &operator=(const RowStream &) = delete;

    // Dropped without close(): the connection goes back now, not when the cycle collector runs.
    ~RowStream() {
        if (closed || !Py_IsInitialized())
            return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        try {
            close(false, true);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("closing an abandoned row stream");
        } catch (...) {
        }
        PyErr_Restore(type, value, tb);
    }

    static Py_ssize_t left(const nb::object &list, Py_ssize_t from) {
        return list.is_valid() ? glue::list_size(list.ptr()) - from : 0;
    }

    // Values fetched and not yet handed out: no database work until they are.
    Py_ssize_t buffered() const { return left(batch, pos) + left(rows, next_row); }

    // The next fetch as row dictionaries; false when the rows ran out (the stream is then closed).
    bool fetch() {
        nb::object got = nb::steal(glue::call_method1(result.ptr(), n_fetchmany, nb::int_(fetch_size).ptr()));
        if (!got.is_valid())
            throw nb::python_error();
        if (!PyList_CheckExact(got.ptr()))
            got = nb::list(got);
        if (raw && !keys.is_valid())  // read before the result closes: the converter wants them without rows too
            keys = nb::tuple(call(result, "keys"));
        if (glue::list_size(got.ptr()) == 0) {
            close(true);
            return false;
        }
        if (!keys.is_valid())
            keys = nb::list(call(result, "keys"));
        rows = raw ? got : nb::object(rows_as_dicts(got, keys));
        next_row = 0;
        return true;
    }

    nb::object next() {
        if (closed && left(batch, pos) <= 0)
            throw nb::stop_iteration();
        try {
            while (left(batch, pos) <= 0) {
                if (left(rows, next_row) <= 0 && (closed || !fetch())) {
                    // Once the rows ran out, an empty run lets `convert` hand out what it held back.
                    if (convert.is_none() || flushed)
                        throw nb::stop_iteration();
                    flushed = true;
                    nb::object values = raw ? raw->convert(keys, nb::list()) : convert(nb::list());
                    batch = PyList_CheckExact(values.ptr()) ? values : nb::list(values);
                    pos = 0;
                    continue;
                }
                if (convert.is_none()) {
                    batch = std::move(rows);
                    pos = next_row;
                    continue;
                }
                const Py_ssize_t end = std::min(next_row + kConvertRun, glue::list_size(rows.ptr()));
                nb::object run = nb::steal(PyList_GetSlice(rows.ptr(), next_row, end));
                next_row = end;
                nb::object values = raw ? raw->convert(keys, run) : convert(run);
                batch = PyList_CheckExact(values.ptr()) ? values : nb::list(values);
                pos = 0;
            }
        } catch (nb::python_error &e) {
            unwind_step(e.value(), [&] { close(false); });
            throw;
        }
        return nb::borrow(glue::list_item(batch.ptr(), pos++));
    }

    // Releases the cursor and, for an owned session, the session (committed only when the
    // rows ran out). Idempotent. `dying`: from the destructor, when the registry has already
    // dropped this stream (its weak reference went first) and nothing may refer to it again.
    void close(bool exhausted, bool dying = false) {
        if (closed)
            return;
        closed = true;
        batch = rows = nb::object();
        nb::object s = std::move(session), r = std::move(result);
        if (!own && !dying) {
            nb::object streams = registry(s, false);
            if (!streams.is_none())
                streams.attr("discard")(nb::find(this));
        }
        glue::AllSteps step;
        step([&] { call(r, "close"); });
        if (own) {
            if (exhausted)
                step([&] { call(s, "commit"); });
            step([&] { call(s, "close"); });
        }
        step.finish();
    }
};

}  // namespace

nb::object open_stream(nb::object session, bool own, nb::object result, long fetch_size, nb::object convert) {
    auto *st = new RowStream();
    st->session = std::move(session);
    st->result = std::move(result);
    st->convert = std::move(convert);
    if (PyCapsule_IsValid(st->convert.ptr(), kRowsConverter))
        st->raw = static_cast<RowsConverter *>(PyCapsule_GetPointer(st->convert.ptr(), kRowsConverter));
    st->fetch_size = fetch_size;
    st->own = own;
    nb::object obj = nb::cast(st, nb::rv_policy::take_ownership);
    // An owned session with a registry is one of zorvane_rollback's, which closes it at the end of the test.
    if (!own)
        registry(st->session, true).attr("add")(obj);
    else if (nb::object streams = registry(st->session, false); !streams.is_none())
        streams.attr("add")(obj);
    return obj;
}

void close_streams(nb::handle session) {
    nb::object streams = registry(session, false);
    if (streams.is_none() || !truthy(streams))
        return;
    for (nb::handle s : nb::list(streams))
        s.attr("close")();
}

void register_streams(nb::module_ &m) {
    n_fetchmany = glue::intern("fetchmany");
    n_info = glue::intern("info");
    n_streams = glue::intern("zorvane_streams");
    nb::class_<RowStream>(m, "RowStream", nb::is_weak_referenceable(),
                          "Iterator over the rows of a select, fetched in batches; holds its connection until closed.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](RowStream &s) { return s.next(); })
        .def("close", [](RowStream &s) { s.close(false); }, "Releases the cursor and the connection; idempotent.")
        .def_prop_ro("closed", [](RowStream &s) { return s.closed; }, "Whether the stream has been closed or exhausted.")
        .def_prop_ro(
            "_buffered",
            [](RowStream &s) { return s.buffered(); },
            "Values fetched and not yet handed out.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__", [](RowStream &s, nb::handle, nb::handle, nb::handle) { s.close(false); }, "exc_type"_a.none(),
            "exc"_a.none(), "tb"_a.none());
    m.def("_close_streams", &close_streams, "session"_a, "Closes the open streams of a transaction session.");
}

}  // namespace zorvane::glue
