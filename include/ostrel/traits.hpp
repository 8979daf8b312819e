// ostrel: the per-type table behind the C++ handles. Each object type of the C interface has a
// specialisation (generated with its header) giving its destroy function and, for types with a
// state blob, its state functions.
#ifndef OSTREL_TRAITS_HPP
#define OSTREL_TRAITS_HPP

namespace ostrel {
template <class T>
struct traits;
}

#endif
