#include "parallel.h"

#include <cstdlib>

#if defined(__linux__)
#include <sched.h>
#endif

namespace parallel {
namespace {

int usableCores() {
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
        return CPU_COUNT(&allowed);
    }
#endif
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

// The cap from SPOT_THREADS, or 0 when it is unset or not a whole number from 1 up.
int environmentCap() {
    const char* text = std::getenv("SPOT_THREADS");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1) {
        return 0;
    }
    return value > kMaxThreads ? kMaxThreads : static_cast<int>(value);
}

}  // namespace

int threadLimit() {
    int limit = usableCores();
    const int cap = environmentCap();
    if (cap != 0 && cap < limit) {
        limit = cap;
    }
    return limit > kMaxThreads ? kMaxThreads : limit;
}

int threadsFor(int64_t items, int64_t minItemsPerThread) {
    const int64_t worth = minItemsPerThread > 0 ? items / minItemsPerThread : items;
    const int limit = threadLimit();
    if (worth < 1) {
        return 1;
    }
    return worth < limit ? static_cast<int>(worth) : limit;
}

}  // namespace parallel
