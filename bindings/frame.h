// The binding frame shared by every Python type of the extension modules.
//
// A Python type is a thin wrapper around one core object (an opaque pointer with a flat C API).
// Everything the types have in common lives here, once: the instance layout and lifecycle, the
// "destroyed" check, the block-processing template with its `out=` rules, interpreter-lock
// release, state-blob methods, telemetry attachment through a capsule, property getters and
// setters, generic argument-parsed calls, and module initialisation with NumPy's C API.
//
// A binding source then describes each type in a few lines:
//
//     namespace costas_py {
//     loop *create(PyObject *args, PyObject *kw) { ...parse keywords, call costas_create... }
//     PyMethodDef methods[] = {
//         OX_BLOCK("steps", costas_steps, costas_steps_max_out, "doc"),
//         OX_MAX_OUT("steps_max_out", costas_steps_max_out),
//         OX_TELEMETRY(costas_set_telemetry),
//         OX_STATE(costas),                 // reset, state_bytes, get_state, set_state
//         OX_LIFECYCLE(costas_destroy),     // destroy, __enter__, __exit__
//         OX_END_METHODS};
//     PyGetSetDef props[] = {OX_GET("lock_metric", costas_get_lock_metric, "doc"), OX_END_PROPS};
//     }
//     ... ox::py::TypeDef{"track.Costas", doc, ox::py::init<create, costas_destroy>,
//                         ox::py::dealloc<costas_destroy>, methods, props}
//
// Before including this header a module defines OX_MODULE_RELEASES_GIL to 1 (block calls run
// without the interpreter lock) or 0, and OX_MODULE_HAS_TELEMETRY to 1 when it links the
// telemetry ring (its types may attach contexts) or 0.
//
// What the frame guarantees for every type, whatever Python code a caller runs:
// - the core pointer is read only after every argument has been converted (a __float__,
//   __index__, __array__ or _capsule property may destroy or re-initialise the object);
// - while a block call runs without the interpreter lock the object is busy: any other use of
//   it (destroy(), __init__(), another method) from another thread raises RuntimeError instead
//   of freeing or changing the core under the running call;
// - sample blocks are numeric arrays (None and object arrays are refused) and an input that
//   overlaps the caller's `out` is staged first, so in-place calls give the same result as
//   separate buffers;
// - integers are range-checked, never wrapped;
// - a telemetry context attached through set_telemetry is held until the object detaches,
//   re-attaches or is destroyed, so it outlives its owner's close() while still written.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "args.h"
#include "common/ox_common.h"

#ifndef OX_MODULE_RELEASES_GIL
#error "define OX_MODULE_RELEASES_GIL (1 or 0) before including frame.h"
#endif
#ifndef OX_MODULE_HAS_TELEMETRY
#error "define OX_MODULE_HAS_TELEMETRY (1 or 0) before including frame.h"
#endif

#if OX_MODULE_HAS_TELEMETRY
#include "ox_tlm/ox_tlm_core.h"
#else
struct ox_tlm;
#endif

namespace ox::py {

inline constexpr bool kReleasesGil = OX_MODULE_RELEASES_GIL != 0;
inline constexpr bool kHasTelemetry = OX_MODULE_HAS_TELEMETRY != 0;
inline constexpr const char *kTlmCapsuleName = "ostrel.telemetry.ox_tlm";
inline constexpr const char *kOutMessage =
    "out must be a writable, C-contiguous ndarray of the output dtype";

// ---------------------------------------------------------------------------------------------
// Instance layout and access to the core.
// ---------------------------------------------------------------------------------------------
struct Object {
    PyObject_HEAD void *core;  // NULL before a successful __init__ and after destroy()
    ox_tlm *tlm;               // context attached through set_telemetry (held), or NULL
    int busy;                  // a block call runs on the core without the interpreter lock
};

inline Object *object_of(PyObject *self) { return reinterpret_cast<Object *>(self); }

// The live core of `self`, or NULL with RuntimeError set ("destroyed", or "object is busy" while
// another thread runs a block call on it). Called after all arguments are converted.
// alive() makes the same checks without reading the core: every method makes them first, so a
// destroyed object says so before its arguments are looked at, and again through core_of once
// they are converted.
inline bool alive(PyObject *self) {
    Object *obj = object_of(self);
    if (!obj->core) {
        PyErr_SetString(PyExc_RuntimeError, "destroyed");
        return false;
    }
    if (obj->busy) {
        PyErr_SetString(PyExc_RuntimeError, "object is busy");
        return false;
    }
    return true;
}

template <class Core>
inline Core *core_of(PyObject *self) {
    return alive(self) ? static_cast<Core *>(object_of(self)->core) : nullptr;
}

// Lets go of the object's telemetry attachment (the core no longer writes into the context):
// its probes are free for other objects again, and its hold on the context is released.
inline void drop_telemetry(Object *obj) {
#if OX_MODULE_HAS_TELEMETRY
    if (obj->tlm) {
        ox::tlm_unhold(obj->tlm, obj);
        ox::tlm_release(obj->tlm);
    }
#endif
    obj->tlm = nullptr;
}

// The producer marks of a block call on an attached context (no-ops without telemetry).
inline void enter_producer([[maybe_unused]] ox_tlm *tlm) {
#if OX_MODULE_HAS_TELEMETRY
    if (tlm) ox::tlm_producer_enter(tlm);
#endif
}
inline void leave_producer([[maybe_unused]] ox_tlm *tlm) {
#if OX_MODULE_HAS_TELEMETRY
    if (tlm) ox::tlm_producer_leave(tlm);
#endif
}

// ---------------------------------------------------------------------------------------------
// Function-pointer introspection: the core type and arguments of a core function.
// ---------------------------------------------------------------------------------------------
template <class F>
struct Fn;
template <class R, class C, class... A>
struct Fn<R (*)(C *, A...)> {
    using Ret = R;
    using Core = std::remove_const_t<C>;
    using Args = std::tuple<A...>;
};

template <auto F>
using CoreOf = typename Fn<decltype(F)>::Core;

// NumPy type numbers of the sample types that cross the boundary.
template <class T>
struct Npy;
template <> struct Npy<ox_cf32> { static constexpr int type = NPY_COMPLEX64; };
template <> struct Npy<ox_cf64> { static constexpr int type = NPY_COMPLEX128; };
template <> struct Npy<float> { static constexpr int type = NPY_FLOAT32; };
template <> struct Npy<double> { static constexpr int type = NPY_FLOAT64; };
template <> struct Npy<int8_t> { static constexpr int type = NPY_INT8; };
template <> struct Npy<int16_t> { static constexpr int type = NPY_INT16; };
template <> struct Npy<int32_t> { static constexpr int type = NPY_INT32; };
template <> struct Npy<uint8_t> { static constexpr int type = NPY_UINT8; };
template <> struct Npy<uint32_t> { static constexpr int type = NPY_UINT32; };
template <> struct Npy<uint64_t> { static constexpr int type = NPY_UINT64; };

// ---------------------------------------------------------------------------------------------
// Conversions between core values and Python objects.
// ---------------------------------------------------------------------------------------------
struct AsBool {};  // marks a getter whose integer result is a Python bool

template <class Conv = void, class R>
inline PyObject *to_py(R v) {
    if constexpr (std::is_same_v<Conv, AsBool> || std::is_same_v<R, bool>) {
        return PyBool_FromLong(v ? 1 : 0);
    } else if constexpr (std::is_floating_point_v<R>) {
        return PyFloat_FromDouble(static_cast<double>(v));
    } else if constexpr (std::is_signed_v<R>) {
        return PyLong_FromLongLong(static_cast<long long>(v));
    } else {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
    }
}


// Property setters accept anything convertible to the core argument type; integers must fit
// the core's width (OverflowError otherwise).
template <class T>
inline bool from_py(PyObject *o, T *out) {
    if constexpr (std::is_floating_point_v<T>) {
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) return false;
        *out = static_cast<T>(v);
        return true;
    } else if constexpr (std::is_same_v<T, bool>) {
        const int v = PyObject_IsTrue(o);
        if (v < 0) return false;
        *out = v != 0;
        return true;
    } else if constexpr (std::is_signed_v<T>) {
        return signed_arg<T>(o, out) != 0;
    } else {
        return unsigned_arg<T>(o, out) != 0;
    }
}

