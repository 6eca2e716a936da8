// Signature tables and argument binding: every binding message comes from here.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "velko/convert.hpp"
#include "velko/pyref.hpp"

namespace velko::py {

inline constexpr std::size_t kMaxParams = 4;

/// One entry that binds arguments: all parameters required, positional or keyword.
struct Signature {
    std::string_view owner = {};                           // class name; empty for module functions
    std::string_view name = {};                            // "__new__" for constructors
    std::array<std::string_view, kMaxParams> params = {};  // in declaration order

    [[nodiscard]] constexpr std::size_t arity() const {
        std::size_t n = 0;
        while (n < kMaxParams && !params[n].empty()) ++n;
        return n;
    }
    /// "TopHitFile.add_hit()" or "canonical_gid()".
    [[nodiscard]] std::string full_name() const;
};

using Slots = std::array<PyObject*, kMaxParams>;

/// Vector form: fills one slot per parameter or throws with the TypeError set.
void bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Slots& slots);

/// Tuple and dictionary form, as tp_new receives its arguments.
void bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, Slots& slots);

/// Re-labels a pending TypeError as "argument '<param>': <message>", keeping its __cause__.
void relabel_argument_error(std::string_view param);

template <class T>
T convert_argument(std::string_view param, PyObject* obj) {
    try {
        return from_python<T>(obj);
    } catch (const ErrorAlreadySet&) {
        relabel_argument_error(param);
        throw;
    }
}

template <class... Ts, std::size_t... I>
std::tuple<Ts...> convert_slots(const Signature& sig, const Slots& slots,
                                std::index_sequence<I...>) {
    // A braced initializer evaluates left to right, so the first bad parameter is reported.
    return std::tuple<Ts...>{convert_argument<Ts>(sig.params[I], slots[I])...};
}

/// Binds a METH_FASTCALL | METH_KEYWORDS call and converts each argument to Ts.
template <class... Ts>
std::tuple<Ts...> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    Slots slots{};
    bind_fastcall(sig, args, nargs, kwnames, slots);
    return convert_slots<Ts...>(sig, slots, std::index_sequence_for<Ts...>{});
}

/// Binds the arguments of a constructor (tp_new) and converts each to Ts.
template <class... Ts>
std::tuple<Ts...> bind_new(const Signature& sig, PyObject* args, PyObject* kwargs) {
    Slots slots{};
    bind_tuple_dict(sig, args, kwargs, slots);
    return convert_slots<Ts...>(sig, slots, std::index_sequence_for<Ts...>{});
}

}  // namespace velko::py
