// velko.hmmer.tophit: the Hit record and the TopHitFile table.
#include <optional>

#include "capi/tophit_api.hpp"
#include "hmmer/hit.hpp"
#include "hmmer/tophit_file.hpp"
#include "util/os_file.hpp"
#include "velko/messages.hpp"
#include "velko/pymodule.hpp"

namespace velko::py {

template <>
struct PyClassDef<hmmer::Hit> {
    static constexpr const char* kName = "builtins.Hit";
    static std::span<const PyType_Slot> slots();
};

template <>
struct PyClassDef<hmmer::TopHitFile> {
    static constexpr const char* kName = "builtins.TopHitFile";
    static std::span<const PyType_Slot> slots();
};

namespace {

using hmmer::Hit;
using hmmer::TopHitFile;

Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }

// Hit

constexpr Signature kHitNew{
    .owner = class_name<Hit>(),
    .name = "__new__",
    .params = {"gene_id", "hmm_id", "e_val", "bit_score"},
};

PyObject* hit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto [gene_id, hmm_id, e_val, bit_score] =
            bind_new<std::string_view, std::string_view, double, double>(kHitNew, args, kwargs);
        return construct(type, Hit{std::string(gene_id), std::string(hmm_id), e_val, bit_score});
    });
}

PyObject* hit_hmm_str(PyObject* self, PyObject*) {
    return guarded([&] {
        const Shared<Hit> hit(self);
        return to_python(hmmer::hmm_str(*hit));
    });
}

PyObject* hit_repr(PyObject* self) {
    return guarded([&] {
        const Shared<Hit> hit(self);
        return to_python(hmmer::repr(*hit));
    });
}

PyObject* hit_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&] {
        PyTypeObject* type = type_of<Hit>();
        if (!PyObject_TypeCheck(self, type)) return not_implemented();
        const Shared<Hit> left(self);
        if (!PyObject_TypeCheck(other, type)) return not_implemented();
        std::optional<Shared<Hit>> right;
        try {
            right.emplace(reinterpret_cast<Instance<Hit>*>(other));
        } catch (const ErrorAlreadySet&) {
            PyErr_Clear();  // a borrowed operand is just another value we cannot compare with
            return not_implemented();
        }
        if (op < Py_LT || op > Py_GE) return not_implemented();
        // CompareOp lists the operators in the order of CPython's codes.
        return to_python(hmmer::compare(*left, **right, static_cast<hmmer::CompareOp>(op)));
    });
}

PyMethodDef kHitMethods[] = {
    {"hmm_str", as_cfunction(hit_hmm_str), METH_NOARGS, nullptr},
    {},
};

PyGetSetDef kHitFields[] = {
    {"gene_id", read_field<&Hit::gene_id>, nullptr, nullptr, nullptr},
    {"hmm_id", read_field<&Hit::hmm_id>, nullptr, nullptr, nullptr},
    {"e_val", read_field<&Hit::e_val>, nullptr, nullptr, nullptr},
    {"bit_score", read_field<&Hit::bit_score>, nullptr, nullptr, nullptr},
    {},
};

const PyType_Slot kHitSlots[] = {
    {Py_tp_new, as_slot(hit_new)},
    {Py_tp_repr, as_slot(hit_repr)},
    {Py_tp_richcompare, as_slot(hit_richcompare)},
    {Py_tp_methods, kHitMethods},
    {Py_tp_getset, kHitFields},
};

// TopHitFile

constexpr Signature kTopHitFileNew{
    .owner = class_name<TopHitFile>(), .name = "__new__", .params = {"path"}};
constexpr Signature kAddHit{
    .owner = class_name<TopHitFile>(),
    .name = "add_hit",
    .params = {"gene_id", "hmm_id", "e_val", "bit_score"},
};
constexpr Signature kContainsGeneId{
    .owner = class_name<TopHitFile>(), .name = "contains_gene_id", .params = {"gene_id"}};
constexpr Signature kContainsGeneHmm{
    .owner = class_name<TopHitFile>(),
    .name = "contains_gene_hmm",
    .params = {"gene_id", "hmm_id"},
};
constexpr Signature kGetTopHit{
    .owner = class_name<TopHitFile>(), .name = "get_top_hit", .params = {"gene_id"}};
constexpr Signature kGetHmmHit{
    .owner = class_name<TopHitFile>(), .name = "get_hmm_hit", .params = {"gene_id", "hmm_id"}};

PyObject* tophit_file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto [path] = bind_new<std::string_view>(kTopHitFileNew, args, kwargs);
        return construct(type, TopHitFile{std::string(path), {}});
    });
}

PyObject* tophit_file_add_hit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] {
        // The borrow comes first: a score's __float__ that calls back into this table must
        // find it taken.
        const Exclusive<TopHitFile> file(self);
        const auto [gene_id, hmm_id, e_val, bit_score] =
            bind<std::string_view, std::string_view, double, double>(kAddHit, args, nargs, kwnames);
        file->table.add_hit(gene_id, hmm_id, e_val, bit_score);
        return none();
    });
}

PyObject* tophit_file_contains_gene_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return guarded([&] {
        const Shared<TopHitFile> file(self);
        const auto [gene_id] = bind<std::string_view>(kContainsGeneId, args, nargs, kwnames);
        return to_python(file->table.contains_gene_id(gene_id));
    });
}