// Argument-parsing slot of each core argument type: the storage handed to
// PyArg_ParseTupleAndKeywords and its format code; unsigned counts go through the range-checked
// converters ("O&").
using Converter = int (*)(PyObject *, void *);
template <class T>
struct Slot;
template <> struct Slot<double> { using S = double; static constexpr const char code[] = "d"; };
template <> struct Slot<float> { using S = float; static constexpr const char code[] = "f"; };
template <> struct Slot<int> { using S = int; static constexpr const char code[] = "i"; };
template <> struct Slot<long> { using S = Py_ssize_t; static constexpr const char code[] = "n"; };
template <> struct Slot<const char *> { using S = const char *; static constexpr const char code[] = "s"; };
template <> struct Slot<PyObject *> { using S = PyObject *; static constexpr const char code[] = "O"; };
template <> struct Slot<uint32_t> {
    using S = uint32_t;
    static constexpr const char code[] = "O&";
    static constexpr Converter conv = u32_arg;
};
template <> struct Slot<unsigned long> {
    using S = unsigned long long;
    static constexpr const char code[] = "O&";
    static constexpr Converter conv = u64_arg;
};
template <> struct Slot<unsigned long long> : Slot<unsigned long> {};

// The format string of a core function's arguments, followed by ':' (no function name).
template <class... A>
struct Format {
    static constexpr auto make() {
        constexpr size_t n = ((sizeof(Slot<A>::code) - 1) + ... + 0) + 2;
        std::array<char, n> f{};
        size_t k = 0;
        ((std::copy_n(Slot<A>::code, sizeof(Slot<A>::code) - 1, f.begin() + k),
          k += sizeof(Slot<A>::code) - 1),
         ...);
        f[k] = ':';
        return f;
    }
    static constexpr std::array value = make();
};

// The varargs one slot contributes: its address, preceded by its converter for "O&".
template <class T>
inline auto slot_args(typename Slot<T>::S &slot) {
    if constexpr (requires { Slot<T>::conv; }) {
        return std::make_tuple(Slot<T>::conv, &slot);
    } else {
        return std::make_tuple(&slot);
    }
}

// Keyword lists are NULL-terminated arrays of names with static storage.
using Keywords = const char *const *;

inline int parse(PyObject *args, PyObject *kw, const char *fmt, Keywords names, auto... slots) {
    return PyArg_ParseTupleAndKeywords(args, kw, fmt, const_cast<char **>(names), slots...);
}

// Parses the arguments of core function F (after its core pointer) into `slots`.
template <class Args, class Slots, size_t... I>
inline bool parse_slots(PyObject *args, PyObject *kw, Keywords names, Slots &slots,
                        std::index_sequence<I...>) {
    static constexpr auto fmt = Format<std::tuple_element_t<I, Args>...>::value;
    auto argv = std::tuple_cat(slot_args<std::tuple_element_t<I, Args>>(std::get<I>(slots))...);
    return std::apply([&](auto... a) { return parse(args, kw, fmt.data(), names, a...); }, argv);
}

// ---------------------------------------------------------------------------------------------
// Lifecycle: tp_new, tp_init, tp_dealloc, destroy / __enter__ / __exit__.
// ---------------------------------------------------------------------------------------------
inline PyObject *tp_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self) {
        Object *obj = object_of(self);
        obj->core = nullptr;
        obj->tlm = nullptr;
        obj->busy = 0;
    }
    return self;
}

inline bool refuse_if_busy(Object *obj) {
    if (!obj->busy) return false;
    PyErr_SetString(PyExc_RuntimeError, "object is busy");
    return true;
}

// Frees the core and its telemetry attachment.
template <auto Destroy>
void release_core(Object *obj) {
    if (obj->core) Destroy(static_cast<CoreOf<Destroy> *>(obj->core));
    obj->core = nullptr;
    drop_telemetry(obj);
}

// `Create` parses the constructor keywords and returns a new core, or NULL with an exception
// set (see `created`). A second __init__ on a live object replaces (and frees) the old core;
// a failed __init__ always leaves the pointer NULL. The old core is read only after the new
// one exists (the keywords' conversions may have run arbitrary code), and an object busy on
// another thread is left alone.
template <auto Create, auto Destroy>
int tp_init(PyObject *self, PyObject *args, PyObject *kw) {
    Object *obj = object_of(self);
    void *fresh = Create(args, kw);
    if (refuse_if_busy(obj)) {
        if (fresh) Destroy(static_cast<CoreOf<Destroy> *>(fresh));
        return -1;
    }
    release_core<Destroy>(obj);
    if (!fresh) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_MemoryError, "create returned NULL");
        return -1;
    }
    obj->core = fresh;
    return 0;
}

// Turns a NULL from a core create function into the type's exception.
template <class Core>
inline Core *created(Core *core, PyObject *exc, const char *message) {
    if (!core) PyErr_SetString(exc, message);
    return core;
}

// A running block call holds a reference to its object, so deallocation never meets a busy one.
template <auto Destroy>
void tp_dealloc(PyObject *self) {
    release_core<Destroy>(object_of(self));
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);  // instances of heap types own a reference to their type
}

template <auto Destroy>
PyObject *destroy(PyObject *self, PyObject *) {
    Object *obj = object_of(self);
    if (refuse_if_busy(obj)) return nullptr;
    release_core<Destroy>(obj);
    Py_RETURN_NONE;
}

inline PyObject *enter(PyObject *self, PyObject *) { return Py_NewRef(self); }

