// velko.fasta: the DnaSequence class.
#include "fasta/dna_sequence.hpp"
#include "velko/pymodule.hpp"

namespace velko::py {

template <>
struct PyClassDef<fasta::DnaSequence> {
    static constexpr const char* kName = "builtins.DnaSequence";
    static std::span<const PyType_Slot> slots();
};

namespace {

using fasta::DnaSequence;

constexpr Signature kDnaSequenceNew{
    .owner = class_name<DnaSequence>(), .name = "__new__", .params = {"seq"}};

PyObject* dna_sequence_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto [seq] = bind_new<std::string_view>(kDnaSequenceNew, args, kwargs);
        return construct(type, fasta::copy_sequence(seq));
    });
}

PyObject* dna_sequence_rev_complement(PyObject* self, PyObject*) {
    return guarded([&] {
        const Shared<DnaSequence> dna(self);
        return to_python(dna->rev_complement());
    });
}

PyMethodDef kDnaSequenceMethods[] = {
    {"rev_complement", as_cfunction(dna_sequence_rev_complement), METH_NOARGS, nullptr},
    {},
};

PyGetSetDef kDnaSequenceFields[] = {
    {"seq", read_field<&DnaSequence::seq>, nullptr, nullptr, nullptr},
    {},
};

const PyType_Slot kDnaSequenceSlots[] = {
    {Py_tp_new, as_slot(dna_sequence_new)},
    {Py_tp_methods, kDnaSequenceMethods},
    {Py_tp_getset, kDnaSequenceFields},
};

}  // namespace

std::span<const PyType_Slot> PyClassDef<fasta::DnaSequence>::slots() { return kDnaSequenceSlots; }

void build_fasta(PyObject* package) {
    Ref module = create_submodule("velko.fasta");
    add_class<DnaSequence>(module.get());
    publish_submodule(package, module.get());
}

}  // namespace velko::py
