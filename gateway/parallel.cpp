#include "parallel.h"

#include <cctype>
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

}  // namespace

int threadCapFrom(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (isSpace(*text)) {
        ++text;
    }
    text += *text == '+' ? 1 : 0;
    const char* digits = text;
    int64_t value = 0;
    for (; isDigit(*text); ++text) {
        // Saturates rather than overflows: anything past the cap is the cap.
        value = value > kMaxThreads ? value : value * 10 + (*text - '0');
    }
    const bool sawDigits = text != digits;
    while (isSpace(*text)) {
        ++text;
    }
    if (!sawDigits || *text != '\0' || value < 1) {
        return 0;
    }
    return value > kMaxThreads ? kMaxThreads : static_cast<int>(value);
}

int threadLimit() {
    int limit = usableCores();
    const int cap = threadCapFrom(std::getenv("SPOT_THREADS"));
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
