// velko.kmer: k-mer lists and indexes, count results, counting sequences and FASTA files.
#include <algorithm>
#include <array>

#include "kmer/count.hpp"
#include "kmer/count_fasta.hpp"
#include "kmer/count_result.hpp"
#include "kmer/kmers.hpp"
#include "pymodule.hpp"
#include "util/memory.hpp"

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

// A dict presized for n keys: a power-of-two index table at least 3/2 n, one 8-byte slot and
// one 24-byte entry per index slot at most.
std::uint64_t dict_bytes(std::uint64_t n) {
    std::uint64_t slots = 8;
    while (slots < saturating_add(n, n / 2 + 1) && slots < (std::uint64_t{1} << 62)) slots *= 2;
    return saturating_mul(slots, 8 + 24);
}

// Below this much work (text bytes or counts), giving up the lock costs more than it frees.
constexpr std::uint64_t kReleaseGilWork = std::uint64_t{1} << 16;

// Stores one entry of a dict being filled; a dict that cannot take it is an internal abort.
void set_item(const Ref& dict, const Ref& key, const Ref& value) {
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
        fail("Failed to set_item on dict");
    }
}

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
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const std::uint64_t count = counts[i];
        items[i] = count <= kLargestSharedInt ? Ref::borrow(shared[count].get()).release()
                                              : to_python(count).release();
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
                               PyObject* kwnames) noexcept {
    return guarded([&] {
        const auto [path, k, both_strands] =
            bind<std::string_view, std::uint8_t, bool>(kGetKmerCountFasta, args, nargs, kwnames);
        kmer::FastaCounts results = [&] {
            // Reading and counting touch no Python object: other threads run meanwhile. The
            // str holding `path` is an argument, alive until we return.
            const WithoutGil unlocked;
            return kmer::count_fasta(path, k, both_strands);
        }();
        Ref dict = abort_on_null(_PyDict_NewPresized(static_cast<Py_ssize_t>(results.size())));
        for (auto& [id, result] : results) {
            const Ref key = to_python(id);
            const Ref value = to_python(std::move(result));
            set_item(dict, key, value);
        }
        return dict;
    });
}

PyObject* get_kmer_count_seq(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return guarded([&] {
        const auto [seq, k, both_strands] =
            bind<std::string_view, std::uint8_t, bool>(kGetKmerCountSeq, args, nargs, kwnames);
        const std::uint64_t work = saturating_add(seq.size(), kmer::kmer_space(k));
        KmerCountResult result = [&] {
            if (work < kReleaseGilWork) return kmer::count_text(seq, k, both_strands);
            // The str holding `seq` is an argument, alive until we return.
            const WithoutGil unlocked;
            return kmer::count_text(seq, k, both_strands);
        }();
        return to_python(std::move(result));
    });
}

PyObject* get_kmer_to_idx(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guarded([&] {
        const auto [k] = bind<std::uint8_t>(kGetKmerToIdx, args, nargs, kwnames);
        const std::uint64_t n = kmer::kmer_space(k);
        const std::uint64_t per_entry = kmer_str_bytes(k) + kIntBytes;
        util::require_memory(saturating_add(saturating_mul(n, per_entry), dict_bytes(n)));
        Ref dict = abort_on_null(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
        for (std::uint64_t i = 0; i < n; ++i) {
            const Ref key = kmer_str(k, i);
            const Ref value = to_python(i);
            set_item(dict, key, value);
        }
        return dict;
    });
}

PyObject* get_possible_kmers(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return guarded([&] {
        const auto [k] = bind<std::uint8_t>(kGetPossibleKmers, args, nargs, kwnames);
        const std::uint64_t n = kmer::kmer_space(k);
        util::require_memory(saturating_mul(n, kSlotBytes + kmer_str_bytes(k)));
        Ref list = abort_on_null(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::uint64_t i = 0; i < n; ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), kmer_str(k, i).release());
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

PyObject* kmer_count_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        auto [k, total, counts] =
            bind_new<std::uint8_t, std::uint64_t, std::vector<std::uint64_t>>(kKmerCountResultNew,
                                                                              args, kwargs);
        return construct(type,
                         KmerCountResult{.k = k, .total = total, .counts = std::move(counts)});
    });
}

// A new list on every read, so callers can never change the record through it.
PyObject* kmer_count_result_counts(PyObject* self, void*) noexcept {
    return guarded([&] {
        const Shared<KmerCountResult> result(self);
        const kmer::CountList& counts = result->counts;
        const auto large = static_cast<std::uint64_t>(std::count_if(
            counts.begin(), counts.end(), [](std::uint64_t c) { return c > kLargestSharedInt; }));
        util::require_memory(saturating_add(saturating_mul(counts.size(), kSlotBytes),
                                            saturating_mul(large, kIntBytes)));
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
