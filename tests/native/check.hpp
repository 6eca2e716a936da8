// What the native tests share: a failed expectation is printed and counted, and the program's
// exit status says whether any failed.
#pragma once

#include <cstdio>
#include <string>

namespace velko::test {

/// The failures counted so far in this program.
inline int& failures() {
    static int count = 0;
    return count;
}

/// Counts a failure when `ok` is false, and prints `what` for the first fifty of them (a
/// broken kernel fails thousands of cases alike).
inline void expect(bool ok, const std::string& what) {
    if (ok) return;
    if (++failures() <= 50) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

/// Prints how many expectations of `name` failed; returns the program's exit status.
inline int finish(const char* name) {
    std::printf("%s: %d failures\n", name, failures());
    return failures() == 0 ? 0 : 1;
}

}  // namespace velko::test
