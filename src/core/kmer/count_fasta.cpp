// Per-record k-mer counts of a FASTA file, counted as the reader streams each record past.
#include "kmer/count_fasta.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fasta/reader.hpp"
#include "kmer/count.hpp"
#include "kmer/kmers.hpp"
#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/memory.hpp"

namespace velko::kmer {
namespace {

constexpr std::uint64_t kMinBlockBytes = std::uint64_t{256} << 10;
constexpr std::uint64_t kMaxBlockBytes = std::uint64_t{64} << 20;

// Zeroed count lists for the records of one file, carved from blocks of a quarter of what the
// results hold so far (256 KiB to 64 MiB, or one list when a list is larger): a few system calls
// serve thousands of short records, and a result kept after the others are dropped holds about
// its own size (its block hands the rest back). Every list handed out, with the record id it goes
// with, is charged to the call's memory account, so a k whose results cannot fit is refused as soon
// as they pass what is free, instead of getting the process killed.
class CountStore {
public:
    explicit CountStore(std::uint8_t k) : k_(k) {}

    CountList take(util::MemoryAccount& account, std::size_t id_bytes) {
        if (list_size_ == 0) {
            // Only now: a file without records never needs 4^k counts, whatever k is.
            require_kmer_memory(k_, sizeof(std::uint64_t), 0, "counts");
            list_size_ = kmer_space(k_);
            list_bytes_ = list_size_ * sizeof(std::uint64_t);
        }
        account.charge(list_bytes_ + id_bytes + sizeof(FastaCounts::value_type), [&] {
            const std::string k_text = std::to_string(k_);
            return util::MemoryNeed{.what = "k = " + k_text,
                                    .detail = "4^" + k_text + " counts for each of " +
                                              std::to_string(live_ + 1) + " records"};
        });
        if (pool_.room() < list_size_) new_block();
        ++live_;
        return pool_.take(static_cast<std::size_t>(list_size_));
    }

private:
    void new_block() {
        const std::uint64_t wanted = std::clamp(util::saturating_mul(live_, list_bytes_) / 4,
                                                kMinBlockBytes, kMaxBlockBytes);
        const std::uint64_t lists = std::max<std::uint64_t>(1, wanted / list_bytes_);
        pool_.new_block(static_cast<std::size_t>(lists * list_size_));
    }

    std::uint8_t k_;
    std::uint64_t list_size_ = 0;
    std::uint64_t list_bytes_ = 0;
    std::uint64_t live_ = 0;  // lists handed out
    CountPool pool_;
};

}  // namespace

FastaCounts count_fasta(std::string_view path, std::uint8_t k, bool use_rev_complement) {
    try {
        fasta::Reader reader(path);
        FastaCounts results;
        CountStore store(k);
        ReverseStrand reverse(k);
        std::string batch;
        while (reader.next_record()) {
            KmerCountResult result{
                .k = k, .total = 0, .counts = store.take(reader.memory(), reader.id().size())};
            SequenceCounter counter(k, result.counts);
            if (use_rev_complement) reverse.start();
            // Lines are gathered into stretches: counting a piece has a fixed cost that
            // 60-letter lines would pay a million times over.
            std::string_view text;
            while (reader.next_stretch(text, batch, fasta::Reader::kStretchBytes)) {
                counter.feed(text);
                if (use_rev_complement) reverse.feed(text);
            }
            result.total = counter.finish();
            if (use_rev_complement) {
                reverse.add(result.counts);
                result.total *= 2;
            }
            // Ids are not looked up here: a hash map probe per record costs more than the
            // record itself for short reads, and the dict that receives the results settles
            // repeated ids the same way, the later replacing the earlier.
            results.emplace_back(std::string(reader.id()), std::move(result));
            // Large lists take long to pair up even for short records: a record counts as
            // much work as its list.
            util::poll_interrupt(results.back().second.counts.size());
        }
        return results;
    } catch (util::Failure& failure) {
        failure.locate(path, util::FileKind::kFasta);
        throw;
    }
}

}  // namespace velko::kmer
