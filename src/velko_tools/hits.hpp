// The native top-hit table of velko_tools and the one way its readers report failures.
#pragma once

#include <functional>
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
hmmer::HmmerOptions hmmer_options_of(std::string_view format, std::string_view program,
                                     std::string_view score, std::string_view hmm);

/// The bytes of a path that Python has encoded with os.fsencode.
std::string as_path(nb::handle path);

/// Runs `read` without the interpreter lock and raises what it throws as velko_tools raises
/// it for a file called `name`: HmmerFormatError with the place, the OSError subclass of the
/// errno, gzip.BadGzipFile or EOFError for damaged gzip data, ValueError for a refused option.
void read_reporting(nb::handle name, const std::function<void()>& read);

}  // namespace velko::tools
