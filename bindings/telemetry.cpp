// Module ostrel._telemetry: owner of telemetry contexts (the ring components publish probes
// into). The public API is the Python class ostrel.telemetry.Telemetry built on this module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <climits>

#include "args.h"
#include "ox_tlm/ox_tlm_core.h"

namespace {

using ox::py::u32_arg;
using ox::py::u64_arg;

constexpr const char *kCapsuleName = "ostrel.telemetry.ox_tlm";
constexpr const char *kClosedCapsuleName = "ostrel.telemetry.ox_tlm (closed)";

struct Context {
    PyObject_HEAD ox_tlm *tlm;
    PyObject *capsule;  // handed to components; renamed on close so it can no longer be used
};

ox_tlm *live(Context *self) {
    if (!self->tlm) PyErr_SetString(PyExc_RuntimeError, "telemetry context is closed");
    return self->tlm;
}

// The owner lets go of its context: the capsule it handed out is renamed (so it can no longer be
// attached anywhere) and the owner's hold is released. The ring itself is freed now, or, when
// components are still attached, by whichever of them detaches last.
void close_context(Context *self) {
    if (self->capsule) {
        PyCapsule_SetName(self->capsule, kClosedCapsuleName);
        Py_CLEAR(self->capsule);
    }
    ox::tlm_release(self->tlm);
    self->tlm = nullptr;
}

// A ring is backed by memory as records are written: refuse a capacity the machine could never
// hold rather than reserve it and let the process be killed when it fills.
bool capacity_fits(unsigned long long capacity) {
    const unsigned long long memory = ox::py::machine_memory();
    if (memory == 0 || capacity <= memory / sizeof(ox_tlm_record)) return true;
    PyErr_Format(PyExc_ValueError,
                 "a ring of %llu records (%llu bytes) exceeds this machine's memory (%llu bytes)",
                 capacity, capacity > ULLONG_MAX / sizeof(ox_tlm_record) ? ULLONG_MAX
                                                                      : capacity * sizeof(ox_tlm_record),
                 memory);
    return false;
}

PyObject *ctx_new(PyTypeObject *type, PyObject *args, PyObject *kw) {
    static const char *const names[] = {"capacity", nullptr};
    unsigned long long capacity = 4096;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&:Context", const_cast<char **>(names), u64_arg,
                                     &capacity))
        return nullptr;
    if (capacity == 0 || (capacity & (capacity - 1)) != 0) {
        PyErr_Format(PyExc_ValueError, "capacity must be a non-zero power of two, got %llu", capacity);
        return nullptr;
    }
    if (!capacity_fits(capacity)) return nullptr;
    auto *self = reinterpret_cast<Context *>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->tlm = ox_tlm_create(static_cast<size_t>(capacity));
    if (!self->tlm) {
        Py_DECREF(self);
        return PyErr_Format(PyExc_MemoryError, "ox_tlm_create(%llu) failed", capacity);
    }
    self->capsule = PyCapsule_New(self->tlm, kCapsuleName, nullptr);
    if (!self->capsule) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(self);
}

