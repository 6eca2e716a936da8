// Canonical genome accessions: strip database prefixes, shorten assembly prefixes, drop versions.
#include "util/accession.hpp"

#include <cstring>

namespace velko::util {
namespace {

// One left-to-right pass over the text as it stood before the pass, like str.replace: what a
// replacement produces is not searched again within the same pass. Every replacement here is
// no longer than what it replaces, so the pass can write behind its read position in place.
void replace_all(std::string& text, std::string_view from, std::string_view to) {
    const std::size_t n = text.size();
    char* data = text.data();
    const void* first = std::memchr(data, from[0], n);
    if (first == nullptr) return;
    auto read = static_cast<std::size_t>(static_cast<const char*>(first) - data);
    std::size_t write = read;
    while (read < n) {
        if (n - read >= from.size() && std::memcmp(data + read, from.data(), from.size()) == 0) {
            std::memcpy(data + write, to.data(), to.size());
            write += to.size();
            read += from.size();
        } else {
            data[write++] = data[read++];
        }
    }
    text.resize(write);
}

}  // namespace

std::string canonical_gid(std::string_view gid) {
    if (gid.starts_with('U')) return std::string(gid);
    std::string text(gid);
    if (text.find('_') != std::string::npos) {
        replace_all(text, "RS_", "");
        replace_all(text, "GB_", "");
        replace_all(text, "GCA_", "G");
        replace_all(text, "GCF_", "G");
    }
    if (const auto dot = text.find('.'); dot != std::string::npos) text.resize(dot);
    return text;
}

}  // namespace velko::util
