// Module operations used while the package is built: submodules, __all__, publication.
#pragma once

#include <string_view>

#include "pyclass.hpp"
#include "pyref.hpp"

namespace velko::py {

/// A new module under its full dotted name.
[[nodiscard]] Ref create_submodule(const char* dotted_name);

/// Records `name` in the module's __all__, then sets the attribute.
void add(PyObject* module, std::string_view name, PyObject* value);

/// A built-in function bound to `module` from a static definition, added under its own name.
void add_function(PyObject* module, PyMethodDef& definition);

/// Publishes the submodule in sys.modules by running `source`, then adds it to the package.
void publish_submodule(PyObject* package, PyObject* submodule, const char* source);

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
