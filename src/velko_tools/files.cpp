// Files velko_tools writes from Python, replaced as the core replaces its own: a temporary
// beside the target that Python fills, then synced and renamed over it.
#include <nanobind/stl/string.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>

#include "util/os_file.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

// The OSError subclass of `error`, naming the file as the caller gave it.
[[noreturn]] void raise_errno(int error, nb::handle name) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw nb::python_error();
}

/// One output in the making. The core object goes with discard() or commit(), whichever
/// comes first; its destructor removes a temporary that was not renamed.
class Replacing {
public:
    Replacing(nb::bytes path, nb::object name) : name_(std::move(name)) {
        const std::string target(path.c_str(), path.size());
        // Opening a FIFO written in place waits for its reader: Ctrl-C must end the wait.
        file_ = unlocked([&] { return std::make_unique<util::ReplacingFile>(target); });
        if (!file_->is_open()) {
            const int error = file_->error();
            file_.reset();
            raise_errno(error == 0 ? EINVAL : error, name_);
        }
    }

    nb::bytes written_path() const {
        const std::string& path = live().written_path();
        return nb::bytes(path.data(), path.size());
    }

    void commit() {
        util::ReplacingFile& file = live();
        const bool written = unlocked([&] { return file.finish_writing(); });
        const int error = written ? unlocked([&] { return file.replace(); }) : file.error();
        file_.reset();
        if (error != 0) raise_errno(error, name_);
    }

    void discard() {
        if (file_) unlocked([&] { file_.reset(); });
    }

private:
    util::ReplacingFile& live() const {
        if (!file_) throw nb::value_error("the output was already committed or discarded");
        return *file_;
    }

    nb::object name_;
    std::unique_ptr<util::ReplacingFile> file_;
};

}  // namespace

void bind_files(nb::module_& m) {
    nb::class_<Replacing>(m, "ReplacingFile",
                          "An output file replaced whole or not at all; see "
                          "velko_tools.output.replacing.")
        .def(nb::init<nb::bytes, nb::object>(), nb::arg("path"), nb::arg("name"))
        .def_prop_ro("written_path", &Replacing::written_path,
                     "The file to write: a temporary beside the target, or the target itself "
                     "when it is written in place (a FIFO, a device).")
        .def("commit", &Replacing::commit,
             "Syncs the written file and renames it over the target; OSError naming the target.")
        .def("discard", &Replacing::discard, "Removes the temporary; the target stays as it was.");
    m.def(
        "remove_temporaries",
        [](nb::bytes path, bool own) {
            const std::string target(path.c_str(), path.size());
            unlocked([&] { util::remove_temporaries(target, own); });
        },
        nb::arg("path"), nb::arg("own"),
        "Removes the temporaries beside `path` of writers that are gone, and with `own` this\n"
        "process's.");
}

}  // namespace velko::tools
