// The one walk over a FASTA file's records that every per-record count is built on: reading,
// progress, cancelling, the base tally and the located failure of a byte that is not a base are
// here once; what each window feeds (a dense row, sparse occurrences, a sketch) is the consumer's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fasta/reader.hpp"
#include "kmer/base_tally.hpp"
#include "kmer/window_kernel.hpp"
#include "util/failure.hpp"

namespace velko::kmer {

/// What the workers of one job share: the bytes read over all files, published as they go, and
/// the flag that asks them to stop.
struct WalkShared {
    std::atomic<std::uint64_t>& bytes_done;
    const std::atomic<bool>& cancelled;
};

/// Progress is published, and the cancel flag looked at, once per this many bytes read.
inline constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 20;

/// The failure of the byte at offset `at` of `text`, a stretch of record `record` of `path`
/// whose pieces start at `places`: located by line and column, the whole UTF-8 character named.
[[nodiscard]] util::Failure invalid_base(const std::string& path, std::string_view record,
                                         std::string_view text, std::size_t at,
                                         std::span<const fasta::PiecePlace> places);

/// Hands every record of `reader` (opened on `path`) to `consumer`:
/// - `consumer.start(id)` as a record begins;
/// - `consumer.feed(bytes, n)` with each stretch of its sequence (lines joined), returning n, or,
///   when it stops at a byte that is not a base, that byte's offset in the stretch; it is fed
///   nothing more of that record;
/// - `consumer.end(id, size)` once the record is over, `size` its length in bytes.
/// A stopped record whose length reaches `k` fails with invalid_base (with Invalid::kSkip a
/// consumer never stops); a shorter one has no window to hold the byte and ends as usual. Tallies
/// each record's bases into `tally` when given. Returns false when cancelled; util::Failure from
/// the reader is left for the caller to locate.
template <Invalid invalid, class Consumer>
bool walk_records(fasta::Reader& reader, const std::string& path, std::uint8_t k,
                  Consumer& consumer, WalkShared shared, BaseTally* tally = nullptr) {
    std::uint64_t published = 0;
    const auto publish = [&] {
        const std::uint64_t read = reader.bytes_read();
        shared.bytes_done.fetch_add(read - published, std::memory_order_relaxed);
        published = read;
    };
    std::string batch;
    std::string_view text;
    // Piece places are kept only where a byte can fail: they name its line and column.
    std::vector<fasta::PiecePlace> places;
    std::vector<fasta::PiecePlace>* const kept_places =
        invalid == Invalid::kStop ? &places : nullptr;
    while (reader.next_record()) {
        consumer.start(reader.id());
        if (tally != nullptr) ++tally->records;
        std::uint64_t size = 0;
        std::optional<util::Failure> failure;
        // Lines are gathered into stretches: a consumer has a fixed cost per piece that 60-letter
        // lines would pay a million times over.
        while (reader.next_stretch(text, batch, fasta::Reader::kStretchBytes, kept_places)) {
            if (tally != nullptr) tally->add(text);
            if (!failure) {
                const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
                const std::size_t fed = consumer.feed(bytes, text.size());
                if (invalid == Invalid::kStop && fed < text.size()) {
                    failure.emplace(invalid_base(path, reader.id(), text, fed, places));
                }
            }
            size += text.size();
            // Once a byte has failed, read on only as far as deciding whether a window fits.
            if (failure && size >= k) break;
            if (reader.bytes_read() - published >= kProgressStep) {
                publish();
                if (shared.cancelled.load(std::memory_order_relaxed)) return false;
            }
        }
        if (failure && size >= k) throw *failure;
        consumer.end(reader.id(), size);
    }
    publish();
    return true;
}

/// walk_records over the file at `path`, opened here.
template <Invalid invalid, class Consumer>
bool walk_records(const std::string& path, std::uint8_t k, Consumer& consumer, WalkShared shared,
                  BaseTally* tally = nullptr) {
    fasta::Reader reader(path);
    return walk_records<invalid>(reader, path, k, consumer, shared, tally);
}

}  // namespace velko::kmer
