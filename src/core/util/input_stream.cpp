// Plain or gzip input through one read loop; every gzip member of a file is decompressed in turn,
// by ISA-L when it is built in (zlib otherwise), on a thread of its own for regular files.
#include "util/input_stream.hpp"

#include <pthread.h>
#include <signal.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "util/failure.hpp"
#include "util/interrupt.hpp"
#include "util/isal.hpp"
#include "util/reused_buffer.hpp"

namespace velko::util {

namespace {

constexpr std::string_view kEndedEarly = "gzip stream ended early";
constexpr std::string_view kInvalidData = "invalid gzip data";

// Compressed bytes read at once, and decompressed bytes handed from the inflating thread to
// the reading one at once (a few blocks in flight: the two threads rarely wait for each other).
constexpr std::size_t kCompressedChunk = std::size_t{1} << 18;
constexpr std::size_t kBlockSize = std::size_t{1} << 18;
constexpr std::size_t kBlocks = 4;

std::size_t read_file(OsFile& file, std::span<char> out) {
    const std::ptrdiff_t n = file.read(out);
    if (n < 0) throw os_failure(FileKind::kNone, FileStep::kRead, {}, file.error());
    return static_cast<std::size_t>(n);
}

Failure damaged(std::string cause) {
    return Failure({.kind = FailureKind::kGzipDamaged, .reason = std::move(cause)});
}

Failure truncated() {
    return Failure({.kind = FailureKind::kGzipTruncated, .reason = std::string(kEndedEarly)});
}

// What one decoder call did: input bytes used, output bytes written, and whether the member
// (header, deflate data and trailer) is complete.
struct Step {
    std::size_t consumed = 0;
    std::size_t produced = 0;
    bool member_end = false;
};

// Decodes gzip members through zlib; its texts are the ones every fault is reported with.
class ZlibMember {
public:
    ZlibMember() {
        // 16 + MAX_WBITS: gzip wrapper only, so a zlib or raw deflate stream is refused.
        if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    }
    ~ZlibMember() { inflateEnd(&stream_); }
    ZlibMember(const ZlibMember&) = delete;
    ZlibMember& operator=(const ZlibMember&) = delete;

    Step step(std::span<const char> in, std::span<char> out) {
        z_stream& s = stream_;
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        s.avail_in = clamp(in.size());
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = clamp(out.size());
        const uInt avail_in = s.avail_in;
        const uInt avail_out = s.avail_out;
        const int status = inflate(&s, Z_NO_FLUSH);
        const Step done{avail_in - s.avail_in, avail_out - s.avail_out, status == Z_STREAM_END};
        if (status == Z_DATA_ERROR || status == Z_NEED_DICT) {
            throw damaged(std::string(kInvalidData) + ": " +
                          (s.msg != nullptr ? s.msg : "corrupt stream"));
        }
        if (status == Z_MEM_ERROR) throw std::bad_alloc();
        if (status != Z_OK && status != Z_BUF_ERROR && status != Z_STREAM_END) {
            throw damaged(std::string(kInvalidData));
        }
        return done;
    }

    void reset() {
        if (inflateReset(&stream_) != Z_OK) throw damaged(std::string(kInvalidData));
    }

private:
    static uInt clamp(std::size_t n) {
        return static_cast<uInt>(std::min<std::size_t>(n, std::numeric_limits<uInt>::max()));
    }
    z_stream stream_{};
};

#if VELKO_HAVE_ISAL
// A fault ISA-L found; zlib, run again over the member, says which one it is.
struct IsalFault {
    int code;
};

// Decodes gzip members through ISA-L's inflater, two to three times zlib's speed.
class IsalMember {
public:
    IsalMember() : state_(std::make_unique<inflate_state>()) { reset(); }

    Step step(std::span<const char> in, std::span<char> out) {
        inflate_state& s = *state_;
        s.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
        s.avail_in = clamp(in.size());
        s.next_out = reinterpret_cast<std::uint8_t*>(out.data());
        s.avail_out = clamp(out.size());
        const std::uint32_t avail_in = s.avail_in;
        const std::uint32_t avail_out = s.avail_out;
        const int status = isal_inflate(&s);
        if (status < 0 || status == ISAL_NEED_DICT) throw IsalFault{status};
        return {avail_in - s.avail_in, avail_out - s.avail_out, s.block_state == ISAL_BLOCK_FINISH};
    }

