// Fitting every box (or region) of a set over threads. Fits take unequal times (a box of
// nothing stops at once, a crowded region adds emitters), so threads take the boxes in chunks
// as they get to them; each fit depends on its box alone, so the results depend on no thread
// count. Host-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "likelihood.h"
#include "parallel.h"

// Fits a thread takes at a time.
constexpr int64_t kFitsPerChunk = 16;

// The read variance of box k's pixels (`pixels` of them a box) within a set's.
inline ReadVariance varianceOfBox(const ReadVariance& set, int64_t k, int64_t pixels) {
    ReadVariance variance = set;
    if (variance.values != nullptr && variance.perPixel) {
        const size_t size = variance.single ? sizeof(float) : sizeof(double);
        variance.values =
            static_cast<const char*>(variance.values) + static_cast<size_t>(k * pixels) * size;
    }
    return variance;
}

// Runs fitOne(k, work) for every k in [0, count) on up to `threads` threads, `work` holding
// `workLength` doubles of the running thread's own.
template <class FitOne>
void fitEach(int64_t count, int threads, size_t workLength, FitOne&& fitOne) {
    if (count == 0) {
        return;
    }
    threads = threads < 1 ? 1 : (threads > parallel::kMaxThreads ? parallel::kMaxThreads : threads);
    threads = count < threads ? static_cast<int>(count) : threads;
    const std::unique_ptr<double[]> work(new double[workLength * threads]);
    parallel::forChunks(threads, count, kFitsPerChunk, [&](int part, int64_t begin, int64_t end) {
        double* own = work.get() + workLength * part;
        for (int64_t k = begin; k < end; ++k) {
            fitOne(k, own);
        }
    });
}
