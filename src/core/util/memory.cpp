// The memory the process may still take, read from the kernel, its cgroups and its resource
// limits; the refusal that names what did not fit; huge-page advice for large buffers.
#include "util/memory.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/os_file.hpp"

namespace velko::util {
namespace {

// As much of a small kernel file as fits in `buffer`, or nothing when it cannot be read.
std::string_view read_head(const char* path, std::span<char> buffer) {
    OsFile file = OsFile::open_read(path);
    if (!file.is_open()) return {};
    std::size_t size = 0;
    while (size < buffer.size()) {
        const std::ptrdiff_t n = file.read(buffer.subspan(size));
        if (n <= 0) break;
        size += static_cast<std::size_t>(n);
    }
    return {buffer.data(), size};
}

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The number at the start of `text` after blanks, or UINT64_MAX when there is none (a cgroup
// file without a limit holds "max").
std::uint64_t leading_number(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || (end != text.data() + text.size() && !is_blank(*end))) {
        return UINT64_MAX;
    }
    return value;
}

// The first number in a file such as memory.max, or UINT64_MAX when the file is absent or holds
// no number.
std::uint64_t read_number(const std::string& path) {
    std::array<char, 64> buffer;
    return leading_number(read_head(path.c_str(), buffer));
}

// Calls `line` with each line of `text`; stops early when it returns true.
template <class Line>
void for_each_line(std::string_view text, Line&& line) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        if (line(text.substr(0, end))) return;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

// The value of the line "<name> <number>..." of `text` (meminfo, memory.stat), or UINT64_MAX.
std::uint64_t field(std::string_view text, std::string_view name) {
    std::uint64_t value = UINT64_MAX;
    for_each_line(text, [&](std::string_view line) {
        if (!line.starts_with(name) || line.size() == name.size() || !is_blank(line[name.size()])) {
            return false;
        }
        value = leading_number(line.substr(name.size()));
        return true;
    });
    return value;
}

// MemAvailable of /proc/meminfo in bytes: what can still be had without swapping or the OOM
// killer stepping in. UINT64_MAX when it cannot be read.
std::uint64_t available_memory() {
    std::array<char, 4096> buffer;
    const std::uint64_t kib = field(read_head("/proc/meminfo", buffer), "MemAvailable:");
    return kib == UINT64_MAX ? UINT64_MAX : saturating_mul(kib, 1024);
}

std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
}

// Splits `text` at `separator` into at most `N` fields; the last takes the rest.
template <std::size_t N>
std::array<std::string_view, N> split(std::string_view text, char separator) {
    std::array<std::string_view, N> fields{};
    for (std::size_t i = 0; i + 1 < N; ++i) {
        const std::size_t end = text.find(separator);
        fields[i] = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    fields[N - 1] = text;
    return fields;
}

bool has_word(std::string_view list, std::string_view word) {
    bool found = false;
    while (!found) {
        const std::size_t end = list.find(',');
        found = list.substr(0, end) == word;
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
    return found;
}

// mountinfo writes a blank, a tab, a line feed and a backslash in a path as \040 and the like.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            unsigned value = 0;
            const auto [end, error] =
                std::from_chars(text.data() + i + 1, text.data() + i + 4, value, 8);
            if (error == std::errc{} && end == text.data() + i + 4 && value < 256) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// A cgroup hierarchy that can limit memory: the directory of the process's own cgroup in it,
// and the mount point above which there is nothing to read.
struct Hierarchy {
    bool v2 = false;
    std::string own;
    std::string top;
};

// The process's own cgroup in each memory hierarchy, from /proc/self/cgroup ("0::/path" for
// v2, "N:memory,...:/path" for v1), found under its mount in /proc/self/mountinfo. A mount
// that shows only part of the tree (a container's) has that part as its root; the process's
// path is below it.
std::vector<Hierarchy> memory_hierarchies() {
    std::vector<char> cgroup_buffer(4096);
    std::vector<char> mount_buffer(1 << 16);
    const std::string_view cgroups = read_head("/proc/self/cgroup", cgroup_buffer);
    const std::string_view mounts = read_head("/proc/self/mountinfo", mount_buffer);
    std::string v2_path, v1_path;
    bool has_v2 = false, has_v1 = false;
    for_each_line(cgroups, [&](std::string_view line) {
        const auto [id, controllers, path] = split<3>(line, ':');
        if (id == "0" && controllers.empty()) {
            has_v2 = true;
            v2_path = path;
        } else if (has_word(controllers, "memory")) {
            has_v1 = true;
            v1_path = path;
        }
        return false;
    });
    std::vector<Hierarchy> found;
    for_each_line(mounts, [&](std::string_view line) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) return false;
        const auto mount = split<6>(line.substr(0, dash), ' ');
        const auto [type, source, options] = split<3>(line.substr(dash + 3), ' ');
        const bool v2 = type == "cgroup2" && has_v2;
        if (!v2 && !(type == "cgroup" && has_v1 && has_word(options, "memory"))) return false;
        const std::string root = unescape(mount[3]);
        const std::string& own = v2 ? v2_path : v1_path;
        std::string dir = unescape(mount[4]);
        const std::string top = dir;
        if (root == "/") {
            if (own != "/") dir += own;
        } else if (own.starts_with(root) &&
                   (own.size() == root.size() || own[root.size()] == '/')) {
            dir += own.substr(root.size());
        }
        found.push_back({v2, dir, top});
        return false;
    });
    return found;
}

// What is left under the limit of the cgroup at `dir`: the limit less what is charged to it,
// file cache that the kernel would reclaim first not counted. UINT64_MAX without a limit.
std::uint64_t cgroup_headroom(const std::string& dir, bool v2) {
    const std::uint64_t limit = read_number(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
    if (limit == UINT64_MAX) return UINT64_MAX;
    std::uint64_t used = read_number(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"));
    if (used == UINT64_MAX) return UINT64_MAX;
    std::vector<char> buffer(8192);
    const std::string stat_path = dir + "/memory.stat";
    const std::uint64_t cache =
        field(read_head(stat_path.c_str(), buffer), v2 ? "inactive_file" : "total_inactive_file");
    if (cache != UINT64_MAX) used -= std::min(cache, used);
    return used >= limit ? 0 : limit - used;
}

// The smallest headroom of the cgroups of every hierarchy, from the process's own up to the top.
std::uint64_t cgroups_headroom() {
    std::uint64_t smallest = UINT64_MAX;
    for (const Hierarchy& hierarchy : memory_hierarchies()) {
        std::string dir = hierarchy.own;
        while (true) {
            smallest = std::min(smallest, cgroup_headroom(dir, hierarchy.v2));
            if (dir.size() <= hierarchy.top.size()) break;
            dir.resize(dir.rfind('/'));
        }
    }
    return smallest;
}

// What RLIMIT_AS and RLIMIT_DATA leave: each limit less the address space, or the data, in use.
std::uint64_t rlimit_headroom() {
    rlimit as{}, data{};
    const bool as_set = getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY;
    const bool data_set = getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur != RLIM_INFINITY;
    if (!as_set && !data_set) return UINT64_MAX;
    // statm: total size, resident, shared, text, library, data and stack, dirty; in pages
    std::array<char, 256> buffer;
    std::string_view text = read_head("/proc/self/statm", buffer);
    std::array<std::uint64_t, 6> pages{};
    for (std::uint64_t& value : pages) {
        value = leading_number(text.substr(0, text.find(' ')));
        text.remove_prefix(std::min(text.find(' '), text.size()));
        if (!text.empty()) text.remove_prefix(1);
    }
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const auto left = [&](const rlimit& limit, std::uint64_t in_use_pages) {
        const std::uint64_t in_use = saturating_mul(in_use_pages, page);
        return in_use >= limit.rlim_cur ? 0 : limit.rlim_cur - in_use;
    };
    return std::min(as_set ? left(as, pages[0]) : UINT64_MAX,
                    data_set ? left(data, pages[5]) : UINT64_MAX);
}

// "412 GiB", "1.5 GiB", "300 bytes": three figures at most, in the largest binary unit that
// keeps the number at 1 or more; beyond exbibytes, the power of two ("2^403 bytes").
std::string size_text(double bytes) {
    static constexpr std::array<const char*, 7> kUnits = {"bytes", "KiB", "MiB", "GiB",
                                                          "TiB",   "PiB", "EiB"};
    std::size_t unit = 0;
    double value = bytes;
    while (value >= 1024 && unit + 1 < kUnits.size()) {
        value /= 1024;
        ++unit;
    }
    std::array<char, 32> digits;
    char* end = nullptr;
    if (value >= 1024) {
        std::string text = "2^";
        end = std::to_chars(digits.data(), digits.data() + digits.size(),
                            static_cast<long>(std::lround(std::log2(bytes))))
                  .ptr;
        return text.append(digits.data(), end) + " bytes";
    }
    if (unit == 0 || value >= 10) {
        end = std::to_chars(digits.data(), digits.data() + digits.size(),
                            static_cast<long>(std::lround(value)))
                  .ptr;
    } else {
        end = std::to_chars(digits.data(), digits.data() + digits.size(), value,
                            std::chars_format::fixed, 1)
                  .ptr;
    }
    return std::string(digits.data(), end) + " " + kUnits[unit];
}

std::string refusal_text(std::uint64_t bytes, std::uint64_t headroom, const MemoryNeed& need) {
    std::string text = need.what;
    text += " needs about ";
    text += size_text(need.exact_bytes > 0 ? need.exact_bytes : static_cast<double>(bytes));
    if (!need.detail.empty()) text += " (" + need.detail + ")";
    text += ", more than the ";
    text += size_text(static_cast<double>(headroom));
    text += " available";
    return text;
}

}  // namespace

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t memory_headroom() {
    return std::min({physical_memory(), available_memory(), cgroups_headroom(), rlimit_headroom()});
}

MemoryRefused::MemoryRefused(std::uint64_t bytes, std::uint64_t headroom, const MemoryNeed& need)
    : message_(refusal_text(bytes, headroom, need)) {}

bool MemoryAccount::fits(std::uint64_t bytes) {
    if (total_ >= next_look_) {
        // What the call kept before this charge may already be out of the headroom the kernel
        // reports now, or not yet (pages not touched yet count nowhere): a later look may
        // lower the limit, never raise it.
        // What the call holds beside its charges (the allocator's own overhead, buffers,
        // objects too small to charge) comes out of the same headroom: a sixteenth of it, at
        // most kUncheckedBytes, is left for that, so the refusal comes before the allocation
        // that fails (or the kernel's killer under a cgroup limit).
        const std::uint64_t headroom = memory_headroom();
        const std::uint64_t slack = std::min(headroom / 16, kUncheckedBytes);
        limit_ = std::min(limit_, saturating_add(total_ - bytes, headroom - slack));
        next_look_ = saturating_add(total_, std::max(kUncheckedBytes, total_ / 4));
    }
    return total_ <= limit_;
}

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    if (bytes < kHugePagesFrom) return;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / page * page;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace velko::util