template <auto Destroy>
PyObject *exit(PyObject *self, PyObject *) {
    return destroy<Destroy>(self, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Arrays.
// ---------------------------------------------------------------------------------------------

inline bool is_numeric_type(int type_num) {
    return PyTypeNum_ISBOOL(type_num) || PyTypeNum_ISINTEGER(type_num) ||
           PyTypeNum_ISFLOAT(type_num) || PyTypeNum_ISCOMPLEX(type_num);
}

inline PyArrayObject *refuse_non_numeric(PyObject *x) {
    PyErr_Format(PyExc_TypeError, "expected an array of numbers as the sample block, got %.200s",
                 x == Py_None ? "None" : Py_TYPE(x)->tp_name);
    return nullptr;
}

// Converts `x` to a C-contiguous, aligned array of dtype T without a forced cast (an unsafe cast
// raises NumPy's TypeError). Any shape is taken as its flat element sequence. Sample blocks are
// numbers: None, and sequences, arrays or scalars holding anything else (None, strings and bytes
// of any kind, objects), raise TypeError instead of turning into NaN samples or parsed text.
// A Python sequence or scalar is first looked at to find what it holds, then converted directly
// as before (a list of floats feeds a complex64 method; a list of complex numbers given to a
// real method is refused by NumPy).
template <class T>
inline PyArrayObject *input_array(PyObject *x) {
    constexpr int kFlags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
    if (PyArray_Check(x)) {
        auto *a = reinterpret_cast<PyArrayObject *>(x);
        // Fast path for the common case, with the result PyArray_FromAny would give: an exact
        // ndarray of the dtype in native byte order, already C-contiguous and aligned.
        if (PyArray_CheckExact(x) && PyArray_TYPE(a) == Npy<T>::type && PyArray_ISNOTSWAPPED(a) &&
            PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a)) {
            Py_INCREF(x);
            return a;
        }
        if (!is_numeric_type(PyArray_TYPE(a))) return refuse_non_numeric(x);
    } else if (x == Py_None || PyByteArray_Check(x)) {
        return refuse_non_numeric(x);
    } else if (PyArray_IsScalar(x, Generic)) {
        // A NumPy scalar: only numbers (np.str_("1.5") and np.bytes_ would otherwise be parsed).
        if (!PyArray_IsScalar(x, Number) && !PyArray_IsScalar(x, Bool)) return refuse_non_numeric(x);
    } else {
        // A Python sequence or number: refuse it when it holds anything but numbers (a direct
        // conversion would turn None into NaN), else convert it directly below.
        auto *found = reinterpret_cast<PyArrayObject *>(PyArray_FromAny(x, nullptr, 0, 0, 0, nullptr));
        if (!found) return nullptr;
        const bool numeric = is_numeric_type(PyArray_TYPE(found));
        Py_DECREF(found);
        if (!numeric) return refuse_non_numeric(x);
    }
    return reinterpret_cast<PyArrayObject *>(
        PyArray_FromAny(x, PyArray_DescrFromType(Npy<T>::type), 0, 0, kFlags, nullptr));
}

// The bytes an array's elements span (for overlap tests of contiguous arrays).
inline bool spans_overlap(const void *a, size_t a_bytes, const void *b, size_t b_bytes) {
    const auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
    return a_bytes && b_bytes && pa < pb + b_bytes && pb < pa + a_bytes;
}

// When the caller's `out` shares memory with the converted input, replaces the input by a copy
// so the core never reads samples it has already overwritten: the result equals that of
// separate buffers. Returns false with an error set when the copy cannot be made.
inline bool stage_if_overlapping(PyArrayObject **in, PyObject *out_obj) {
    if (!out_obj || !PyArray_Check(out_obj)) return true;
    auto *out = reinterpret_cast<PyArrayObject *>(out_obj);
    if (!spans_overlap(PyArray_DATA(*in), static_cast<size_t>(PyArray_NBYTES(*in)),
                       PyArray_DATA(out), static_cast<size_t>(PyArray_NBYTES(out))))
        return true;
    auto *copy = reinterpret_cast<PyArrayObject *>(PyArray_NewCopy(*in, NPY_CORDER));
    if (!copy) return false;
    Py_DECREF(*in);
    *in = copy;
    return true;
}

// Checks a caller's `out`: an ndarray (or subclass) of exactly the dtype in native byte order
// (a byte-swapped array has the same type number but would show the core's native values
// garbled), C-contiguous and writeable, and aligned for its dtype (the core writes through
// typed pointers). Raises TypeError with `message` otherwise.
template <class T>
inline PyArrayObject *checked_out(PyObject *out, const char *message = kOutMessage) {
    if (!PyArray_Check(out)) {
        PyErr_SetString(PyExc_TypeError, message);
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(out);
    if (PyArray_TYPE(a) != Npy<T>::type || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISWRITEABLE(a) || !PyArray_ISALIGNED(a)) {
        PyErr_SetString(PyExc_TypeError, message);
        return nullptr;
    }
    return a;
}

template <class T>
inline PyArrayObject *new_vector(npy_intp n) {
    return reinterpret_cast<PyArrayObject *>(PyArray_SimpleNew(1, &n, Npy<T>::type));
}

// Cuts a freshly allocated result to `n` elements in place (no reference check: nobody else
// has seen the array yet). Steals `arr`; returns it, or NULL with the error set.
inline PyObject *shrink(PyArrayObject *arr, npy_intp n) {
    if (PyArray_SIZE(arr) == n) return reinterpret_cast<PyObject *>(arr);
    PyArray_Dims dims{&n, 1};
    PyObject *r = PyArray_Resize(arr, &dims, 0, NPY_CORDER);
    if (!r) {
        Py_DECREF(arr);
        return nullptr;
    }
    Py_DECREF(r);
    return reinterpret_cast<PyObject *>(arr);
}

// A one-dimensional view of the first `n` elements of `out`, whose base is `out`.
template <class T>
inline PyObject *view_of(PyArrayObject *out, npy_intp n) {
    PyArray_Descr *descr = PyArray_DescrFromType(Npy<T>::type);
    PyObject *v = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &n, nullptr, PyArray_DATA(out),
                                       NPY_ARRAY_CARRAY, nullptr);
    if (!v) return nullptr;
    Py_INCREF(out);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(v),
                              reinterpret_cast<PyObject *>(out)) < 0) {
        Py_DECREF(v);
        return nullptr;
    }
    return v;
}

// Runs `call` on the object's core, without the interpreter lock when the module releases it
// for block calls. Meanwhile the object is marked busy (other threads' uses of it raise), and a
// context it publishes telemetry into counts the call as a producer (it cannot be resized under
// it). Both marks are set and cleared while the interpreter lock is held.
template <bool Release, class F>
inline auto run_block(PyObject *self, F &&call) {
    if constexpr (Release) {
        Object *obj = object_of(self);
        ox_tlm *tlm = obj->tlm;
        obj->busy = 1;
        enter_producer(tlm);
        decltype(call()) r;
        Py_BEGIN_ALLOW_THREADS r = call();
        Py_END_ALLOW_THREADS
        leave_producer(tlm);
        obj->busy = 0;
        return r;
    } else {
        return call();
    }
}

