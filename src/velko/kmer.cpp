// velko.kmer: k-mer lists and indexes, count results, counting sequences and FASTA files.
#include <algorithm>
#include <array>

#include "kmer/count.hpp"
#include "kmer/count_fasta.hpp"
#include "kmer/count_result.hpp"
#include "kmer/kmers.hpp"
#include "util/memory.hpp"
#include "velko/pymodule.hpp"

namespace velko::py {

template <>
struct PyClassDef<kmer::KmerCountResult> {
    static constexpr const char* kName = "builtins.KmerCountResult";
    static std::span<const PyType_Slot> slots();
};

namespace {

using kmer::KmerCountResult;
using util::saturating_add;
using util::saturating_mul;

// Byte estimates of the objects a result is made of, to refuse a result before building it.
// The allocator hands out 16-byte multiples; a list slot is one pointer.
constexpr std::uint64_t object_bytes(std::uint64_t size) { return (size + 15) / 16 * 16; }
constexpr std::uint64_t kSlotBytes = sizeof(PyObject*);
constexpr std::uint64_t kIntBytes = object_bytes(sizeof(PyLongObject));
// ints from -5 to 256 are shared objects that cost nothing to hand out
constexpr std::uint64_t kLargestSharedInt = 256;

constexpr std::uint64_t kmer_str_bytes(std::uint8_t k) {
    return object_bytes(sizeof(PyASCIIObject) + k + 1);
}

// A dict presized for n keys: an index table of a power of two at least 3/2 n slots, of 8
// bytes at most each, and one 24-byte entry for each of 2/3 of the slots. Per key, at most:
constexpr std::uint64_t kDictEntryBytes = 3 * 8 + 2 * 24;

// Below this much work (text bytes or counts), giving up the lock costs more than it frees.
constexpr std::uint64_t kReleaseGilWork = std::uint64_t{1} << 16;

// The str of k-mer `index`, written straight into a fresh ASCII string.
Ref kmer_str(std::uint8_t k, std::uint64_t index) {
    Ref text = abort_on_null(PyUnicode_New(k, 127));
    kmer::write_kmer(k, index, {reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())), k});
    return text;
}

// The list `counts` reads: most counts are small, and those come from a table of the shared ints
// instead of a call each.
Ref count_list(std::span<const std::uint64_t> counts) {
    std::array<Ref, kLargestSharedInt + 1> shared;
    for (std::uint64_t i = 0; i < shared.size(); ++i) shared[i] = to_python(i);
    Ref list = abort_on_null(PyList_New(static_cast<Py_ssize_t>(counts.size())));
    auto* const items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    ObjectLoop loop;
    std::size_t i = 0;
    try {
        for (; i < counts.size(); ++i) {
            const std::uint64_t count = counts[i];
            items[i] = count <= kLargestSharedInt ? Ref::borrow(shared[count].get()).release()
                                                  : to_python(count).release();
            loop.tick();
        }
    } catch (...) {
        Py_SET_SIZE(list.get(), static_cast<Py_ssize_t>(i));  // as in get_possible_kmers
        throw;
    }
    return list;
}

constexpr Signature kGetKmerCountFasta{
    .name = "get_kmer_count_fasta",
    .params = {"path", "k", "use_rev_complement"},
};
constexpr Signature kGetKmerCountSeq{
    .name = "get_kmer_count_seq",
    .params = {"seq", "k", "use_rev_complement"},
};
constexpr Signature kGetKmerToIdx{.name = "get_kmer_to_idx", .params = {"k"}};
constexpr Signature kGetPossibleKmers{.name = "get_possible_kmers", .params = {"k"}};
constexpr Signature kKmerCountResultNew{
    .owner = class_name<KmerCountResult>(),
    .name = "__new__",
    .params = {"k", "total", "counts"},
};

PyObject* get_kmer_count_fasta(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&] {
        const auto [path, k, both_strands] =
            bind<std::string_view, std::uint8_t, bool>(kGetKmerCountFasta, args, nargs, kwnames);
        // Reading and counting touch no Python object: other threads run meanwhile. The str
        // holding `path` is an argument, alive until we return.
        kmer::FastaCounts results =
            without_gil([&] { return kmer::count_fasta(path, k, both_strands); });
        Ref dict = abort_on_null(_PyDict_NewPresized(static_cast<Py_ssize_t>(results.size())));
        ObjectLoop loop;
        for (auto& [id, result] : results) {
            const Ref key = to_python(id);
            const Ref value = to_python(std::move(result));
            set_item(dict.get(), key.get(), value.get());
            loop.tick(2);
        }
        return dict;
    });
}

PyObject* get_kmer_count_seq(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] {
        const auto [seq, k, both_strands] =
            bind<std::string_view, std::uint8_t, bool>(kGetKmerCountSeq, args, nargs, kwnames);
        const bool small = k <= kmer::kMaxRepresentableK &&
                           saturating_add(seq.size(), kmer::kmer_space(k)) < kReleaseGilWork;
        // The str holding `seq` is an argument, alive until we return.
        KmerCountResult result =
            small ? kmer::count_text(seq, k, both_strands)
                  : without_gil([&] { return kmer::count_text(seq, k, both_strands); });
        return to_python(std::move(result));
    });
}

