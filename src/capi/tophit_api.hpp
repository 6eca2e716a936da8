// The C interface velko exports for its TopHitFile objects, in a capsule: how velko_tools reads
// and fills one without knowing velko's object layout, nor trusting a type it is handed. It
// lives beside neither module: both include it, and neither may include the other's headers.
#pragma once

#include <cstddef>

extern "C" {
// CPython's PyObject, declared rather than included: Python.h must come before any standard
// header of a unit, which only the unit itself can ensure.
struct _object;
}

namespace velko::hmmer {

/// The capsule's name, and the attribute of velko.hmmer.tophit that holds it.
inline constexpr const char* kTopHitApiCapsule = "velko.hmmer.tophit._tophit_api";
inline constexpr const char* kTopHitApiAttribute = "_tophit_api";

/// Receives one hit; returns 0, or -1 with a Python error set to stop.
using HitVisitor = int (*)(void* context, const char* gene_id, std::size_t gene_id_size,
                           const char* hmm_id, std::size_t hmm_id_size, double e_val,
                           double bit_score);

/// Both functions are called with the interpreter lock held, and check that `obj` is an
/// instance of velko's own TopHitFile: anything else gives -1 with TypeError set. A table in
/// use by another call gives -1 with RuntimeError set.
struct TopHitApi {
    /// Calls `visit` for every hit of obj's table, gene by gene; 0, or -1 with an error set.
    int (*each_hit)(_object* obj, HitVisitor visit, void* context);
    /// Offers one hit to obj's table, as its add_hit does; 0, or -1 with an error set.
    int (*add_hit)(_object* obj, const char* gene_id, std::size_t gene_id_size, const char* hmm_id,
                   std::size_t hmm_id_size, double e_val, double bit_score);
};

}  // namespace velko::hmmer
