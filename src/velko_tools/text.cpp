// Table text of velko_tools._core: rows of counts or frequencies as tab-separated lines, made
// without the interpreter lock and without a Python object per cell, and gzip members of it.
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmer/kmers.hpp"
#include "util/gzip_member.hpp"
#include "util/row_text.hpp"
#include "velko_tools/bindings.hpp"
#include "velko_tools/unlocked.hpp"

namespace velko::tools {
namespace {

template <class Value>
using Rows = nb::ndarray<const Value, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <class Value>
nb::bytes format_rows(const std::vector<std::string>& prefixes, const Rows<Value>& values,
                      std::size_t start) {
    if (start > values.shape(0) || prefixes.size() > values.shape(0) - start) {
        throw nb::index_error("rows start + len(prefixes) lie beyond the array");
    }
    const std::size_t columns = values.shape(1);
    std::string text;
    const std::vector<std::string_view> views(prefixes.begin(), prefixes.end());
    // Without the lock, and through unlocked(): a daemon thread still formatting when the
    // interpreter ends must not take the lock back in a destructor.
    unlocked([&] { util::append_rows(text, views, values.data() + start * columns, columns); });
    return nb::bytes(text.data(), text.size());
}

template <class Value>
using Column = nb::ndarray<const Value, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

template <class Count>
nb::bytes count_lines(std::uint8_t k, const Column<std::uint64_t>& codes,
                      const Column<Count>& counts) {
    check_sparse_k(k);
    if (codes.shape(0) != counts.shape(0)) {
        throw nb::value_error("codes and counts must be as long as each other");
    }
    std::string text;
    unlocked([&] {
        kmer::append_count_lines(text, k, {codes.data(), codes.shape(0)},
                                 {counts.data(), counts.shape(0)});
    });
    return nb::bytes(text.data(), text.size());
}

nb::bytes kmer_letters(std::uint8_t k, const Column<std::uint64_t>& codes) {
    check_sparse_k(k);
    std::string text;
    unlocked([&] { kmer::append_kmers(text, k, {codes.data(), codes.shape(0)}); });
    return nb::bytes(text.data(), text.size());
}

util::GzipCodec deflater_named(const std::optional<std::string>& name) {
    if (!name) return util::default_codec();
    for (const auto deflater : {util::GzipCodec::kIsal, util::GzipCodec::kZlib}) {
        if (*name == util::codec_name(deflater)) return deflater;
    }
    throw nb::value_error("deflater must be 'isal', 'zlib' or None");
}

nb::bytes gzip_member(const nb::bytes& text, int level, const std::optional<std::string>& name) {
    const util::GzipCodec deflater = deflater_named(name);
    // A bytes object never changes, and `text` holds it: its buffer is read without the lock.
    const std::string_view input(text.c_str(), text.size());
    std::string member;
    unlocked([&] { util::append_gzip_member(member, input, level, deflater); });
    return nb::bytes(member.data(), member.size());
}

}  // namespace

void bind_text(nb::module_& m) {
    constexpr const char* doc =
        "The lines of rows start .. start + len(prefixes) of a 2-D array: each prefix, then the\n"
        "row's values after tabs (counts in decimal, floats as repr() writes them), then a line\n"
        "feed, as UTF-8 bytes.";
    m.def("format_rows", &format_rows<std::uint64_t>, nb::arg("prefixes"), nb::arg("values"),
          nb::arg("start"), doc);
    m.def("format_rows", &format_rows<double>, nb::arg("prefixes"), nb::arg("values"),
          nb::arg("start"), doc);
    constexpr const char* lines_doc =
        "One 'KMER<TAB>COUNT' line per code (its k letters, first letter from the highest\n"
        "bits) with the count at the same place, as UTF-8 bytes.";
    m.def("count_lines", &count_lines<std::uint32_t>, nb::arg("k"), nb::arg("codes"),
          nb::arg("counts"), lines_doc);
    m.def("count_lines", &count_lines<std::uint64_t>, nb::arg("k"), nb::arg("codes"),
          nb::arg("counts"), lines_doc);
    m.def("kmer_letters", &kmer_letters, nb::arg("k"), nb::arg("codes"),
          "The k letters of each code (first letter from the highest bits), one after another,\n"
          "as bytes.");
    m.def("gzip_member", &gzip_member, nb::arg("text"), nb::arg("level"),
          nb::arg("deflater") = nb::none(),
          "`text` as one gzip member at `level` (1 fastest to 9 smallest; ISA-L's 0 to 3 take\n"
          "1, 2-3, 4-6 and 7-9), by `deflater` ('isal', 'zlib'; None: the build's GZIP_BACKEND).\n"
          "Members written one after another read as one gzip stream. ValueError for a level\n"
          "out of range or a deflater not built in.");
}

}  // namespace velko::tools
