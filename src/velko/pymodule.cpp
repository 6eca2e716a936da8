// Module operations: creation, export lists, functions, publication in sys.modules.
#include "velko/pymodule.hpp"

#include <cstring>
#include <string>

#include "velko/boundary.hpp"
#include "velko/messages.hpp"

namespace velko::py {
namespace {

// "__name__", interned once for the life of the process. A failed first try is not cached:
// a static holding NULL would fail every later lookup without an error set.
PyObject* interned_name() {
    static PyObject* name = nullptr;
    if (name == nullptr) name = Ref::checked(PyUnicode_InternFromString("__name__")).release();
    return name;
}

// A NUL inside text that is handed to a C API expecting a C string is a ValueError.
void check_no_nul(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        throw_error(PyExc_ValueError, "nul byte found in provided data");
    }
}

Ref export_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
        PyErr_Clear();
        all = Ref::checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw ErrorAlreadySet{};
        return all;
    }
    if (!PyList_Check(all.get())) throw_downcast(all.get(), "PyList");
    return all;
}

}  // namespace

Ref create_submodule(const char* dotted_name) {
    check_no_nul(dotted_name);
    return Ref::checked(PyModule_New(dotted_name));
}

void add(PyObject* module, std::string_view name, PyObject* value) {
    Ref all = export_list(module);
    Ref text = abort_on_null(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (PyList_Append(all.get(), text.get()) < 0) fail("could not append __name__ to __all__");
    if (PyObject_SetAttr(module, text.get(), value) < 0) throw ErrorAlreadySet{};
}

void add_functions(PyObject* module, PyMethodDef* table) {
    Ref module_name = Ref::checked(PyModule_GetNameObject(module));
    for (PyMethodDef* definition = table; definition->ml_name != nullptr; ++definition) {
        Ref function = Ref::checked(PyCMethod_New(definition, module, module_name.get(), nullptr));
        Ref name = Ref::checked(PyObject_GetAttr(function.get(), interned_name()));
        const auto text = from_python<std::string_view>(name.get());
        add(module, text, function.get());
    }
}

void run_source(const char* source, PyObject* locals) {
    check_no_nul(source);
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    if (main == nullptr) throw ErrorAlreadySet{};
    PyObject* globals = PyModule_GetDict(main);  // borrowed
    if (globals == nullptr) throw ErrorAlreadySet{};
    Ref code =
        Ref::checked(Py_CompileStringExFlags(source, "<string>", Py_file_input, nullptr, -1));
    Ref result = Ref::checked(PyEval_EvalCode(code.get(), globals, locals ? locals : globals));
}

void publish_submodule(PyObject* package, PyObject* submodule) {
    const char* name = PyModule_GetName(submodule);
    if (name == nullptr) throw ErrorAlreadySet{};
    const std::string statement =
        std::string("import sys; sys.modules['") + name + "'] = submodule";
    const char* source = statement.c_str();
    Ref locals = Ref::checked(PyDict_New());
    if (PyDict_SetItemString(locals.get(), "submodule", submodule) < 0) throw ErrorAlreadySet{};
    try {
        run_source(source, locals.get());
    } catch (const ErrorAlreadySet&) {
        PyErr_PrintEx(0);
        try {
            run_source("import sys; sys.stderr.flush()", nullptr);
        } catch (const ErrorAlreadySet&) {
            fail(std::string(kErrUnwrap) + ": " + describe_pending_error());
        }
        fail(source);
    }
    add(package, name, submodule);
}

}  // namespace velko::py
