// src/bindings/top/streams.cpp: AsyncRowStream, the async iterator over a RowStream.
#include "db/results.hpp"
#include "top/async_bridge.hpp"
#include "top/callable.hpp"
#include "top/parts.hpp"
#include "top/streams.hpp"
#include "glue/call.hpp"

namespace zorvane::top {
namespace {

glue::Lazy running_loop{"asyncio", "_get_running_loop"};

PyObject *g_step = nullptr, *g_close = nullptr;  // what the greenlet runs for __anext__ and aclose
PyObject *g_closing = nullptr;                    // set of close tasks of dropped streams, kept until done
PyTypeObject *g_ready = nullptr;                  // Ready: an awaitable already holding its value

// An awaitable whose value is known: awaiting it returns `value` without suspending.
struct Ready {
    PyObject_HEAD
    PyObject *value;
};

PyObject *ready_self(PyObject *self) { return Py_NewRef(self); }

PyObject *ready_next(PyObject *self) {
    auto *r = reinterpret_cast<Ready *>(self);
    if (!r->value)
        return nullptr;
    PyObject *stop = PyObject_CallFunctionObjArgs(PyExc_StopIteration, r->value, nullptr);
    Py_CLEAR(r->value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

void ready_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<Ready *>(self)->value);
    glue::type_free(tp, self);
    Py_DECREF(tp);
}

PyType_Slot ready_slots[] = {
    {Py_am_await, (void *)ready_self}, {Py_tp_iter, (void *)ready_self}, {Py_tp_iternext, (void *)ready_next},
    {Py_tp_dealloc, (void *)ready_dealloc}, {0, nullptr}};
PyType_Spec ready_spec = {"zorvane.zorvane._Ready", sizeof(Ready), 0, Py_TPFLAGS_DEFAULT, ready_slots};

nb::object ready(nb::object value) {
    auto *r = PyObject_New(Ready, g_ready);
    if (!r)
        throw nb::python_error();
    r->value = value.release().ptr();
    return nb::steal(reinterpret_cast<PyObject *>(r));
}

struct AsyncRowStream {
    nb::object start, args, kwargs;  // the sync call that opens the RowStream
    nb::object stream;               // the RowStream, once the first step has run
    bool done = false;

    AsyncRowStream() = default;
    AsyncRowStream(const AsyncRowStream &) = delete;
    AsyncRowStream &operator=(const AsyncRowStream &) = delete;

    // Dropped while open (a loop left by break or by an exception): the stream is closed in a
    // task of the running loop, since closing awaits the driver.
    ~AsyncRowStream() {
        if (done || !stream.is_valid() || !Py_IsInitialized())
            return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        try {
            nb::object loop = running_loop();
            if (!loop.is_none()) {
                PyObject *args[] = {stream.ptr()};
                nb::object task = loop.attr("create_task")(spawn(g_close, args, 1, nullptr));
                nb::handle(g_closing).attr("add")(task);
                task.attr("add_done_callback")(nb::handle(g_closing).attr("discard"));
            }
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("closing an abandoned async row stream");
        }
        PyErr_Restore(type, value, tb);
    }
};

// In the greenlet: opens the stream on the first step, then returns its next value.
PyObject *step_impl(PyObject *, PyObject *const *args, std::size_t, PyObject *) {
    return guarded([&]() -> nb::object {
        auto &st = nb::cast<AsyncRowStream &>(nb::handle(args[0]));
        if (!st.stream.is_valid())
            st.stream = st.start(*st.args, **st.kwargs);
        PyObject *v = PyIter_Next(st.stream.ptr());
        if (v)
            return nb::steal(v);
        if (PyErr_Occurred()) {
            st.done = true;
            throw nb::python_error();
        }
        st.done = true;
        PyErr_SetNone(PyExc_StopAsyncIteration);
        throw nb::python_error();
    });
}

PyObject *close_impl(PyObject *, PyObject *const *args, std::size_t, PyObject *) {
    return guarded([&]() -> nb::object {
        nb::handle(args[0]).attr("close")();
        return nb::none();
    });
}

nb::object anext(nb::handle self) {
    auto &st = nb::cast<AsyncRowStream &>(self);
    if (st.done) {
        nb::object fail = nb::cpp_function([]() -> nb::object {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            throw nb::python_error();
        });
        return spawn(fail, nullptr, 0, nullptr);
    }
    // Rows already fetched are handed out without a trip through the greenlet bridge.
    if (st.stream.is_valid() && nb::cast<long>(st.stream.attr("_buffered")) > 0) {
        nb::object v = nb::steal(PyIter_Next(st.stream.ptr()));
        if (!v.is_valid())
            throw nb::python_error();
        return ready(std::move(v));
    }
    PyObject *args[] = {self.ptr()};
    return spawn(g_step, args, 1, nullptr);
}

nb::object aclose(AsyncRowStream &st) {
    st.done = true;
    if (!st.stream.is_valid())
        return ready(nb::none());
    PyObject *args[] = {st.stream.ptr()};
    return spawn(g_close, args, 1, nullptr);
}

// The function async_stream_wrapper returns. Payload: 0 the sync wrapper.
PyObject *open_async_stream(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&]() -> nb::object {
        const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
        auto *st = new AsyncRowStream();
        st->start = nb::borrow(payload(self, 0));
        st->args = nb::steal(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            glue::tuple_set(st->args.ptr(), i, Py_NewRef(args[i]));
        nb::dict kw;
        for (Py_ssize_t j = 0; kwnames && j < glue::tuple_size(kwnames); ++j)
            kw[nb::handle(glue::tuple_item(kwnames, j))] = nb::handle(args[n + j]);
        st->kwargs = std::move(kw);
        return nb::cast(st, nb::rv_policy::take_ownership);
    });
}

int stream_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    auto *s = nb::inst_ptr<AsyncRowStream>(self);
    for (nb::handle h : {nb::handle(s->start), nb::handle(s->args), nb::handle(s->kwargs)})
        Py_VISIT(h.ptr());
    return 0;
}

PyType_Slot stream_slots[] = {{Py_tp_traverse, (void *)stream_traverse}, {0, nullptr}};

}  // namespace

nb::object async_stream_wrapper(nb::handle sync_wrapper, nb::handle func) {
    nb::object wrapper = make_callable(&open_async_stream, {sync_wrapper});
    glue::update_wrapper(wrapper, func);
    return wrapper;
}

bool is_stream_type(nb::handle rt) { return glue::stream_element(rt).is_valid(); }

void register_streams(nb::module_ &m) {
    g_ready = reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(m.ptr(), &ready_spec, nullptr));
    if (!g_ready)
        throw nb::python_error();
    g_step = make_callable(&step_impl, {}).release().ptr();
    g_close = make_callable(&close_impl, {}).release().ptr();
    glue::runtime().keep(g_closing, PySet_New(nullptr), glue::Runtime::At::Empty);
    nb::class_<AsyncRowStream>(m, "AsyncRowStream", nb::type_slots(stream_slots),
                               "Async iterator over the rows of a streamed select; holds its connection until closed.")
        .def("__aiter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__anext__", &anext)
        .def("aclose", &aclose, "Coroutine: releases the cursor and the connection.");
}

}  // namespace zorvane::top