PyObject* tophit_file_contains_gene_hmm(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return guarded([&] {
        const Shared<TopHitFile> file(self);
        const auto [gene_id, hmm_id] =
            bind<std::string_view, std::string_view>(kContainsGeneHmm, args, nargs, kwnames);
        return to_python(file->table.contains_gene_hmm(gene_id, hmm_id));
    });
}

PyObject* tophit_file_get_top_hit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&] {
        const Shared<TopHitFile> file(self);
        const auto [gene_id] = bind<std::string_view>(kGetTopHit, args, nargs, kwnames);
        return to_python(file->table.py_get_top_hit(gene_id));
    });
}

PyObject* tophit_file_get_hmm_hit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&] {
        const Shared<TopHitFile> file(self);
        const auto [gene_id, hmm_id] =
            bind<std::string_view, std::string_view>(kGetHmmHit, args, nargs, kwnames);
        return to_python(file->table.py_get_hmm_hit(gene_id, hmm_id));
    });
}

PyObject* tophit_file_write(PyObject* self, PyObject*) {
    return guarded([&] {
        const Shared<TopHitFile> file(self);
        // A path without a parent ("" or "/") is refused before the file system is touched.
        if (!util::parent_directory(file->path)) fail(kNoneUnwrap);
        // The file may block (a FIFO, a slow disk): other threads run meanwhile, and the borrow
        // keeps them from changing the table.
        without_gil([&] { hmmer::write_tophit_file(file->path, file->table); });
        return none();
    });
}

PyObject* tophit_file_read(PyObject* self, PyObject*) {
    return guarded([&] {
        const Exclusive<TopHitFile> file(self);
        without_gil([&] { hmmer::read_tophit_file(file->path, file->table); });
        return none();
    });
}

PyMethodDef kTopHitFileMethods[] = {
    method_def(kAddHit, tophit_file_add_hit),
    method_def(kContainsGeneId, tophit_file_contains_gene_id),
    method_def(kContainsGeneHmm, tophit_file_contains_gene_hmm),
    method_def(kGetTopHit, tophit_file_get_top_hit),
    method_def(kGetHmmHit, tophit_file_get_hmm_hit),
    {"write", as_cfunction(tophit_file_write), METH_NOARGS, nullptr},
    {"read", as_cfunction(tophit_file_read), METH_NOARGS, nullptr},
    {},
};

PyGetSetDef kTopHitFileFields[] = {
    {"path", read_field<&TopHitFile::path>, nullptr, nullptr, nullptr},
    {},
};

const PyType_Slot kTopHitFileSlots[] = {
    {Py_tp_new, as_slot(tophit_file_new)},
    {Py_tp_methods, kTopHitFileMethods},
    {Py_tp_getset, kTopHitFileFields},
};

// The capsule's functions: velko_tools reaches a TopHitFile's table only through these.

// Whether `obj` is velko's own TopHitFile; TypeError otherwise.
void expect_tophit_file(PyObject* obj) {
    if (PyObject_TypeCheck(obj, type_of<TopHitFile>())) return;
    Ref name =
        Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    Ref message = Ref::checked(
        PyUnicode_FromFormat("expected a velko.hmmer.tophit.TopHitFile, not %S", name.get()));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw ErrorAlreadySet{};
}

int settled(PyObject* result) {
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

int api_each_hit(PyObject* obj, hmmer::HitVisitor visit, void* context) {
    return settled(guarded([&] {
        expect_tophit_file(obj);
        const Shared<TopHitFile> file(obj);
        const hmmer::TopHitTable& table = file->table;
        const auto names = table.profile_names();
        table.for_each_gene([&](std::string_view gene_id, std::span<const hmmer::StoredHit> hits) {
            for (const hmmer::StoredHit& hit : hits) {
                const std::string& hmm_id = names[hit.profile];
                if (visit(context, gene_id.data(), gene_id.size(), hmm_id.data(), hmm_id.size(),
                          hit.e_val, hit.bit_score) < 0) {
                    throw ErrorAlreadySet{};
                }
            }
        });
        return none();
    }));
}

int api_add_hit(PyObject* obj, const char* gene_id, std::size_t gene_id_size, const char* hmm_id,
                std::size_t hmm_id_size, double e_val, double bit_score) {
    return settled(guarded([&] {
        expect_tophit_file(obj);
        const Exclusive<TopHitFile> file(obj);
        file->table.add_hit({gene_id, gene_id_size}, {hmm_id, hmm_id_size}, e_val, bit_score);
        return none();
    }));
}

const hmmer::TopHitApi kTopHitApi{.each_hit = api_each_hit, .add_hit = api_add_hit};

}  // namespace

std::span<const PyType_Slot> PyClassDef<hmmer::Hit>::slots() { return kHitSlots; }
std::span<const PyType_Slot> PyClassDef<hmmer::TopHitFile>::slots() { return kTopHitFileSlots; }

void build_tophit(PyObject* package) {
    Ref module = create_submodule("velko.hmmer.tophit");
    add_class<Hit>(module.get());
    add_class<TopHitFile>(module.get());
    // The capsule holds a pointer to a constant: nothing to free with it.
    Ref api = Ref::checked(PyCapsule_New(const_cast<hmmer::TopHitApi*>(&kTopHitApi),
                                         hmmer::kTopHitApiCapsule, nullptr));
    if (PyModule_AddObjectRef(module.get(), hmmer::kTopHitApiAttribute, api.get()) < 0) {
        throw ErrorAlreadySet{};
    }
    publish_submodule(package, module.get());
}

}  // namespace velko::py
