// Canonical genome accessions: strip database prefixes, shorten assembly prefixes, drop versions.
#include "accession/accession.hpp"

#include <algorithm>
#include <cstring>

namespace velko::accession {
namespace {

// Accessions are a few dozen bytes: a plain loop beats library calls whose setup dominates.
std::size_t find_text(std::string_view text, std::string_view what, std::size_t from) {
    if (text.size() < what.size()) return std::string_view::npos;
    const std::size_t last = text.size() - what.size();
    for (std::size_t i = from; i <= last; ++i) {
        if (text[i] != what[0]) continue;
        std::size_t j = 1;
        while (j < what.size() && text[i + j] == what[j]) ++j;
        if (j == what.size()) return i;
    }
    return std::string_view::npos;
}

// One left-to-right pass over the text as it stood before the pass, like str.replace: what a
// replacement produces is not searched again within the same pass. Every replacement here is
// no longer than what it replaces, so the pass writes behind its read position, in place.
std::size_t replace_all(char* data, std::size_t size, std::string_view from, std::string_view to) {
    const std::string_view text(data, size);
    std::size_t read = find_text(text, from, 0);
    if (read == std::string_view::npos) return size;
    std::size_t write = read;
    while (read != std::string_view::npos) {
        std::memcpy(data + write, to.data(), to.size());
        write += to.size();
        read += from.size();
        // Searching from `read` sees only bytes not yet moved: every write so far lies below it.
        const std::size_t next = find_text(text, from, read);
        const std::size_t stop = next == std::string_view::npos ? size : next;
        std::memmove(data + write, data + read, stop - read);
        write += stop - read;
        read = next;
    }
    return write;
}

}  // namespace

std::size_t canonical_gid(std::string_view gid, std::span<char> out) {
    std::memcpy(out.data(), gid.data(), gid.size());
    std::size_t size = gid.size();
    if (gid.starts_with('U')) return size;
    if (find_text(gid, "_", 0) != std::string_view::npos) {
        size = replace_all(out.data(), size, "RS_", "");
        size = replace_all(out.data(), size, "GB_", "");
        size = replace_all(out.data(), size, "GCA_", "G");
        size = replace_all(out.data(), size, "GCF_", "G");
    }
    return std::min(size, find_text(std::string_view(out.data(), size), ".", 0));
}

std::string canonical_gid(std::string_view gid) {
    std::string text(gid.size(), '\0');
    text.resize(canonical_gid(gid, text));
    return text;
}

}  // namespace velko::accession
