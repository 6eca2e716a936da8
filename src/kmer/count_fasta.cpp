// Per-record k-mer counts of a FASTA file, counted as the reader streams each record past.
#include "kmer/count_fasta.hpp"

#include <string>
#include <utility>

#include "fasta/reader.hpp"
#include "kmer/count.hpp"
#include "kmer/kmers.hpp"
#include "util/fail.hpp"

namespace velko::kmer {
namespace {

constexpr std::string_view kUnwrapError = "called `Result::unwrap()` on an `Err` value: ";

[[noreturn]] void fail_read(std::string_view path, std::string_view cause) {
    std::string message(kUnwrapError);
    message += "Failed to read fasta from ";
    message += fasta::quote_path(path);
    message += "\n\nCaused by:\n    ";
    message += cause;
    fail(message);
}

}  // namespace

FastaCounts count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement) {
    try {
        fasta::Reader reader(path);
        FastaCounts results;
        std::uint64_t held = 0;  // bytes of counts the results hold
        while (reader.next_record()) {
            std::string id(reader.id());
            const std::uint64_t size = kmer_space(k);
            held = saturating_add(held, saturating_mul(size, sizeof(std::uint64_t)));
            require_memory(held);
            KmerCountResult result{.k = k, .total = 0, .counts = std::vector<std::uint64_t>(size)};
            SequenceCounter counter(k, result.counts);
            std::string_view piece;
            while (reader.next_piece(piece)) counter.feed(piece);
            result.total = counter.finish();
            if (use_rev_complement) {
                add_reverse_strand(k, result.counts);
                result.total *= 2;
            }
            results.insert_or_assign(std::move(id), std::move(result));
        }
        return results;
    } catch (const fasta::ReadError& error) {
        fail_read(path, error.what());
    }
}

}  // namespace velko::kmer
