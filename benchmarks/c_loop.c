/* Per-record k-mer counts in plain C, one byte at a time: the yardstick for a native
 * per-record counter. Usage: c_loop FILE K [reuse]. Prints records, windows, seconds and the
 * CPU seconds the process took.
 * With `reuse`, every record counts into the same table and no result is kept: the floor for
 * short records, whose cost is mostly in keeping their results. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) return 2;
    const int k = atoi(argv[2]);
    const int reuse = argc == 4;
    const size_t n4 = (size_t)1 << (2 * k);
    const uint64_t mask = n4 - 1;
    int8_t code_of[256];
    for (int i = 0; i < 256; ++i) code_of[i] = -1;
    code_of['A'] = 0, code_of['C'] = 1, code_of['G'] = 2, code_of['T'] = 3;

    struct timespec t0, t1, c0, c1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    static unsigned char buf[1 << 18];
    uint64_t** records = NULL;
    size_t n_records = 0, cap = 0, windows = 0;
    uint64_t* counts = NULL;
    uint64_t code = 0;
    int valid = 0, in_header = 0, line_start = 1;
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            const unsigned char c = buf[i];
            if (line_start && c == '>') {
                if (n_records == cap) {
                    cap = cap ? 2 * cap : 64;
                    records = realloc(records, cap * sizeof *records);
                }
                if (!reuse) {
                    counts = calloc(n4, sizeof(uint64_t));
                } else if (!counts) {
                    counts = calloc(n4, sizeof(uint64_t));
                }
                records[n_records++] = reuse ? NULL : counts;
                in_header = 1;
                valid = 0;
            }
            if (c == '\n') {
                in_header = 0;
                line_start = 1;
                continue;
            }
            line_start = 0;
            if (in_header) continue;
            const int v = code_of[c];
            if (v < 0) {
                valid = 0;
                continue;
            }
            code = ((code << 2) | (uint64_t)v) & mask;
            if (++valid >= k) {
                ++counts[code];
                ++windows;
            }
        }
    }
    close(fd);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    for (size_t i = 0; i < n_records; ++i) free(records[i]);
    if (reuse) free(counts);
    free(records);
    printf("%zu %zu %.6f %.6f\n", n_records, windows,
           (double)(t1.tv_sec - t0.tv_sec) + 1e-9 * (double)(t1.tv_nsec - t0.tv_nsec),
           (double)(c1.tv_sec - c0.tv_sec) + 1e-9 * (double)(c1.tv_nsec - c0.tv_nsec));
    return 0;
}
