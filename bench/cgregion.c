/* Runs a Python callable with callgrind collecting only while it runs, and
   dumps the counts of that region. Loaded with ctypes by count.py. */
#include <valgrind/callgrind.h>

typedef void (*region_fn)(void);

__attribute__((visibility("default"))) void bench_region(region_fn fn) {
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    fn();
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("region");
}