// Shared tail of every output-producing method: given the output capacity required, either
// allocate a result and cut it to the count produced, or check the caller's `out` and return a
// view of its first elements. `call(out_data, cap)` runs the core and returns the count.
template <class Out, bool Release, class Call>
PyObject *produce(PyObject *self, PyObject *out_obj, size_t cap_min, Call &&call) {
    if (!out_obj || out_obj == Py_None) {
        PyArrayObject *res = new_vector<Out>(static_cast<npy_intp>(cap_min));
        if (!res) return nullptr;
        auto *data = static_cast<Out *>(PyArray_DATA(res));
        const size_t produced = run_block<Release>(self, [&] { return call(data, cap_min); });
        return shrink(res, static_cast<npy_intp>(produced));
    }
    PyArrayObject *out = checked_out<Out>(out_obj);
    if (!out) return nullptr;
    const size_t cap = static_cast<size_t>(PyArray_SIZE(out));
    if (cap < cap_min) {
        PyErr_Format(PyExc_ValueError, "out has %zu elements, need >= %zu", cap, cap_min);
        return nullptr;
    }
    auto *data = static_cast<Out *>(PyArray_DATA(out));
    const size_t produced = run_block<Release>(self, [&] { return call(data, cap); });
    return view_of<Out>(out, static_cast<npy_intp>(produced));
}

// ---------------------------------------------------------------------------------------------
// Block processing: `method(x, out=None)` over `size_t F(core, const In *, n_in, Out *, cap)`
// with the output bound `size_t MaxOut(core)`.
// ---------------------------------------------------------------------------------------------
template <class F>
struct BlockFn;
template <class C, class In, class Out>
struct BlockFn<size_t (*)(C *, const In *, size_t, Out *, size_t)> {
    using I = In;
    using O = Out;
};

inline constexpr const char *kBlockKeywords[] = {"x", "out", nullptr};

// Parses `(x, out=None)` of a block call. The shapes used in streaming loops (x alone, x and out
// positional, x positional with out= as the only keyword) are taken without the general keyword
// parser, which stays the path for every other call, its error messages included.
inline bool parse_block_args(PyObject *args, PyObject *kw, Keywords names, PyObject **x,
                             PyObject **out) {
    const Py_ssize_t n_args = PyTuple_GET_SIZE(args);
    const Py_ssize_t n_kw = kw ? PyDict_GET_SIZE(kw) : 0;
    if (n_kw == 0 && (n_args == 1 || n_args == 2)) {
        *x = PyTuple_GET_ITEM(args, 0);
        *out = n_args == 2 ? PyTuple_GET_ITEM(args, 1) : nullptr;
        return true;
    }
    if (n_kw == 1 && n_args == 1) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        if (PyDict_Next(kw, &pos, &key, &value) && PyUnicode_Check(key) &&
            PyUnicode_CompareWithASCIIString(key, names[1]) == 0) {
            *x = PyTuple_GET_ITEM(args, 0);
            *out = value;
            return true;
        }
    }
    return parse(args, kw, "O|O", names, x, out);
}

// `Names` renames the two keywords (input first, then out) where a method's input is not `x`.
// `FreshCap`, when given, is `size_t FreshCap(core, n_in)`: the size of a result allocated
// without `out` when a block can yield more than max(MaxOut, n_in) outputs and the core's bound
// cannot say so (a given `out` keeps the usual rule).
template <auto F, auto MaxOut, bool Release = kReleasesGil, Keywords Names = kBlockKeywords,
          auto FreshCap = nullptr>
PyObject *block(PyObject *self, PyObject *args, PyObject *kw) {
    using Core = CoreOf<F>;
    using In = typename BlockFn<decltype(F)>::I;
    using Out = typename BlockFn<decltype(F)>::O;
    if (!alive(self)) return nullptr;
    PyObject *x = nullptr, *out_obj = nullptr;
    if (!parse_block_args(args, kw, Names, &x, &out_obj)) return nullptr;
    PyArrayObject *in = input_array<In>(x);
    if (!in) return nullptr;
    Core *core = core_of<Core>(self);
    if (!core || !stage_if_overlapping(&in, out_obj)) {
        Py_DECREF(in);
        return nullptr;
    }
    const auto *in_data = static_cast<const In *>(PyArray_DATA(in));
    const size_t n_in = static_cast<size_t>(PyArray_SIZE(in));
    const size_t max_out = MaxOut(core);
    size_t cap_min = max_out > n_in ? max_out : n_in;
    if constexpr (FreshCap != nullptr) {
        if (!out_obj || out_obj == Py_None) cap_min = std::max(cap_min, FreshCap(core, n_in));
    }
    PyObject *r = produce<Out, Release>(self, out_obj, cap_min, [&](Out *o, size_t cap) {
        return F(core, in_data, n_in, o, cap);
    });
    Py_DECREF(in);
    return r;
}

// As `block`, for components that produce a whole result or nothing (a correlator's dump, an
// analyzer's frame): a call that produced nothing returns None instead of an empty array, also
// when `out` was given.
template <auto F, auto MaxOut, bool Release = kReleasesGil>
PyObject *block_or_none(PyObject *self, PyObject *args, PyObject *kw) {
    PyObject *r = block<F, MaxOut, Release>(self, args, kw);
    if (r && PyArray_SIZE(reinterpret_cast<PyArrayObject *>(r)) == 0) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    return r;
}

// `method(x, /)`: a block call without `out=` over `size_t F(core, const In *, n_in, Out *)`
// whose output bound is `size_t MaxOut(core)`. The input is converted like a block input and
// holds `Group` values per sample (2 for interleaved I/Q; a trailing partial group is ignored),
// so n_in = element count / Group. A fresh array of max(MaxOut, n_in) elements is allocated and
// cut to the count produced.
template <class F>
struct FreshFn;
template <class C, class In, class Out>
struct FreshFn<size_t (*)(C *, const In *, size_t, Out *)> {
    using I = In;
    using O = Out;
};

template <auto F, auto MaxOut, size_t Group = 1, bool Release = kReleasesGil>
PyObject *block_fresh(PyObject *self, PyObject *x) {
    using Core = CoreOf<F>;
    using In = typename FreshFn<decltype(F)>::I;
    using Out = typename FreshFn<decltype(F)>::O;
    static_assert(Group > 0);
    if (!alive(self)) return nullptr;
    PyArrayObject *in = input_array<In>(x);
    if (!in) return nullptr;
    Core *core = core_of<Core>(self);
    if (!core) {
        Py_DECREF(in);
        return nullptr;
    }
    const auto *in_data = static_cast<const In *>(PyArray_DATA(in));
    const size_t n_in = static_cast<size_t>(PyArray_SIZE(in)) / Group;
    const size_t max_out = MaxOut(core);
    const size_t cap_min = max_out > n_in ? max_out : n_in;
    PyObject *r = produce<Out, Release>(self, nullptr, cap_min, [&](Out *o, size_t) {
        return F(core, in_data, n_in, o);
    });
    Py_DECREF(in);
    return r;
}

