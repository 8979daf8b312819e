// ostrel for C++17: a thin header-only layer over the C interface of libostrel.
//
//   auto rx = ostrel::create(mpsk_receiver_create, "mpsk_receiver_create", 4, 2, ...);
//   std::vector<ox_cf32> sym = ostrel::process(rx, mpsk_receiver_steps,
//                                              mpsk_receiver_steps_max_out, samples);
//   std::vector<uint8_t> blob = rx.get_state();   // ... rx.set_state(blob);
//
// - ostrel::handle<T> owns one C object (move-only; destroyed with the handle).
// - ostrel::create() calls a C constructor and throws ostrel::error, carrying the constructor's
//   name, its arguments and the reason, when it returns NULL.
// - ostrel::span<T> is the contiguous view the block helpers take (std::span of C++20, reduced);
//   std::vector, std::array, C arrays and pointer + length convert to it.
// - get_state() / set_state() move state blobs as std::vector<uint8_t>; a refused blob throws.
// Every call goes straight to the C function: no copies beyond the returned vectors.
#ifndef OSTREL_HPP
#define OSTREL_HPP

#include <complex>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "ostrel/ostrel.h"

namespace ostrel {

// Raised when a constructor returns NULL or a state blob is refused.
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A contiguous run of T: pointer and length, not owning.
template <class T>
class span {
public:
    using element_type = T;
    constexpr span() noexcept = default;
    constexpr span(T *data, size_t size) noexcept : data_(data), size_(size) {}
    template <size_t N>
    constexpr span(T (&a)[N]) noexcept : data_(a), size_(N) {}
    // Any container with data() and size() whose element pointer converts (std::vector,
    // std::array, std::string, another span; const views of mutable containers included). A
    // view of a temporary is valid until the end of the full expression, as for any reference.
    template <class C, class = std::enable_if_t<
                           std::is_convertible_v<decltype(std::declval<C &>().data()), T *> &&
                           !std::is_same_v<std::decay_t<C>, span>>>
    constexpr span(C &&c) noexcept : data_(c.data()), size_(c.size()) {}

    constexpr T *data() const noexcept { return data_; }
    constexpr size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr T *begin() const noexcept { return data_; }
    constexpr T *end() const noexcept { return data_ + size_; }
    constexpr T &operator[](size_t i) const noexcept { return data_[i]; }
    constexpr span first(size_t n) const noexcept { return {data_, n < size_ ? n : size_}; }
    constexpr span subspan(size_t off) const noexcept {
        return off < size_ ? span{data_ + off, size_ - off} : span{};
    }

private:
    T *data_ = nullptr;
    size_t size_ = 0;
};

// A container of std::complex<float> (vector, array, span) seen as ox_cf32, the C interface's
// sample type: both are (re, im) float pairs. Constness follows the container.
template <class C>
auto as_cf32(C &&c) noexcept {
    auto *p = c.data();
    using Elem = std::remove_pointer_t<decltype(p)>;
    static_assert(std::is_same_v<std::remove_const_t<Elem>, std::complex<float>>,
                  "as_cf32 takes containers of std::complex<float>");
    using Out = std::conditional_t<std::is_const_v<Elem>, const ox_cf32, ox_cf32>;
    return span<Out>(reinterpret_cast<Out *>(p), c.size());
}

// Owner of one object of the C interface (T is its C type: mpsk_receiver, psd_state_t, ...).
template <class T>
class handle {
public:
    handle() noexcept = default;
    explicit handle(T *p) noexcept : p_(p) {}
    handle(handle &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    handle &operator=(handle &&o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    handle(const handle &) = delete;
    handle &operator=(const handle &) = delete;
    ~handle() { reset(); }

    T *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up ownership: the caller destroys the object.
    T *release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (p_) traits<T>::destroy(std::exchange(p_, nullptr));
    }

    // The object's mutable state as a blob (restored bit for bit by set_state).
    std::vector<uint8_t> get_state() const {
        static_assert(traits<T>::has_state, "this type has no state blob");
        std::vector<uint8_t> blob(traits<T>::state_bytes(live()));
        traits<T>::get_state(p_, blob.data());
        return blob;
    }
    // Restores a blob of get_state(); a blob of another length or refused by the object (wrong
    // kind or configuration, corrupted fields) throws and leaves the object unchanged.
    void set_state(span<const uint8_t> blob) {
        static_assert(traits<T>::has_state, "this type has no state blob");
        const size_t need = traits<T>::state_bytes(live());
        if (blob.size() != need)
            throw error(std::string(traits<T>::name) + "_set_state: blob of " +
                        std::to_string(blob.size()) + " bytes, this object's state is " +
                        std::to_string(need) + " bytes");
        if (traits<T>::set_state(p_, blob.data()) != OX_OK)
            throw error(std::string(traits<T>::name) +
                        "_set_state: blob refused (another kind or configuration, or corrupted)");
    }

private:
    T *live() const {
        if (!p_) throw error(std::string(traits<T>::name) + ": empty handle");
        return p_;
    }
    T *p_ = nullptr;
};

namespace detail {
// Keeps a parameter out of template deduction (the block function's signature decides).
template <class T>
struct same {
    using type = T;
};
template <class T>
using same_t = typename same<T>::type;

inline void put_args(std::ostringstream &) {}
template <class A, class... R>
void put_args(std::ostringstream &os, const A &a, const R &...r) {
    if constexpr (std::is_pointer_v<A>)
        os << (a ? "<array>" : "NULL");
    else if constexpr (std::is_same_v<A, char> || std::is_same_v<A, signed char> ||
                       std::is_same_v<A, unsigned char>)
        os << static_cast<int>(a);
    else
        os << a;
    if constexpr (sizeof...(R) > 0) os << ", ";
    put_args(os, r...);
}
}  // namespace detail

// Calls the C constructor `fn` (named `name` in messages) and wraps the object; NULL throws
// ostrel::error with the call as made and the reason.
template <class T, class... P, class... A>
handle<T> create(T *(*fn)(P...), const char *name, A &&...args) {
    static_assert(sizeof...(P) == sizeof...(A), "argument count differs from the constructor's");
    T *p = fn(static_cast<P>(args)...);
    if (!p) {
        std::ostringstream os;
        os << name << "(";
        detail::put_args(os, static_cast<P>(args)...);
        os << ") failed: a parameter is outside its allowed range (see the header's comment) or "
              "memory is exhausted";
        throw error(os.str());
    }
    return handle<T>(p);
}

// Runs a block function f(obj, in, n, out, cap) over `in` into `out`; returns the outputs
// written (a prefix of `out`).
template <class T, class In, class Out>
span<Out> process(handle<T> &h, size_t (*f)(T *, const In *, size_t, Out *, size_t),
                  span<const detail::same_t<In>> in, span<detail::same_t<Out>> out) {
    return out.first(f(h.get(), in.data(), in.size(), out.data(), out.size()));
}

// The same into a new vector sized by the function's bound (max_out(obj), or the input length
// when the bound is 0 or smaller) and trimmed to the outputs written.
template <class T, class In, class Out>
std::vector<Out> process(handle<T> &h, size_t (*f)(T *, const In *, size_t, Out *, size_t),
                         size_t (*max_out)(const T *), span<const detail::same_t<In>> in) {
    const size_t bound = max_out(h.get());
    std::vector<Out> out(bound > in.size() ? bound : in.size());
    out.resize(f(h.get(), in.data(), in.size(), out.data(), out.size()));
    return out;
}

}  // namespace ostrel

#endif