// Collected without close(): the same release as close(). Components still attached keep the
// context alive until they detach.
void ctx_dealloc(PyObject *o) {
    close_context(reinterpret_cast<Context *>(o));
    PyTypeObject *tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject *ctx_close(PyObject *o, PyObject *) {
    close_context(reinterpret_cast<Context *>(o));
    Py_RETURN_NONE;
}

PyObject *ctx_capsule(PyObject *o, void *) {
    auto *self = reinterpret_cast<Context *>(o);
    return live(self) ? Py_NewRef(self->capsule) : nullptr;
}

PyObject *ctx_closed(PyObject *o, void *) {
    return PyBool_FromLong(reinterpret_cast<Context *>(o)->tlm == nullptr);
}

PyObject *ctx_get_tag(PyObject *o, void *) {
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    return t ? PyLong_FromUnsignedLongLong(t->tag) : nullptr;
}

int ctx_set_tag(PyObject *o, PyObject *v, void *) {
    if (!v) {
        PyErr_SetString(PyExc_TypeError, "tag cannot be deleted");
        return -1;
    }
    unsigned long long tag;
    if (!u64_arg(v, &tag)) return -1;
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return -1;
    t->tag = tag;
    return 0;
}

PyObject *ctx_capacity(PyObject *o, void *) {
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    return t ? PyLong_FromSize_t(ox_tlm_capacity(t)) : nullptr;
}

PyObject *ctx_avail(PyObject *o, void *) {
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    return t ? PyLong_FromSize_t(ox_tlm_avail(t)) : nullptr;
}

PyObject *ctx_dropped(PyObject *o, void *) {
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    return t ? PyLong_FromUnsignedLongLong(ox_tlm_dropped(t)) : nullptr;
}

// read_into(buffer, max) -> count: copies up to `max` records (0 = all available) into a
// writable contiguous buffer of 16-byte records.
PyObject *ctx_read_into(PyObject *o, PyObject *args) {
    Py_buffer view;
    unsigned long long max = 0;
    if (!PyArg_ParseTuple(args, "w*|O&:read_into", &view, u64_arg, &max)) return nullptr;
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    const size_t n = ox_tlm_read(t, static_cast<size_t>(max), static_cast<ox_tlm_record *>(view.buf),
                                 static_cast<size_t>(view.len) / sizeof(ox_tlm_record));
    PyBuffer_Release(&view);
    return PyLong_FromSize_t(n);
}

PyObject *ctx_probe_names(PyObject *o, PyObject *) {
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return nullptr;
    const uint32_t n = ox_tlm_probe_count(t);
    PyObject *list = PyList_New(n);
    if (!list) return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        PyObject *s = PyUnicode_FromString(ox_tlm_probe_name(t, static_cast<int>(i)));
        if (!s) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, s);
    }
    return list;
}

PyObject *ctx_probe_id(PyObject *o, PyObject *args) {
    const char *name;
    if (!PyArg_ParseTuple(args, "s:probe_id", &name)) return nullptr;
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return nullptr;
    const int id = ox_tlm_probe_id(t, name);
    if (id < 0) {
        PyErr_SetString(PyExc_KeyError, name);
        return nullptr;
    }
    return PyLong_FromLong(id);
}

PyObject *ctx_register(PyObject *o, PyObject *args) {
    const char *name;
    uint32_t decim = 1;
    if (!PyArg_ParseTuple(args, "s|O&:register", &name, u32_arg, &decim)) return nullptr;
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return nullptr;
    const int id = ox_tlm_probe(t, name, decim);
    if (id < 0) {
        return PyErr_Format(PyExc_ValueError,
                            "cannot register probe '%s' (names are at most 31 characters, decim "
                            ">= 1, at most 64 probes)", name);
    }
    return PyLong_FromLong(id);
}

PyObject *ctx_set_decim(PyObject *o, PyObject *args) {
    const char *name;
    uint32_t decim;
    if (!PyArg_ParseTuple(args, "sO&:set_decim", &name, u32_arg, &decim)) return nullptr;
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return nullptr;
    if (decim == 0) return PyErr_Format(PyExc_ValueError, "decim must be in 1..%u, got 0", UINT32_MAX);
    if (ox_tlm_set_decim(t, name, decim) != OX_OK) {
        PyErr_SetString(PyExc_KeyError, name);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *ctx_emit(PyObject *o, PyObject *args) {
    int id;
    double value;
    if (!PyArg_ParseTuple(args, "id:emit", &id, &value)) return nullptr;
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return nullptr;
    if (ox_tlm_emit_checked(t, id, value) != OX_OK) {
        return PyErr_Format(PyExc_ValueError, "no probe with id %d", id);
    }
    Py_RETURN_NONE;
}

PyObject *ctx_resize(PyObject *o, PyObject *args) {
    unsigned long long capacity;
    if (!PyArg_ParseTuple(args, "O&:resize", u64_arg, &capacity)) return nullptr;
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return nullptr;
    if (ox::tlm_has_producers(t)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "telemetry context is busy: an attached component is processing a block");
        return nullptr;
    }
    if (!capacity_fits(capacity)) return nullptr;
    if (ox_tlm_resize(t, static_cast<size_t>(capacity)) != OX_OK) {
        return PyErr_Format(PyExc_MemoryError, "cannot resize the ring to %llu records", capacity);
    }
    Py_RETURN_NONE;
}

PyObject *ctx_stats(PyObject *o, PyObject *) {
    ox_tlm *t = live(reinterpret_cast<Context *>(o));
    if (!t) return nullptr;
    uint64_t s[4];
    ox_tlm_stats(s, t);
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:n}", "dropped", s[0], "emitted", s[1], "capacity", s[2],
                         "probes", s[3], "avail", static_cast<Py_ssize_t>(ox_tlm_avail(t)));
}