// `method(x, out=None)` over `void F(core, const In *, Out *, n)` with exactly one output per
// input: the interpreter lock is kept, `out` must have exactly the input length and is itself
// returned (the loop filter's contract).
template <auto F>
PyObject *block_same_length(PyObject *self, PyObject *args, PyObject *kw) {
    using Core = CoreOf<F>;
    using Args = typename Fn<decltype(F)>::Args;
    using In = std::remove_const_t<std::remove_pointer_t<std::tuple_element_t<0, Args>>>;
    using Out = std::remove_pointer_t<std::tuple_element_t<1, Args>>;
    static const char *const names[] = {"x", "out", nullptr};
    if (!alive(self)) return nullptr;
    PyObject *x = nullptr, *out_obj = nullptr;
    if (!parse(args, kw, "O|O", names, &x, &out_obj)) return nullptr;
    PyArrayObject *in = input_array<In>(x);
    if (!in) return nullptr;
    Core *core = core_of<Core>(self);
    if (!core || !stage_if_overlapping(&in, out_obj)) {
        Py_DECREF(in);
        return nullptr;
    }
    const npy_intp n = PyArray_SIZE(in);
    PyArrayObject *out;
    if (!out_obj || out_obj == Py_None) {
        out = new_vector<Out>(n);
    } else {
        out = checked_out<Out>(out_obj);
        if (out && PyArray_SIZE(out) != n) {
            PyErr_Format(PyExc_ValueError, "out length %zd != input length %zd",
                         static_cast<Py_ssize_t>(PyArray_SIZE(out)), static_cast<Py_ssize_t>(n));
            out = nullptr;
        }
        Py_XINCREF(out);
    }
    if (!out) {
        Py_DECREF(in);
        return nullptr;
    }
    F(core, static_cast<const In *>(PyArray_DATA(in)), static_cast<Out *>(PyArray_DATA(out)),
      static_cast<size_t>(n));
    Py_DECREF(in);
    return reinterpret_cast<PyObject *>(out);
}

// Readout without input: `method(count=1, out=None)` over
// `size_t F(core, size_t count, Out *, cap)` with the bound `size_t MaxOut(core)`. The output is
// sized max(count, MaxOut) like a block call; when the core produces nothing the method returns
// None (a given `out` is left untouched).
template <class F>
struct ReadoutFn;
template <class C, class Out>
struct ReadoutFn<size_t (*)(C *, size_t, Out *, size_t)> {
    using O = Out;
};

template <auto F, auto MaxOut, bool Release = kReleasesGil>
PyObject *readout(PyObject *self, PyObject *args, PyObject *kw) {
    using Core = CoreOf<F>;
    using Out = typename ReadoutFn<decltype(F)>::O;
    static const char *const names[] = {"count", "out", nullptr};
    if (!alive(self)) return nullptr;
    Py_ssize_t count = 1;
    PyObject *out_obj = nullptr;
    if (!parse(args, kw, "|nO", names, &count, &out_obj)) return nullptr;
    Core *core = core_of<Core>(self);
    if (!core) return nullptr;
    const size_t requested = count > 0 ? static_cast<size_t>(count) : 0;
    const size_t max_out = MaxOut(core);
    const size_t cap_min = max_out > requested ? max_out : requested;
    size_t produced = 0;
    PyObject *r = produce<Out, Release>(self, out_obj, cap_min, [&](Out *o, size_t cap) {
        produced = F(core, requested, o, cap);
        return produced;
    });
    if (r && produced == 0) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    return r;
}

// A method taking one array, converted like a block input (C-contiguous, dtype of the core's
// pointer argument, any shape taken flat), over `R F(core, const In *, size_t n)`. `Names` holds
// the one keyword. The core result becomes the Python result, or None when `ReturnNone`.
template <class F>
struct ArrayFn;
template <class R, class C, class In>
struct ArrayFn<R (*)(C *, const In *, size_t)> {
    using I = In;
};

template <auto F, Keywords Names, bool ReturnNone>
PyObject *array_call(PyObject *self, PyObject *args, PyObject *kw) {
    using Core = CoreOf<F>;
    using In = typename ArrayFn<decltype(F)>::I;
    if (!alive(self)) return nullptr;
    PyObject *x = nullptr;
    if (!parse(args, kw, "O", Names, &x)) return nullptr;
    PyArrayObject *in = input_array<In>(x);
    if (!in) return nullptr;
    Core *core = core_of<Core>(self);
    if (!core) {
        Py_DECREF(in);
        return nullptr;
    }
    const auto *data = static_cast<const In *>(PyArray_DATA(in));
    const size_t n = static_cast<size_t>(PyArray_SIZE(in));
    const auto result =
        run_block<ReturnNone && kReleasesGil>(self, [&] { return F(core, data, n); });
    Py_DECREF(in);
    if constexpr (ReturnNone) {
        (void)result;
        Py_RETURN_NONE;
    } else {
        return to_py(result);
    }
}