PyObject* get_kmer_to_idx(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto [k] = bind<std::uint8_t>(kGetKmerToIdx, args, nargs, kwnames);
        kmer::require_kmer_memory(k, kmer_str_bytes(k) + kIntBytes + kDictEntryBytes, 0, "k-mers");
        const std::uint64_t n = kmer::kmer_space(k);
        Ref dict = abort_on_null(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
        ObjectLoop loop;
        for (std::uint64_t i = 0; i < n; ++i) {
            const Ref key = kmer_str(k, i);
            const Ref value = to_python(i);
            set_item(dict.get(), key.get(), value.get());
            loop.tick(2);
        }
        return dict;
    });
}

PyObject* get_possible_kmers(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] {
        const auto [k] = bind<std::uint8_t>(kGetPossibleKmers, args, nargs, kwnames);
        kmer::require_kmer_memory(k, kSlotBytes + kmer_str_bytes(k), 0, "k-mers");
        const std::uint64_t n = kmer::kmer_space(k);
        Ref list = abort_on_null(PyList_New(static_cast<Py_ssize_t>(n)));
        ObjectLoop loop;
        std::uint64_t i = 0;
        try {
            for (; i < n; ++i) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), kmer_str(k, i).release());
                loop.tick();
            }
        } catch (...) {
            // Stopped part way: freeing the list then visits only the slots filled so far,
            // not millions of empty ones.
            Py_SET_SIZE(list.get(), static_cast<Py_ssize_t>(i));
            throw;
        }
        return list;
    });
}

// In the order of the module's __all__.
PyMethodDef kFunctions[] = {
    method_def(kGetKmerCountFasta, get_kmer_count_fasta),
    method_def(kGetKmerCountSeq, get_kmer_count_seq),
    method_def(kGetKmerToIdx, get_kmer_to_idx),
    method_def(kGetPossibleKmers, get_possible_kmers),
    {},
};

PyObject* kmer_count_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto [k, total, counts] = bind_new<std::uint8_t, std::uint64_t, std::vector<std::uint64_t>>(
            kKmerCountResultNew, args, kwargs);
        return construct(type,
                         KmerCountResult{.k = k, .total = total, .counts = std::move(counts)});
    });
}

// A new list on every read, so callers can never change the record through it.
PyObject* kmer_count_result_counts(PyObject* self, void*) {
    return guarded([&] {
        const Shared<KmerCountResult> result(self);
        const kmer::CountList& counts = result->counts;
        const auto large = static_cast<std::uint64_t>(std::count_if(
            counts.begin(), counts.end(), [](std::uint64_t c) { return c > kLargestSharedInt; }));
        util::require_memory(saturating_add(saturating_mul(counts.size(), kSlotBytes),
                                            saturating_mul(large, kIntBytes)),
                             [&] {
                                 const std::string k_text = std::to_string(result->k);
                                 return util::MemoryNeed{
                                     .what = "k = " + k_text,
                                     .detail = "a list of 4^" + k_text + " counts"};
                             });
        return count_list(counts);
    });
}

// The counts as a read-only buffer of unsigned 64-bit items, without a copy: records never
// change, and the view holds a reference to the object that owns them.
int kmer_count_result_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    view->obj = nullptr;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        raise_lazy(PyExc_BufferError, "KmerCountResult counts are read-only");
        return -1;
    }
    static std::uint64_t empty = 0;  // a valid address for a view of no counts
    const auto* instance = reinterpret_cast<Instance<KmerCountResult>*>(self);
    const kmer::CountList& counts = instance->record.counts;
    // shape and strides must live as long as the view: one small block, freed on release
    auto* dims = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (dims == nullptr) {
        raise_no_memory();
        return -1;
    }
    dims[0] = static_cast<Py_ssize_t>(counts.size());
    dims[1] = sizeof(std::uint64_t);
    view->buf = counts.empty() ? &empty : const_cast<std::uint64_t*>(counts.data());
    view->obj = Ref::borrow(self).release();
    view->len = dims[0] * dims[1];
    view->itemsize = sizeof(std::uint64_t);
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("Q") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? dims : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? dims + 1 : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    return 0;
}

void kmer_count_result_releasebuffer(PyObject*, Py_buffer* view) noexcept {
    PyMem_Free(view->internal);
}

PyGetSetDef kKmerCountResultFields[] = {
    {"k", read_field<&KmerCountResult::k>, nullptr, nullptr, nullptr},
    {"total", read_field<&KmerCountResult::total>, nullptr, nullptr, nullptr},
    {"counts", kmer_count_result_counts, nullptr, nullptr, nullptr},
    {},
};

const PyType_Slot kKmerCountResultSlots[] = {
    {Py_tp_new, as_slot(kmer_count_result_new)},
    {Py_tp_getset, kKmerCountResultFields},
    {Py_bf_getbuffer, as_slot(kmer_count_result_getbuffer)},
    {Py_bf_releasebuffer, as_slot(kmer_count_result_releasebuffer)},
};

}  // namespace

std::span<const PyType_Slot> PyClassDef<kmer::KmerCountResult>::slots() {
    return kKmerCountResultSlots;
}

void build_kmer(PyObject* package) {
    Ref module = create_submodule("velko.kmer");
    add_functions(module.get(), kFunctions);
    add_class<KmerCountResult>(module.get());
    publish_submodule(package, module.get());
}

}  // namespace velko::py
