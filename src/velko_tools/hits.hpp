// The native top-hit table of velko_tools and what its readers share.
#pragma once

#include <string>
#include <string_view>

#include "hmmer/hmmer_tab.hpp"
#include "hmmer/tophit_table.hpp"
#include "velko_tools/bindings.hpp"

namespace velko::tools {

/// A top-hit table owned by a velko_tools HitTable.
struct TopHits {
    TopHits() = default;
    TopHits(TopHits&&) = default;
    TopHits& operator=(TopHits&&) = default;
    // The table's containers hold move-only parts; say so before a template tries to copy.
    TopHits(const TopHits&) = delete;
    TopHits& operator=(const TopHits&) = delete;
    ~TopHits() = default;

    hmmer::TopHitTable table;
};

/// The reader's options from their Python names, checked by the caller; "" is the program
/// named in each file.
hmmer::HmmerOptions hmmer_options(std::string_view format, std::string_view program,
                                  std::string_view score, std::string_view hmm);

/// The bytes of a path that Python has encoded with os.fsencode.
std::string as_path(nb::handle path);

}  // namespace velko::tools