    void reset() {
        isal_inflate_reset(state_.get());
        state_->crc_flag = ISAL_GZIP;
    }

private:
    static std::uint32_t clamp(std::size_t n) {
        return static_cast<std::uint32_t>(
            std::min<std::size_t>(n, std::numeric_limits<std::uint32_t>::max()));
    }
    std::unique_ptr<inflate_state> state_;
};
#endif

#if VELKO_HAVE_ISAL
// The first fault zlib finds in the member that starts at `offset` in the file, read again
// from there; none when zlib finds none (the decoders then disagree).
std::optional<Failure> zlib_fault_at(OsFile& file, std::uint64_t offset) {
    ZlibMember member;
    std::vector<char> in(kCompressedChunk);
    std::vector<char> out(kBlockSize);
    std::size_t in_at = 0;
    std::size_t in_end = 0;
    for (;;) {
        if (in_at == in_end) {
            const std::ptrdiff_t n = file.read_at(in, offset);
            if (n < 0) return std::nullopt;
            if (n == 0) return truncated();
            offset += static_cast<std::uint64_t>(n);
            in_at = 0;
            in_end = static_cast<std::size_t>(n);
        }
        try {
            const Step done = member.step(std::span(in).subspan(in_at, in_end - in_at), out);
            if (done.member_end) return std::nullopt;
            in_at += done.consumed;
        } catch (const Failure& error) {
            return error;
        }
    }
}
#endif

// Gzip members one after another from a descriptor, decoded into blocks of text. A fault ends
// the stream: the text decoded before it is handed out first, then the fault is thrown.
class Decoder {
public:
    Decoder(OsFile& file, std::span<const char> magic, GzipCodec inflater)
        : file_(file), input_(kCompressedChunk) {
        std::copy(magic.begin(), magic.end(), input_.data());
        in_end_ = magic.size();
        // Offsets let a member be read again when its fault needs zlib's text.
        if (const auto at = file.position()) offset_ = *at - magic.size();
#if VELKO_HAVE_ISAL
        if (inflater == GzipCodec::kIsal) isal_.emplace();
#endif
        if (inflater == GzipCodec::kZlib) zlib_.emplace();
    }

    // Compressed bytes read from the descriptor so far; any thread may ask.
    [[nodiscard]] std::uint64_t bytes_read() const {
        return bytes_read_.load(std::memory_order_relaxed);
    }

    // Fills the front of `out` as far as the input goes; 0 only at the end. Throws util::Failure.
    std::size_t fill(std::span<char> out) {
        if (fault_) throw *std::exchange(fault_, std::nullopt);
        std::size_t produced = 0;
        try {
            while (produced < out.size() && more_input()) {
                if (!in_member_) {
                    // Zero bytes between or after members are padding, as tape and block
                    // devices leave a file; gzip -d and Python's gzip skip them too.
                    const char* const first = input_.data() + in_at_;
                    const char* const end = input_.data() + in_end_;
                    in_at_ = static_cast<std::size_t>(
                        std::find_if(first, end, [](char c) { return c != '\0'; }) - input_.data());
                    if (in_at_ == in_end_) continue;
                    in_member_ = true;
                    if (offset_) member_start_ = *offset_ + in_at_;
                }
                const Step done =
                    step(std::span<const char>(input_.span()).subspan(in_at_, in_end_ - in_at_),
                         out.subspan(produced));
                in_at_ += done.consumed;
                produced += done.produced;
                if (done.member_end) {
                    // A member ends; another may follow (as from `cat a.gz b.gz`).
                    in_member_ = false;
                    reset();
                } else if (done.consumed == 0 && done.produced == 0) {
                    need_more_ = true;
                }
            }
        } catch (const Failure& error) {
            if (produced == 0) throw;
            fault_ = error;
        }
        return produced;
    }

private:
    // True while input is left; reads more when the buffer is used up or the decoder asked for
    // more. Throws "gzip stream ended early" when the input ends inside a member.
    bool more_input() {
        if (in_at_ < in_end_ && !need_more_) return true;
        if (!at_eof_) {
            if (in_at_ > 0) {
                std::memmove(input_.data(), input_.data() + in_at_, in_end_ - in_at_);
                in_end_ -= in_at_;
                if (offset_) *offset_ += in_at_;
                in_at_ = 0;
            }
            if (in_end_ == input_.size()) {
                ReusedBuffer larger(input_.size() * 2);
                std::memcpy(larger.data(), input_.data(), in_end_);
                input_ = std::move(larger);
            }
            const std::size_t n =
                read_file(file_, input_.span().subspan(in_end_, input_.size() - in_end_));
            bytes_read_.fetch_add(n, std::memory_order_relaxed);
            at_eof_ = n == 0;
            in_end_ += n;
            need_more_ = false;
        }
        if (in_at_ < in_end_ && !need_more_) return true;
        if (in_member_) throw ended_inside_member();
        return false;
    }