// demux(records, n_probes) -> list of bytes (float32 values per probe id, in record order).
PyObject *demux(PyObject *, PyObject *args) {
    Py_buffer view;
    Py_ssize_t n_probes;
    if (!PyArg_ParseTuple(args, "y*n:demux", &view, &n_probes)) return nullptr;
    if (n_probes < 0 || n_probes > static_cast<Py_ssize_t>(OX_TLM_MAX_PROBES)) {
        PyBuffer_Release(&view);
        return PyErr_Format(PyExc_ValueError, "n_probes must be in 0..64");
    }
    const auto *recs = static_cast<const ox_tlm_record *>(view.buf);
    const size_t n_recs = static_cast<size_t>(view.len) / sizeof(ox_tlm_record);
    size_t counts[OX_TLM_MAX_PROBES] = {};
    ox_tlm_demux_counts(recs, n_recs, counts, static_cast<size_t>(n_probes));
    PyObject *list = PyList_New(n_probes);
    float *values[OX_TLM_MAX_PROBES] = {};
    for (Py_ssize_t i = 0; list && i < n_probes; ++i) {
        PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counts[i] * 4));
        if (!b) {
            Py_CLEAR(list);
            break;
        }
        values[i] = reinterpret_cast<float *>(PyBytes_AS_STRING(b));
        PyList_SET_ITEM(list, i, b);
    }
    if (list) ox_tlm_demux(recs, n_recs, values, nullptr, counts, static_cast<size_t>(n_probes));
    PyBuffer_Release(&view);
    return list;
}

PyMethodDef ctx_methods[] = {
    {"close", ctx_close, METH_NOARGS, "Release the ring (idempotent)."},
    {"read_into", ctx_read_into, METH_VARARGS, "read_into(buffer, max=0) -> records copied."},
    {"probe_names", ctx_probe_names, METH_NOARGS, "Registered probe names in id order."},
    {"probe_id", ctx_probe_id, METH_VARARGS, "probe_id(name) -> id; KeyError when unknown."},
    {"register", ctx_register, METH_VARARGS, "register(name, decim=1) -> id."},
    {"set_decim", ctx_set_decim, METH_VARARGS, "set_decim(name, decim)."},
    {"emit", ctx_emit, METH_VARARGS, "emit(id, value): publish one event of a probe."},
    {"resize", ctx_resize, METH_VARARGS, "resize(capacity): grow the ring (empties it)."},
    {"stats", ctx_stats, METH_NOARGS, "Counters as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ctx_props[] = {
    {"capsule", ctx_capsule, nullptr, "Capsule handed to components.", nullptr},
    {"closed", ctx_closed, nullptr, "True after close().", nullptr},
    {"tag", ctx_get_tag, ctx_set_tag, "Value stamped into every emitted record.", nullptr},
    {"capacity", ctx_capacity, nullptr, "Ring capacity in records.", nullptr},
    {"avail", ctx_avail, nullptr, "Records waiting to be read.", nullptr},
    {"dropped", ctx_dropped, nullptr, "Records lost because the ring was full.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ctx_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(ctx_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(ctx_dealloc)},
    {Py_tp_methods, ctx_methods},
    {Py_tp_getset, ctx_props},
    {Py_tp_doc, const_cast<char *>("Context(capacity=4096): a telemetry ring and probe registry.")},
    {0, nullptr},
};

PyType_Spec ctx_spec = {"ostrel._telemetry.Context", sizeof(Context), 0, Py_TPFLAGS_DEFAULT, ctx_slots};

PyMethodDef module_methods[] = {
    {"demux", demux, METH_VARARGS, "demux(records, n_probes) -> list of float32 bytes per probe."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_telemetry", "Native telemetry contexts.", -1, module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__telemetry(void) {
    PyObject *type = PyType_FromSpec(&ctx_spec);
    if (!type) return nullptr;
    PyObject *m = PyModule_Create(&module_def);
    if (!m || PyModule_AddObject(m, "Context", type) < 0) {
        Py_DECREF(type);
        Py_XDECREF(m);
        return nullptr;
    }
    if (PyModule_AddIntConstant(m, "MAX_PROBES", OX_TLM_MAX_PROBES) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