// `<block>_max_out()`.
template <auto MaxOut>
PyObject *max_out(PyObject *self, PyObject *) {
    auto *core = core_of<CoreOf<MaxOut>>(self);
    return core ? to_py(MaxOut(core)) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Generic calls: a method whose positional-or-keyword arguments are parsed by the argument
// types of the core function (after the core pointer), all required. `Names` lists the
// keywords. The core result becomes the Python result (void gives None). With `Finite` (the
// configuration calls) a NaN or infinite floating argument raises ValueError naming it.
// ---------------------------------------------------------------------------------------------
template <class T, class S>
inline bool finite_slot(const char *name, const S &v) {
    if constexpr (std::is_floating_point_v<T>) {
        return finite_arg(name, static_cast<double>(v));
    } else {
        return true;
    }
}

template <class Args, class Slots, size_t... I>
inline bool finite_slots(Keywords names, const Slots &slots, std::index_sequence<I...>) {
    return (finite_slot<std::tuple_element_t<I, Args>>(names[I], std::get<I>(slots)) && ...);
}

template <auto F, Keywords Names, class Conv = void, bool Finite = false>
PyObject *call(PyObject *self, PyObject *args, PyObject *kw) {
    using Core = CoreOf<F>;
    using Ret = typename Fn<decltype(F)>::Ret;
    using Args = typename Fn<decltype(F)>::Args;
    if (!alive(self)) return nullptr;
    return [&]<size_t... I>(std::index_sequence<I...>) -> PyObject * {
        std::tuple<typename Slot<std::tuple_element_t<I, Args>>::S...> slots{};
        if constexpr (sizeof...(I) > 0) {
            if (!parse_slots<Args>(args, kw, Names, slots, std::index_sequence<I...>{}))
                return nullptr;
            if (Finite && !finite_slots<Args>(Names, slots, std::index_sequence<I...>{}))
                return nullptr;
        } else {
            static const char *const none[] = {nullptr};
            if (!parse(args, kw, ":", none)) return nullptr;
        }
        Core *core = core_of<Core>(self);
        if (!core) return nullptr;
        if constexpr (std::is_void_v<Ret>) {
            F(core, static_cast<std::tuple_element_t<I, Args>>(std::get<I>(slots))...);
            Py_RETURN_NONE;
        } else {
            return to_py<Conv>(
                F(core, static_cast<std::tuple_element_t<I, Args>>(std::get<I>(slots))...));
        }
    }(std::make_index_sequence<std::tuple_size_v<Args>>{});
}

// As `call` (floating arguments finite), for core functions returning a status code: a
// non-zero code raises ValueError with `Message` formatted with the code (e.g.
// "configure_lock failed (rc=%d)").
template <auto F, Keywords Names, const char *Message>
PyObject *call_checked(PyObject *self, PyObject *args, PyObject *kw) {
    using Core = CoreOf<F>;
    using Args = typename Fn<decltype(F)>::Args;
    if (!alive(self)) return nullptr;
    return [&]<size_t... I>(std::index_sequence<I...>) -> PyObject * {
        std::tuple<typename Slot<std::tuple_element_t<I, Args>>::S...> slots{};
        if (!parse_slots<Args>(args, kw, Names, slots, std::index_sequence<I...>{}) ||
            !finite_slots<Args>(Names, slots, std::index_sequence<I...>{}))
            return nullptr;
        Core *core = core_of<Core>(self);
        if (!core) return nullptr;
        const int rc = F(core, static_cast<std::tuple_element_t<I, Args>>(std::get<I>(slots))...);
        if (rc != 0) return PyErr_Format(PyExc_ValueError, Message, rc);
        Py_RETURN_NONE;
    }(std::make_index_sequence<std::tuple_size_v<Args>>{});
}

// ---------------------------------------------------------------------------------------------
// State blobs.
// ---------------------------------------------------------------------------------------------
template <auto Bytes>
PyObject *state_bytes(PyObject *self, PyObject *) {
    auto *core = core_of<CoreOf<Bytes>>(self);
    return core ? to_py(Bytes(core)) : nullptr;
}

template <auto Bytes, auto Get>
PyObject *get_state(PyObject *self, PyObject *) {
    auto *core = core_of<CoreOf<Get>>(self);
    if (!core) return nullptr;
    PyObject *blob = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(Bytes(core)));
    if (blob) Get(core, PyBytes_AS_STRING(blob));
    return blob;
}

