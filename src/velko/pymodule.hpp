// Module operations used while the package is built: submodules, __all__, publication.
#pragma once

#include <string_view>

#include "velko/pyclass.hpp"
#include "velko/pyref.hpp"
#include "velko/signature.hpp"

namespace velko::py {

/// A new module under its full dotted name.
[[nodiscard]] Ref create_submodule(const char* dotted_name);

/// Records `name` in the module's __all__, then sets the attribute.
void add(PyObject* module, std::string_view name, PyObject* value);

/// A function or method that binds its arguments through a Signature (METH_FASTCALL |
/// METH_KEYWORDS).
using FastcallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// The method-table row of `entry`, named by its signature: the Python name is written once.
/// Signatures are made from string literals, so the name's data is NUL-terminated.
[[nodiscard]] inline PyMethodDef method_def(const Signature& signature, FastcallEntry entry) {
    return {signature.name.data(), as_cfunction(entry), METH_FASTCALL | METH_KEYWORDS, nullptr};
}

/// Built-in functions bound to `module` from a static table (ending in an empty row), each
/// added under its own name.
void add_functions(PyObject* module, PyMethodDef* table);

/// Publishes the submodule in sys.modules under its own name, by running a one-line statement
/// that says so, then adds it to the package.
void publish_submodule(PyObject* package, PyObject* submodule);

/// Runs Python source with the __main__ globals, or the given locals.
void run_source(const char* source, PyObject* locals);

/// Adds the class's type object (made on first use) under the class name.
template <class Record>
void add_class(PyObject* module) {
    add(module, class_name<Record>(), reinterpret_cast<PyObject*>(type_of<Record>()));
}

/// The submodule builders, in the order the package initialiser runs them.
void build_accession(PyObject* package);
void build_tophit(PyObject* package);
void build_kmer(PyObject* package);
void build_fasta(PyObject* package);

}  // namespace velko::py
