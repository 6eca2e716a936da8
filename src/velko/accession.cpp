// velko.util.accession: canonical_gid.
#include "accession/accession.hpp"

#include <array>

#include "velko/pymodule.hpp"

namespace velko::py {
namespace {

constexpr Signature kCanonicalGid{.name = "canonical_gid", .params = {"gid"}};

PyObject* canonical_gid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto [gid] = bind<std::string_view>(kCanonicalGid, args, nargs, kwnames);
        // Accessions are short: canonicalise on the stack rather than in a heap string.
        std::array<char, 128> buffer;
        if (gid.size() > buffer.size()) return to_python(accession::canonical_gid(gid));
        return to_python(std::string_view(buffer.data(), accession::canonical_gid(gid, buffer)));
    });
}

PyMethodDef kFunctions[] = {
    method_def(kCanonicalGid, canonical_gid),
    {},
};

}  // namespace

void build_accession(PyObject* package) {
    Ref module = create_submodule("velko.util.accession");
    add_functions(module.get(), kFunctions);
    publish_submodule(package, module.get());
}

}  // namespace velko::py