// `Legacy`, when given, is the length of an older blob layout the core's set function still
// reads (it tells the two apart by the header's version). Such a blob is passed on only when its
// header's length field equals its size, so the core never reads past a shorter blob.
template <auto Bytes, auto Set, auto Legacy = nullptr>
PyObject *set_state(PyObject *self, PyObject *blob) {
    auto *core = core_of<CoreOf<Set>>(self);
    if (!core) return nullptr;
    if (!PyBytes_Check(blob)) {
        PyErr_SetString(PyExc_TypeError, "set_state expects bytes");
        return nullptr;
    }
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(blob));
    bool size_ok = size == Bytes(core);
    if constexpr (!std::is_same_v<decltype(Legacy), std::nullptr_t>) {
        if (!size_ok && size == Legacy(core) && size >= kBlobHeaderBytes) {
            uint32_t declared;
            std::memcpy(&declared, PyBytes_AS_STRING(blob) + 8, sizeof declared);
            size_ok = declared == size;
            if (!size_ok) {
                PyErr_SetString(PyExc_ValueError, "set_state rejected the blob");
                return nullptr;
            }
        }
    }
    if (!size_ok) {
        PyErr_SetString(PyExc_ValueError, "state blob size mismatch");
        return nullptr;
    }
    if (Set(core, PyBytes_AS_STRING(blob)) != 0) {
        PyErr_SetString(PyExc_ValueError, "set_state rejected the blob");
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <auto Reset>
PyObject *reset(PyObject *self, PyObject *) {
    auto *core = core_of<CoreOf<Reset>>(self);
    if (!core) return nullptr;
    Reset(core);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Telemetry: `set_telemetry(tlm, prefix, decim=1)` over `int F(core, ox_tlm *, prefix, decim)`.
// `tlm` is None (detach), the capsule itself, or an object carrying it in `_capsule`.
// ---------------------------------------------------------------------------------------------
inline bool telemetry_context(PyObject *tlm, ox_tlm **ring) {
    *ring = nullptr;
    if (tlm == Py_None) return true;
    PyObject *capsule = PyCapsule_CheckExact(tlm) ? Py_NewRef(tlm)
                                                  : PyObject_GetAttrString(tlm, "_capsule");
    if (!capsule) return false;
    const char *name = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
    if (name && std::strncmp(name, kTlmCapsuleName, std::strlen(kTlmCapsuleName)) == 0 &&
        std::strcmp(name, kTlmCapsuleName) != 0) {
        // The owner renames the capsule when it closes the context.
        PyErr_SetString(PyExc_ValueError, "set_telemetry: the telemetry context is closed");
    } else {
        *ring = static_cast<ox_tlm *>(PyCapsule_GetPointer(capsule, kTlmCapsuleName));
    }
    Py_DECREF(capsule);
    return *ring != nullptr;
}

inline constexpr char kSetTelemetryFailed[] = "set_telemetry failed (rc=%d)";

#if OX_MODULE_HAS_TELEMETRY
// The reason a refused attachment gives after `Message` (which the status code formats).
inline PyObject *telemetry_refused(const char *message, int rc, const ox::TlmAttach &txn,
                                   const char *prefix) {
    PyObject *head = PyUnicode_FromFormat(message, rc);
    if (!head) return nullptr;
    PyObject *text = nullptr;
    switch (txn.refusal()) {
    case ox::TlmAttach::kDecimation:
        text = PyUnicode_FromFormat("%U: decim must be at least 1", head);
        break;
    case ox::TlmAttach::kCutCollision:
        text = PyUnicode_FromFormat("%U: probe names of prefix '%s' collide as '%s' once cut to "
                                    "%d characters (use a shorter prefix)",
                                    head, prefix, txn.refused_name(),
                                    static_cast<int>(OX_TLM_NAME_BYTES - 1));
        break;
    case ox::TlmAttach::kHeld:
        text = PyUnicode_FromFormat("%U: prefix '%s' is in use by another object attached to this "
                                    "context (probe '%s'); give each object its own prefix",
                                    head, prefix, txn.refused_name());
        break;
    case ox::TlmAttach::kFull:
        text = PyUnicode_FromFormat("%U: the context's probe table is full (%d probes)", head,
                                    static_cast<int>(OX_TLM_MAX_PROBES));
        break;
    case ox::TlmAttach::kNone:
        text = Py_NewRef(head);
        break;
    }
    Py_DECREF(head);
    if (text) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
    }
    return nullptr;
}
#endif

// On success the object holds the new context (and lets go of the one it held before), so a
// context stays alive while any object writes into it, even after its owner is closed.
template <auto F, const char *Message = kSetTelemetryFailed>
PyObject *set_telemetry(PyObject *self, PyObject *args, PyObject *kw) {
    static_assert(kHasTelemetry || sizeof(F) == 0, "set_telemetry needs the telemetry ring");
    static const char *const names[] = {"tlm", "prefix", "decim", nullptr};
    if (!alive(self)) return nullptr;
    PyObject *tlm = nullptr;
    const char *prefix = nullptr;
    uint32_t decim = 1;
    if (!parse(args, kw, "Os|O&", names, &tlm, &prefix, u32_arg, &decim)) return nullptr;
    ox_tlm *ring;
    if (!telemetry_context(tlm, &ring)) return nullptr;
    auto *core = core_of<CoreOf<F>>(self);
    if (!core) return nullptr;
    Object *obj = object_of(self);
#if OX_MODULE_HAS_TELEMETRY
    // One transaction over the whole attachment, held by this object: a name another object
    // holds is refused, and the reason of a refusal is told.
    ox::TlmAttach txn(ring, obj);
    const int rc = F(core, ring, prefix, static_cast<int>(decim));
    if (rc != 0) return telemetry_refused(Message, rc, txn, prefix);
    txn.commit();
#else
    const int rc = F(core, ring, prefix, static_cast<int>(decim));
    if (rc != 0) return PyErr_Format(PyExc_ValueError, Message, rc);
#endif
    if (ring != obj->tlm) {
#if OX_MODULE_HAS_TELEMETRY
        if (ring) ox::tlm_hold(ring);
#endif
        drop_telemetry(obj);
        obj->tlm = ring;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Properties over core getters `R G(core)` and setters `S(core, T)` (setter result ignored).
// A floating property refuses NaN and infinities (ValueError naming the property, whose name
// the table passes as the closure).
// ---------------------------------------------------------------------------------------------
template <auto G, class Conv = void>
PyObject *getter(PyObject *self, void *) {
    auto *core = core_of<CoreOf<G>>(self);
    return core ? to_py<Conv>(G(core)) : nullptr;
}

template <auto S>
int setter(PyObject *self, PyObject *value, void *closure) {
    using T = std::tuple_element_t<0, typename Fn<decltype(S)>::Args>;
    if (!alive(self)) return -1;
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "attribute cannot be deleted");
        return -1;
    }
    T v;
    if (!from_py(value, &v)) return -1;
    if constexpr (std::is_floating_point_v<T>) {
        if (!finite_arg(closure ? static_cast<const char *>(closure) : "value", v)) return -1;
    }
    auto *core = core_of<CoreOf<S>>(self);
    if (!core) return -1;
    S(core, v);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Types and modules.
// ---------------------------------------------------------------------------------------------
struct TypeDef {
    const char *name;  // full dotted name, e.g. "track.Costas"
    const char *doc;
    initproc init;
    destructor dealloc;
    PyMethodDef *methods;
    PyGetSetDef *getset;
};

// Method docstrings open with their text signature written as the call reads,
// "steps(x, out=None)\n--\n\n...". The receiver is added here, once for every type:
// "steps($self, x, out=None)", so inspect.signature(Type.steps) reads (self, x, out=None) and a
// bound method (x, out=None). The rewritten docstring replaces the entry in the static table
// for the life of the process; a table already rewritten (or written with "$") is left alone.
inline bool add_receiver_to_signatures(PyMethodDef *methods) {
    static constexpr char kEnd[] = ")\n--\n\n";
    for (PyMethodDef *m = methods; m && m->ml_name; ++m) {
        const char *doc = m->ml_doc;
        const size_t name_len = std::strlen(m->ml_name);
        if (!doc || std::strncmp(doc, m->ml_name, name_len) != 0 || doc[name_len] != '(') continue;
        const char *params = doc + name_len + 1;
        if (*params == '$' || !std::strstr(params, kEnd)) continue;
        const char *receiver = *params == ')' ? "$self" : "$self, ";
        const size_t len = std::strlen(doc) + std::strlen(receiver) + 1;
        auto *text = static_cast<char *>(PyMem_RawMalloc(len));
        if (!text) {
            PyErr_NoMemory();
            return false;
        }
        std::snprintf(text, len, "%.*s%s%s", static_cast<int>(name_len + 1), doc, receiver, params);
        m->ml_doc = text;
    }
    return true;
}

// Final (no subclassing), no instance dictionary, no cyclic GC.
inline PyTypeObject *make_type(const TypeDef &def) {
    if (!add_receiver_to_signatures(def.methods)) return nullptr;
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(tp_new)},
        {Py_tp_init, reinterpret_cast<void *>(def.init)},
        {Py_tp_dealloc, reinterpret_cast<void *>(def.dealloc)},
        {Py_tp_doc, const_cast<char *>(def.doc)},
        {Py_tp_methods, def.methods},
        {Py_tp_getset, def.getset},
        {0, nullptr},
    };
    unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Spec type_spec{def.name, static_cast<int>(sizeof(Object)), 0, flags, slots};
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_spec));
}