    // The input ended inside a member. ISA-L waits for a whole header before judging it, so a
    // few bytes of junk after a member would read as a cut stream there; zlib, read again over
    // the member, tells the two apart, as it does for every other fault.
    Failure ended_inside_member() const {
#if VELKO_HAVE_ISAL
        if (isal_ && member_start_) {
            if (std::optional<Failure> fault = zlib_fault_at(file_, *member_start_)) {
                return *fault;
            }
        }
#endif
        return truncated();
    }

    Step step(std::span<const char> in, std::span<char> out) {
        if (zlib_) return zlib_->step(in, out);
#if VELKO_HAVE_ISAL
        try {
            return isal_->step(in, out);
        } catch (const IsalFault& fault) {
            throw isal_fault(fault.code);
        }
#else
        throw damaged(std::string(kInvalidData));
#endif
    }

    void reset() {
        if (zlib_) zlib_->reset();
#if VELKO_HAVE_ISAL
        if (isal_) isal_->reset();
#endif
    }

#if VELKO_HAVE_ISAL
    // zlib's text for the fault, so that a damaged file reads the same whichever decoder is
    // built in; ISA-L's own code is the fallback when the member cannot be read again.
    Failure isal_fault(int code) const {
        if (member_start_) {
            if (std::optional<Failure> fault = zlib_fault_at(file_, *member_start_)) {
                return *fault;
            }
        }
        const std::string prefix = std::string(kInvalidData) + ": ";
        switch (code) {
            case ISAL_INVALID_WRAPPER:
                return damaged(prefix + "incorrect header check");
            case ISAL_UNSUPPORTED_METHOD:
                return damaged(prefix + "unknown compression method");
            case ISAL_INCORRECT_CHECKSUM:
                return damaged(prefix + "incorrect data check");
            case ISAL_INVALID_LOOKBACK:
                return damaged(prefix + "invalid distance too far back");
            default:
                return damaged(prefix + "invalid block");
        }
    }
#endif

    OsFile& file_;
    ReusedBuffer input_;
    std::size_t in_at_ = 0;
    std::size_t in_end_ = 0;
    std::optional<std::uint64_t> offset_;        // of input_[0] in the file, if it has offsets
    std::optional<std::uint64_t> member_start_;  // of the current member's first byte
    bool at_eof_ = false;
    bool in_member_ = false;  // between a member's first byte and its end
    bool need_more_ = false;  // the decoder made no progress on what is buffered
    std::optional<Failure> fault_;
    std::atomic<std::uint64_t> bytes_read_ = 0;
    std::optional<ZlibMember> zlib_;
#if VELKO_HAVE_ISAL
    std::optional<IsalMember> isal_;
#endif
};

}  // namespace

// The decoder, run on the calling thread or ahead of it on its own.
class InputStream::Gzip {
public:
    Gzip(OsFile& file, std::span<const char> magic, GzipCodec inflater, bool ahead)
        : decoder_(file, magic, inflater) {
        if (ahead) start_worker();
    }

    ~Gzip() {
        if (!worker_.joinable()) return;
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }

    Gzip(const Gzip&) = delete;
    Gzip& operator=(const Gzip&) = delete;

    [[nodiscard]] std::uint64_t bytes_read() const { return decoder_.bytes_read(); }

    std::size_t read(std::span<char> out) {
        if (!worker_.joinable()) return decoder_.fill(out);
        for (;;) {
            if (taken_ < made_seen_) {
                Block& block = blocks_[taken_ % kBlocks];
                const std::size_t n = std::min(out.size(), block.size - at_);
                std::memcpy(out.data(), block.data.data() + at_, n);
                at_ += n;
                if (at_ == block.size) give_back();
                return n;
            }
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return made_ > taken_ || finished_; });
            made_seen_ = made_;
            if (made_seen_ > taken_) continue;
            if (other_failure_) std::rethrow_exception(other_failure_);
            if (failure_) throw *failure_;
            return 0;
        }
    }

