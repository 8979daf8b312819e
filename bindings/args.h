// Range-checked integer arguments for the Python bindings: "O&" converters that take any object
// with __index__ and raise OverflowError for a value outside the target type, instead of the
// wrapping that the 'k' and 'K' argument codes do.
//     unsigned long long n = 1024;
//     PyArg_ParseTupleAndKeywords(args, kw, "|O&:FFT", names, ox::py::u64_arg, &n)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <type_traits>

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

}  // namespace ox::py
