// Canonical genome accessions: strip database prefixes, shorten assembly prefixes, drop versions.
#include "util/accession.hpp"

#include <cstring>

namespace velko::util {
namespace {

// One left-to-right pass over the text as it stood before the pass, like str.replace: what a
// replacement produces is not searched again within the same pass. Every replacement here is
// no longer than what it replaces, so the pass writes behind its read position, in place.
std::size_t replace_all(char* data, std::size_t size, std::string_view from, std::string_view to) {
    const std::string_view text(data, size);
    std::size_t read = text.find(from);
    if (read == std::string_view::npos) return size;
    std::size_t write = read;
    while (read != std::string_view::npos) {
        std::memcpy(data + write, to.data(), to.size());
        write += to.size();
        read += from.size();
        // Searching from `read` sees only bytes not yet moved: every write so far lies below it.
        const std::size_t next = text.find(from, read);
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
    if (gid.find('_') != std::string_view::npos) {
        size = replace_all(out.data(), size, "RS_", "");
        size = replace_all(out.data(), size, "GB_", "");
        size = replace_all(out.data(), size, "GCA_", "G");
        size = replace_all(out.data(), size, "GCF_", "G");
    }
    const void* dot = std::memchr(out.data(), '.', size);
    return dot == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(dot) - out.data());
}

std::string canonical_gid(std::string_view gid) {
    std::string text(gid.size(), '\0');
    text.resize(canonical_gid(gid, text));
    return text;
}

}  // namespace velko::util