private:
    struct Block {
        ReusedBuffer data;
        std::size_t size = 0;
    };

    void start_worker() {
        for (Block& block : blocks_) block.data = ReusedBuffer(kBlockSize);
        // Signals stay with the caller's threads: the interpreter handles them there, and a
        // blocked read on this thread is never the one interrupted.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            worker_ = std::thread([this] { inflate_ahead(); });
        } catch (const std::system_error&) {
            // No thread to be had: decode on the calling thread instead.
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    void give_back() {
        at_ = 0;
        {
            const std::lock_guard lock(mutex_);
            ++taken_;
        }
        changed_.notify_all();
    }

    void inflate_ahead() noexcept {
        for (;;) {
            std::size_t slot = 0;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || made_ - taken_ < kBlocks; });
                if (stop_) return;
                slot = made_ % kBlocks;
            }
            Block& block = blocks_[slot];
            std::optional<Failure> failure;
            std::exception_ptr other;
            std::size_t n = 0;
            try {
                n = decoder_.fill(std::span<char>(block.data.data(), kBlockSize));
            } catch (const Failure& error) {
                failure = error;
            } catch (...) {
                other = std::current_exception();
            }
            {
                const std::lock_guard lock(mutex_);
                block.size = n;
                if (n > 0) {
                    ++made_;
                } else {
                    finished_ = true;
                    failure_ = std::move(failure);
                    other_failure_ = other;
                }
            }
            changed_.notify_all();
            if (n == 0) return;
        }
    }

    Decoder decoder_;
    std::array<Block, kBlocks> blocks_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Blocks are made and taken in turn around the ring; made_ and taken_ only grow.
    std::size_t made_ = 0;       // guarded by mutex_
    std::size_t taken_ = 0;      // written by the reader under mutex_
    std::size_t made_seen_ = 0;  // the reader's copy of made_
    std::size_t at_ = 0;         // the reader's position in block taken_
    bool finished_ = false;      // guarded by mutex_: the worker has stopped for good
    bool stop_ = false;          // guarded by mutex_
    std::optional<Failure> failure_;
    std::exception_ptr other_failure_;
};

InputStream::InputStream(OsFile& file, GzipCodec inflater) : file_(file), inflater_(inflater) {}

InputStream::~InputStream() = default;

std::size_t InputStream::read_raw(std::span<char> out) {
    if (pending_at_ < pending_.size()) {
        const std::size_t n = std::min(out.size(), pending_.size() - pending_at_);
        std::memcpy(out.data(), pending_.data() + pending_at_, n);
        pending_at_ += n;
        return n;
    }
    const std::size_t n = read_file(file_, out);
    bytes_read_ += n;
    return n;
}

std::uint64_t InputStream::bytes_read() const {
    return bytes_read_ + (gzip_ ? gzip_->bytes_read() : 0);
}

void InputStream::start() {
    started_ = true;
    // Two bytes decide: the gzip magic 1f 8b. A shorter file is plain text.
    char magic[2];
    std::size_t got = 0;
    while (got < sizeof magic) {
        const std::size_t n = read_file(file_, std::span<char>(magic + got, sizeof magic - got));
        if (n == 0) break;
        got += n;
        bytes_read_ += n;
    }
    if (got == 2 && static_cast<unsigned char>(magic[0]) == 0x1f &&
        static_cast<unsigned char>(magic[1]) == 0x8b) {
        // Inflating ahead needs a file whose reads never block for long (the thread is joined
        // when the reading stops) and that can be read again for a fault's text.
        const bool regular = file_.is_regular();
        const GzipCodec inflater = regular ? inflater_ : GzipCodec::kZlib;
        gzip_ = std::make_unique<Gzip>(file_, std::span<const char>(magic, got), inflater, regular);
    } else {
        pending_.assign(magic, magic + got);
    }
}

std::size_t InputStream::read(std::span<char> out) {
    if (out.empty()) return 0;
    if (!started_) start();
    return gzip_ ? gzip_->read(out) : read_raw(out);
}

void read_pieces(std::string_view path, FileKind kind, std::size_t piece_bytes,
                 const std::function<void(std::string_view)>& feed) {
    OsFile file = OsFile::open_read(path);
    if (!file.is_open()) throw os_failure(kind, FileStep::kRead, path, file.error());
    InputStream input(file);
    const ReusedBuffer buffer(piece_bytes);
    while (true) {
        std::size_t count = 0;
        try {
            count = input.read(buffer.span());
        } catch (Failure& failure) {
            failure.locate(path, kind);
            throw;
        }
        if (count == 0) return;
        feed(std::string_view(buffer.data(), count));
        poll_interrupt(count);
    }
}

}  // namespace velko::util
