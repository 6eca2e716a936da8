// canonical_gid against a plain reference: each step a str.replace-style pass, then the cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "accession/accession.hpp"

namespace {

std::string replace(const std::string& text, const std::string& from, const std::string& to) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, from.size(), from) == 0) {
            out += to;
            i += from.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string reference(std::string text) {
    if (!text.empty() && text[0] == 'U') return text;
    text = replace(text, "RS_", "");
    text = replace(text, "GB_", "");
    text = replace(text, "GCA_", "G");
    text = replace(text, "GCF_", "G");
    return text.substr(0, text.find('.'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (velko::accession::canonical_gid(text) != reference(text)) std::abort();
    return 0;
}