// Module initialisation in the fixed order: NumPy's C API (target level 1.25; on failure the
// error is printed and replaced by ImportError), every type readied, the module created, each
// type added under its short name.
inline PyObject *init_module(PyModuleDef *def, std::initializer_list<TypeDef> types) {
    import_array();
    PyTypeObject *made[32];
    if (types.size() > sizeof(made) / sizeof(made[0])) {
        PyErr_SetString(PyExc_SystemError, "init_module: too many types for one module");
        return nullptr;
    }
    size_t count = 0;
    auto release = [&](size_t from) {
        for (size_t i = from; i < count; ++i) Py_DECREF(made[i]);
    };
    for (const TypeDef &t : types) {
        PyTypeObject *tp = make_type(t);
        if (!tp) {
            release(0);
            return nullptr;
        }
        made[count++] = tp;
    }
    PyObject *module = PyModule_Create(def);
    if (!module) {
        release(0);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        const char *dot = std::strrchr(made[i]->tp_name, '.');
        const char *short_name = dot ? dot + 1 : made[i]->tp_name;
        if (PyModule_AddObject(module, short_name, reinterpret_cast<PyObject *>(made[i])) < 0) {
            release(i);
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

}  // namespace ox::py

// ---------------------------------------------------------------------------------------------
// Method and property table entries.
// ---------------------------------------------------------------------------------------------
#define OX_FN(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))
#define OX_KW (METH_VARARGS | METH_KEYWORDS)

// method(x, out=None) over a block function and its output bound.
#define OX_BLOCK(name, fn, max_fn, doc) {name, OX_FN((ox::py::block<fn, max_fn>)), OX_KW, doc}
// The same, returning None when the call produced nothing.
#define OX_BLOCK_OR_NONE(name, fn, max_fn, doc) \
    {name, OX_FN((ox::py::block_or_none<fn, max_fn>)), OX_KW, doc}
// The same, with the interpreter lock kept whatever the module does.
#define OX_BLOCK_LOCKED(name, fn, max_fn, doc) \
    {name, OX_FN((ox::py::block<fn, max_fn, false>)), OX_KW, doc}
// method(x, /) without out=, over size_t fn(core, const In *, n_in, Out *); `group` input values
// per sample (2 for interleaved I/Q).
#define OX_BLOCK_FRESH(name, fn, max_fn, group, doc) \
    {name, OX_FN((ox::py::block_fresh<fn, max_fn, group>)), METH_O, doc}
// method(<input>, out=None) with the input keyword renamed (`kw` = {input, "out", NULL}).
#define OX_BLOCK_KW(name, fn, max_fn, kw, doc) \
    {name, OX_FN((ox::py::block<fn, max_fn, ox::py::kReleasesGil, kw>)), OX_KW, doc}
// method(count=1, out=None): a readout without input; None when the core produces nothing.
#define OX_READOUT(name, fn, max_fn, doc) {name, OX_FN((ox::py::readout<fn, max_fn>)), OX_KW, doc}
// method(x) feeding one converted array to the core; returns None.
#define OX_FEED(name, fn, kw, doc) {name, OX_FN((ox::py::array_call<fn, kw, true>)), OX_KW, doc}
// method(x) reducing one converted array to the core's scalar result.
#define OX_REDUCE(name, fn, kw, doc) {name, OX_FN((ox::py::array_call<fn, kw, false>)), OX_KW, doc}
#define OX_MAX_OUT(name, max_fn)                                                                   \
    {name, OX_FN(ox::py::max_out<max_fn>), METH_NOARGS,                                            \
     name "($self, /)\n--\n\nOutput capacity a block call may need."}
// A method whose arguments follow the core function's (keywords in `kw`, all required).
#define OX_CALL(name, fn, kw, doc) {name, OX_FN((ox::py::call<fn, kw>)), OX_KW, doc}
// The same for a configuration call: floating arguments must be finite.
#define OX_CONFIG(name, fn, kw, doc) {name, OX_FN((ox::py::call<fn, kw, void, true>)), OX_KW, doc}
#define OX_CALL_CHECKED(name, fn, kw, msg, doc) \
    {name, OX_FN((ox::py::call_checked<fn, kw, msg>)), OX_KW, doc}
#define OX_TELEMETRY(fn)                                                                        \
    {"set_telemetry", OX_FN(ox::py::set_telemetry<fn>), OX_KW,                                  \
     "set_telemetry(tlm, prefix, decim=1)\n--\n\nAttach a telemetry context (an "              \
     "ostrel.telemetry.Telemetry, or its capsule) publishing probes named prefix + suffix, "    \
     "every decim-th event; None detaches. Names another attached object holds on the "        \
     "context are refused (ValueError naming the prefix): give each object its own prefix."}
#define OX_RESET(fn)                                                                               \
    {"reset", OX_FN(ox::py::reset<fn>), METH_NOARGS,                                               \
     "reset($self, /)\n--\n\nReturn to the post-construction state, configuration kept."}
// As OX_STATE_BLOB, where set_state also takes blobs of an older layout of length legacy_fn(core).
#define OX_STATE_BLOB_LEGACY(bytes_fn, get_fn, set_fn, legacy_fn)                                  \
    {"state_bytes", OX_FN(ox::py::state_bytes<bytes_fn>), METH_NOARGS,                             \
     "state_bytes($self, /)\n--\n\nLength in bytes of the state blob."},                           \
    {"get_state", OX_FN((ox::py::get_state<bytes_fn, get_fn>)), METH_NOARGS,                       \
     "get_state($self, /)\n--\n\nSnapshot of the mutable state as bytes."},                        \
    {"set_state", OX_FN((ox::py::set_state<bytes_fn, set_fn, legacy_fn>)), METH_O,                 \
     "set_state($self, blob, /)\n--\n\nRestore a snapshot taken by get_state() of an object constructed " \
     "the same way (or by an earlier version of it); a malformed blob is rejected and the object left " \
     "unchanged."}
#define OX_STATE_BLOB(bytes_fn, get_fn, set_fn)                                                    \
    {"state_bytes", OX_FN(ox::py::state_bytes<bytes_fn>), METH_NOARGS,                             \
     "state_bytes($self, /)\n--\n\nLength in bytes of the state blob."},                           \
    {"get_state", OX_FN((ox::py::get_state<bytes_fn, get_fn>)), METH_NOARGS,                       \
     "get_state($self, /)\n--\n\nSnapshot of the mutable state as bytes."},                        \
    {"set_state", OX_FN((ox::py::set_state<bytes_fn, set_fn>)), METH_O,                            \
     "set_state($self, blob, /)\n--\n\nRestore a snapshot taken by get_state() of an object constructed " \
     "the same way; a malformed blob is rejected and the object left unchanged."}
// reset + the three blob methods of a component with the uniform prefix API.
#define OX_STATE(prefix) \
    OX_RESET(prefix##_reset), OX_STATE_BLOB(prefix##_state_bytes, prefix##_get_state, prefix##_set_state)
#define OX_LIFECYCLE(destroy_fn)                                                                   \
    {"destroy", OX_FN(ox::py::destroy<destroy_fn>), METH_NOARGS,                                   \
     "destroy($self, /)\n--\n\nFree the native object now (idempotent); later use raises "         \
     "RuntimeError."},                                                                             \
    {"__enter__", OX_FN(ox::py::enter), METH_NOARGS, "__enter__($self, /)\n--\n\nReturn self."},   \
    {"__exit__", OX_FN(ox::py::exit<destroy_fn>), METH_VARARGS,                                    \
     "__exit__($self, /, *args)\n--\n\nDestroy on leaving a with block."}
#define OX_END_METHODS {nullptr, nullptr, 0, nullptr}

#define OX_GET(name, fn, doc) {name, ox::py::getter<fn>, nullptr, doc, nullptr}
#define OX_GET_BOOL(name, fn, doc) {name, ox::py::getter<fn, ox::py::AsBool>, nullptr, doc, nullptr}
#define OX_GETSET(name, get_fn, set_fn, doc) \
    {name, ox::py::getter<get_fn>, ox::py::setter<set_fn>, doc, const_cast<char *>(name)}
#define OX_END_PROPS {nullptr, nullptr, nullptr, nullptr, nullptr}

// A type entry for init_module: full name, doc, create function (args, kw) -> core, destroy.
#define OX_TYPE(full_name, doc, create_fn, destroy_fn, methods, props)                          \
    ox::py::TypeDef {                                                                            \
        full_name, doc, ox::py::tp_init<create_fn, destroy_fn>, ox::py::tp_dealloc<destroy_fn>, \
            methods, props                                                                       \
    }
