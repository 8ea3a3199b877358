// Kernel benchmarks on plain arrays. Each kernel also prints `floors`: its time as a multiple
// of a memory-streaming pass over the same inputs and output bytes, measured in the same
// binary, so that the figure holds on a noisy machine. Compare entries of one run only.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "boxes.h"
#include "mosaic.h"

namespace {

std::vector<float> uniformCoordinates(size_t count, float extent, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> spread(0.0f, extent);
    std::vector<float> values(count);
    for (auto& v : values) {
        v = spread(rng);
    }
    return values;
}

// Points in 2000 clusters of sigma 1 pixel, as localisations of labelled structures are.
std::vector<float> clusteredCoordinates(size_t count, float extent, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> centre(0.0f, extent);
    std::normal_distribution<float> jitter(0.0f, 1.0f);
    std::vector<float> centres(2000);
    for (auto& c : centres) {
        c = centre(rng);
    }
    std::vector<float> values(count);
    for (size_t i = 0; i < count; ++i) {
        values[i] = centres[(i * 7919) % centres.size()] + jitter(rng);
    }
    return values;
}

// Median seconds of one pass that reads `readBytes` and writes `writeBytes`: the floor of any
// kernel that has to do as much.
double streamingSeconds(size_t readBytes, size_t writeBytes) {
    std::vector<unsigned char> source(readBytes, 1);
    std::vector<unsigned char> target(writeBytes);
    std::vector<double> times;
    for (int k = 0; k < 7; ++k) {
        const auto start = std::chrono::steady_clock::now();
        uint64_t sum = 0;
        for (size_t i = 0; i + 8 <= readBytes; i += 8) {
            uint64_t word;
            std::memcpy(&word, source.data() + i, sizeof word);
            sum += word;
        }
        std::memset(target.data(), static_cast<int>(sum & 1), writeBytes);
        benchmark::DoNotOptimize(target.data());
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void reportFloors(benchmark::State& state, double floorSeconds) {
    state.counters["floors"] =
        benchmark::Counter(floorSeconds * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Arguments: image side, points in millions, clustered, threads.
void BM_binPoints(benchmark::State& state) {
    const auto size = static_cast<int32_t>(state.range(0));
    const auto points = static_cast<size_t>(state.range(1)) * 1000000;
    const bool clustered = state.range(2) != 0;
    const int threads = static_cast<int>(state.range(3));
    const auto x =
        clustered ? clusteredCoordinates(points, size, 1) : uniformCoordinates(points, size, 1);
    const auto y =
        clustered ? clusteredCoordinates(points, size, 2) : uniformCoordinates(points, size, 2);
    std::vector<uint16_t> counts(static_cast<size_t>(size) * size);
    for (auto _ : state) {
        std::fill(counts.begin(), counts.end(), 0);
        binPoints(size, size, static_cast<int64_t>(points), x.data(), y.data(), counts.data(),
                  threads);
        benchmark::DoNotOptimize(counts.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(points));
    reportFloors(state,
                 streamingSeconds(2 * points * sizeof(float), counts.size() * sizeof(uint16_t)));
}
BENCHMARK(BM_binPoints)
    ->ArgNames({"side", "Mpoints", "clustered", "threads"})
    ->Args({1024, 10, 0, 1})
    ->Args({1024, 10, 0, 2})
    ->Args({1024, 10, 1, 1})
    ->Args({1024, 10, 1, 2})
    ->Args({4096, 1, 0, 1})
    ->UseRealTime();

// Arguments: image side, threads. Two million clustered points, both outputs.
void BM_equalizeCounts(benchmark::State& state) {
    const auto size = static_cast<int32_t>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const auto x = clusteredCoordinates(2000000, size, 3);
    const auto y = clusteredCoordinates(2000000, size, 4);
    std::vector<uint16_t> counts(static_cast<size_t>(size) * size);
    binPoints(size, size, static_cast<int64_t>(x.size()), x.data(), y.data(), counts.data());
    std::vector<uint16_t> work(counts.size());
    std::vector<float> levels(counts.size());
    for (auto _ : state) {
        state.PauseTiming();
        work = counts;
        state.ResumeTiming();
        equalizeCounts(work.data(), levels.data(), static_cast<int64_t>(work.size()), threads);
        benchmark::DoNotOptimize(levels.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(counts.size()));
    // Reads the counts twice, writes them and the levels once.
    reportFloors(state, streamingSeconds(2 * counts.size() * sizeof(uint16_t),
                                         counts.size() * (sizeof(uint16_t) + sizeof(float))));
}
BENCHMARK(BM_equalizeCounts)
    ->ArgNames({"side", "threads"})
    ->Args({1024, 1})
    ->Args({4096, 1})
    ->Args({4096, 2})
    ->UseRealTime();

// Arguments: box side, threads. 200000 boxes from a 512x512x200 stack.
void BM_cutBoxes(benchmark::State& state) {
    const auto g = static_cast<int32_t>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const int32_t rows = 512;
    const int32_t cols = 512;
    const int32_t frames = 200;
    std::vector<float> stack(static_cast<size_t>(rows) * cols * frames, 1.0f);
    const int64_t n = 200000;
    std::mt19937 rng(5);
    std::vector<double> x(n), y(n), z(n);
    for (int64_t i = 0; i < n; ++i) {
        x[i] = std::uniform_real_distribution<double>(0, rows)(rng);
        y[i] = std::uniform_real_distribution<double>(0, cols)(rng);
        z[i] = static_cast<double>(rng() % frames);
    }
    std::vector<float> boxes(static_cast<size_t>(g) * g * n);
    std::vector<float> cornerX(n), cornerY(n);
    for (auto _ : state) {
        cutBoxes({stack.data(), rows, cols, x.data(), y.data(), z.data()},
                 {boxes.data(), cornerX.data(), cornerY.data(), g}, n, threads);
        benchmark::DoNotOptimize(boxes.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
    const size_t boxBytes = boxes.size() * sizeof(float);
    reportFloors(state, streamingSeconds(boxBytes + 3 * n * sizeof(double),
                                         boxBytes + 2 * n * sizeof(float)));
}
BENCHMARK(BM_cutBoxes)
    ->ArgNames({"g", "threads"})
    ->Args({7, 1})
    ->Args({7, 2})
    ->Args({15, 1})
    ->Args({15, 2})
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
