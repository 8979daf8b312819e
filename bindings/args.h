// Range-checked integer arguments for the Python bindings: "O&" converters that take any object
// with __index__ and raise OverflowError for a value outside the target type, instead of the
// wrapping that the 'k' and 'K' argument codes do.
//     unsigned long long n = 1024;
//     PyArg_ParseTupleAndKeywords(args, kw, "|O&:FFT", names, ox::py::u64_arg, &n)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <utility>

namespace ox::py {

template <class T>
inline int unsigned_arg(PyObject *o, void *dst) {
    static_assert(std::is_unsigned_v<T> && sizeof(T) <= sizeof(unsigned long long));
    PyObject *index = PyNumber_Index(o);
    if (!index) return 0;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return 0;
    if (v > std::numeric_limits<T>::max()) {
        PyErr_Format(PyExc_OverflowError, "%llu is out of range (at most %llu)", v,
                     static_cast<unsigned long long>(std::numeric_limits<T>::max()));
        return 0;
    }
    *static_cast<T *>(dst) = static_cast<T>(v);
    return 1;
}
inline int u64_arg(PyObject *o, void *dst) { return unsigned_arg<unsigned long long>(o, dst); }
inline int u32_arg(PyObject *o, void *dst) { return unsigned_arg<uint32_t>(o, dst); }

// Signed integers of the core's width, range-checked the same way.
template <class T>
inline int signed_arg(PyObject *o, void *dst) {
    static_assert(std::is_signed_v<T> && sizeof(T) <= sizeof(long long));
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return 0;
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
        PyErr_Format(PyExc_OverflowError, "%lld is out of range (%lld to %lld)", v,
                     static_cast<long long>(std::numeric_limits<T>::min()),
                     static_cast<long long>(std::numeric_limits<T>::max()));
        return 0;
    }
    *static_cast<T *>(dst) = static_cast<T>(v);
    return 1;
}

// A constructor argument outside the values its component accepts: ValueError
// "<name> must be <allowed>, got <value>" (the value as Python prints it). Returns `ok`, so a
// create function checks its keywords in order before calling the core:
//     if (!ox::py::require(dwell >= 1, "dwell", ">= 1", dwell)) return nullptr;
template <class T>
inline bool require(bool ok, const char *name, const char *allowed, T value) {
    if (ok) return true;
    PyObject *v;
    if constexpr (std::is_floating_point_v<T>)
        v = PyFloat_FromDouble(static_cast<double>(value));
    else if constexpr (std::is_signed_v<T>)
        v = PyLong_FromLongLong(static_cast<long long>(value));
    else
        v = PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
    if (v) {
        PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, allowed, v);
        Py_DECREF(v);
    }
    return false;
}

// The loop bandwidth and damping every tracking loop derives its gains from.
inline bool require_loop(double bn, double zeta) {
    return require(bn >= 0, "bn", ">= 0", bn) && require(zeta > 0, "zeta", "> 0", zeta);
}

// The amplitude reading 0 dB: full_scale, or 2**(bits-1) when bits is not 0.
inline bool require_scale(double full_scale, unsigned long long bits) {
    if (bits != 0) return require(bits <= 1024, "bits", "0 (use full_scale) or 1..1024", bits);
    return require(full_scale > 0, "full_scale", "> 0", full_scale);
}

// An M-PSK order.
inline bool require_psk_order(long long m) { return require(m == 2 || m == 4 || m == 8, "m", "2, 4 or 8", m); }

// Configuration values are finite: NaN or an infinity would leave an object that silently
// produces nothing, so it raises ValueError naming the parameter instead.
inline bool finite_arg(const char *name, double v) {
    if (std::isfinite(v)) return true;
    PyErr_Format(PyExc_ValueError, "%s must be finite, got %s", name,
                 std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf"));
    return false;
}
inline bool finite_args(std::initializer_list<std::pair<const char *, double>> values) {
    for (const auto &[name, v] : values)
        if (!finite_arg(name, v)) return false;
    return true;
}

// Physical memory of this machine in bytes (0 when unknown).
inline unsigned long long machine_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return 0;
    return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page);
}

// a * b saturated at 2^64 - 1 (a size product past that is as impossible as the saturated value).
inline unsigned long long product(unsigned long long a, unsigned long long b) {
    return a != 0 && b > std::numeric_limits<unsigned long long>::max() / a
               ? std::numeric_limits<unsigned long long>::max()
               : a * b;
}

// Size arguments are refused before anything is allocated when the buffers they imply (`count`
// units of about `unit_bytes` each) could not exist on this machine: allocating and zeroing
// them would hold the interpreter lock for a long time and end in MemoryError anyway.
inline bool size_fits(const char *name, unsigned long long count, unsigned long long unit_bytes) {
    const unsigned long long memory = machine_memory();
    if (unit_bytes == 0) unit_bytes = 1;
    if (memory == 0 || count <= memory / unit_bytes) return true;
    const unsigned long long most = std::numeric_limits<unsigned long long>::max();
    PyErr_Format(PyExc_ValueError,
                 "%s=%llu needs about %llu bytes, more than this machine's memory (%llu bytes)",
                 name, count, count > most / unit_bytes ? most : count * unit_bytes, memory);
    return false;
}

}  // namespace ox::py
