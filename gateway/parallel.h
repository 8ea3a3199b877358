// Splitting a kernel's work over the cores the process may use. Host-free: only kernels on
// plain arrays run on the extra threads, never a call into the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace parallel {

// The most threads a module uses: 64.
constexpr int kMaxThreads = 64;

// Threads one call may use: the cores this process may run on, capped by the environment
// variable SPOT_THREADS when it holds a whole number from 1 up (1 gives the serial path).
int threadLimit();

// The cap a SPOT_THREADS text sets: a whole number from 1 up in decimal digits (a leading +
// and white space around it allowed), at most kMaxThreads; 0 (no cap) for anything else.
int threadCapFrom(const char* text);

// Threads worth starting for `items` units of work when each thread should get at least
// `minItemsPerThread` of them: from 1 to threadLimit().
int threadsFor(int64_t items, int64_t minItemsPerThread);

// First item of slice `part` when [0, items) is cut into `parts` slices of nearly equal size.
inline int64_t sliceStart(int64_t items, int parts, int part) {
    const int64_t base = items / parts;
    const int64_t extra = items % parts;
    return part * base + (part < extra ? part : extra);
}

// Runs body(part, begin, end) for each of `parts` slices of [0, items), slice 0 on the
// calling thread and the others on threads of their own, and returns when all are done.
// `body` must not throw. A thread that cannot be started (no thread to be had, or no memory
// for its state) has its slice run by the caller.
template <class Body>
void forSlices(int parts, int64_t items, Body&& body) {
    parts = parts < 1 ? 1 : (parts > kMaxThreads ? kMaxThreads : parts);
    std::thread workers[kMaxThreads];
    bool started[kMaxThreads] = {};
    for (int part = 1; part < parts; ++part) {
        try {
            workers[part] = std::thread([&body, items, parts, part] {
                body(part, sliceStart(items, parts, part), sliceStart(items, parts, part + 1));
            });
            started[part] = true;
        } catch (...) {
            // std::system_error or std::bad_alloc: this slice runs on the caller below.
        }
    }
    body(0, sliceStart(items, parts, 0), sliceStart(items, parts, 1));
    for (int part = 1; part < parts; ++part) {
        if (started[part]) {
            workers[part].join();
        } else {
            body(part, sliceStart(items, parts, part), sliceStart(items, parts, part + 1));
        }
    }
}

// Runs body(part, begin, end) over [0, items) in chunks of `chunk` items that `parts`
// threads take in turn as they get to them, so that a thread slowed down (by page faults on
// memory of its own, say) takes fewer. Which part runs a chunk varies from run to run.
template <class Body>
void forChunks(int parts, int64_t items, int64_t chunk, Body&& body) {
    std::atomic<int64_t> next{0};
    forSlices(parts, parts, [&](int part, int64_t, int64_t) {
        for (int64_t begin = next.fetch_add(chunk); begin < items; begin = next.fetch_add(chunk)) {
            body(part, begin, items - begin < chunk ? items : begin + chunk);
        }
    });
}

}  // namespace parallel
