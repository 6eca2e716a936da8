// The one translation of core failures into velko_tools' exceptions: each kind of failure
// becomes its Python class, with the place as attributes (see velko_tools.errors).
#include <cerrno>
#include <cstddef>
#include <exception>
#include <string>

#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"
#include "velko_tools/bindings.hpp"

namespace velko::tools {
namespace {

using util::Failure;
using util::FailureKind;
using util::FileKind;

// The path as the caller gave it: the core is handed os.fsencode(path) of a str or PathLike,
// which os.fsdecode gives back.
nb::object caller_path(const std::string& path) {
    PyObject* name =
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (name == nullptr) throw nb::python_error();
    return nb::steal(name);
}

nb::str text(const std::string& value) { return nb::str(value.data(), value.size()); }

void raise(nb::handle type, const nb::object& value) { PyErr_SetObject(type.ptr(), value.ptr()); }

nb::object error_class(const char* name) {
    return nb::module_::import_("velko_tools.errors").attr(name);
}

nb::object format_error(const Failure& failure, nb::handle name) {
    switch (failure.file) {
        case FileKind::kHmmerTable:
            return error_class("HmmerFormatError")(
                name, failure.line,
                failure.column == 0 ? nb::none() : nb::object(nb::int_(failure.column)),
                text(failure.reason));
        case FileKind::kTopHitFile:
            return error_class("TopHitFormatError")(name, failure.line, text(failure.reason));
        case FileKind::kFasta:
        case FileKind::kNone:
            break;
    }
    return error_class("FastaFormatError")(name, failure.line, text(failure.reason));
}

// Sets the Python exception of `failure`, naming its file `name`.
void raise_failure(const Failure& failure, nb::handle name) {
    switch (failure.kind) {
        case FailureKind::kOs:
            if (failure.os_error == 0) {
                PyErr_Format(PyExc_ValueError, "embedded null byte in path %R", name.ptr());
                return;
            }
            // The OSError subclass open() raises for the errno, naming the file.
            errno = failure.os_error;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
            return;
        case FailureKind::kGzipDamaged:
            raise(nb::module_::import_("gzip").attr("BadGzipFile"),
                  nb::str("{}: {}").format(name, text(failure.reason)));
            return;
        case FailureKind::kGzipTruncated:
            raise(PyExc_EOFError,
                  nb::str("{}: compressed file ended before the end-of-stream marker was "
                          "reached")
                      .format(name));
            return;
        case FailureKind::kFormat: {
            const nb::object error = format_error(failure, name);
            raise(error.type(), error);
            return;
        }
        case FailureKind::kInvalidBase: {
            const nb::object error = error_class("InvalidBaseError")(
                name, text(failure.record), failure.line, failure.column, text(failure.piece));
            raise(error.type(), error);
            return;
        }
        case FailureKind::kRefused:
            raise(PyExc_ValueError, text(failure.reason));
            return;
        case FailureKind::kAbort:
            break;
    }
    raise(PyExc_RuntimeError, text(failure.reason));
}

void translate(const std::exception_ptr& thrown, void*) {
    try {
        std::rethrow_exception(thrown);
    } catch (const Failure& failure) {
        try {
            raise_failure(failure, caller_path(failure.path));
        } catch (nb::python_error& error) {
            error.restore();  // making the exception failed: that failure is the one to see
        }
    } catch (const util::MemoryRefused& refused) {
        PyErr_SetString(PyExc_MemoryError, refused.what());
    } catch (const util::Interrupted&) {
        // The hook that stopped the work left the KeyboardInterrupt pending.
        if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
}

}  // namespace

void register_failures() { nb::register_exception_translator(translate); }

InputFiles::InputFiles(const nb::list& files) {
    for (nb::handle file : files) {
        const auto pair = nb::cast<nb::tuple>(file);
        const auto path = nb::cast<nb::bytes>(pair[0]);
        paths_.emplace_back(path.c_str(), path.size());
        names_.push_back(nb::cast<nb::str>(pair[1]));
    }
}

void InputFiles::raise_named(const Failure& failure) const {
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        if (paths_[i] != failure.path) continue;
        try {
            raise_failure(failure, names_[i]);
        } catch (nb::python_error& error) {
            error.restore();
        }
        throw nb::python_error();
    }
    throw;  // a file of the call's own (a spill file, say): the translator names it by path
}

}  // namespace velko::tools
