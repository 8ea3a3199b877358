// Kernel benchmarks on plain arrays. Compare the entries of one run with each other (ratios),
// not with numbers from another run: the machines are shared.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
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

// Points in a few hundred tight clusters, as localisations of labelled structures are.
std::vector<float> clusteredCoordinates(size_t count, float extent, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> centre(0.0f, extent);
    std::normal_distribution<float> jitter(0.0f, 3.0f);
    std::vector<float> centres(300);
    for (auto& c : centres) {
        c = centre(rng);
    }
    std::vector<float> values(count);
    for (size_t i = 0; i < count; ++i) {
        values[i] = centres[i % centres.size()] + jitter(rng);
    }
    return values;
}

void binPointsBench(benchmark::State& state, bool clustered) {
    const int32_t size = static_cast<int32_t>(state.range(0));
    const size_t points = 1000000;
    const auto x =
        clustered ? clusteredCoordinates(points, size, 1) : uniformCoordinates(points, size, 1);
    const auto y =
        clustered ? clusteredCoordinates(points, size, 2) : uniformCoordinates(points, size, 2);
    std::vector<uint16_t> counts(static_cast<size_t>(size) * size);
    for (auto _ : state) {
        std::fill(counts.begin(), counts.end(), 0);
        binPoints(size, size, static_cast<int64_t>(points), x.data(), y.data(), counts.data());
        benchmark::DoNotOptimize(counts.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(points));
}

void BM_binPointsUniform(benchmark::State& state) {
    binPointsBench(state, false);
}
void BM_binPointsClustered(benchmark::State& state) {
    binPointsBench(state, true);
}
BENCHMARK(BM_binPointsUniform)->Arg(512)->Arg(4096);
BENCHMARK(BM_binPointsClustered)->Arg(512)->Arg(4096);

// Reference for binPoints' cost: the same memory traffic with a bare floor-and-clamp.
void BM_binPointsNaive(benchmark::State& state) {
    const int32_t size = static_cast<int32_t>(state.range(0));
    const size_t points = 1000000;
    const auto x = uniformCoordinates(points, size, 1);
    const auto y = uniformCoordinates(points, size, 2);
    std::vector<uint16_t> counts(static_cast<size_t>(size) * size);
    for (auto _ : state) {
        std::fill(counts.begin(), counts.end(), 0);
        for (size_t i = 0; i < points; ++i) {
            const auto ix = static_cast<int64_t>(std::floor(x[i]));
            const auto iy = static_cast<int64_t>(std::floor(y[i]));
            ++counts[ix + size * iy];
        }
        benchmark::DoNotOptimize(counts.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(points));
}
BENCHMARK(BM_binPointsNaive)->Arg(512)->Arg(4096);

void BM_equalizeCounts(benchmark::State& state) {
    const int32_t size = static_cast<int32_t>(state.range(0));
    const auto x = clusteredCoordinates(2000000, size, 3);
    const auto y = clusteredCoordinates(2000000, size, 4);
    std::vector<uint16_t> counts(static_cast<size_t>(size) * size);
    binPoints(size, size, static_cast<int64_t>(x.size()), x.data(), y.data(), counts.data());
    std::vector<uint16_t> work(counts.size());
    std::vector<float> levels(counts.size());
    for (auto _ : state) {
        work = counts;
        equalizeCounts(work.data(), levels.data(), static_cast<int64_t>(work.size()));
        benchmark::DoNotOptimize(levels.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(counts.size()));
}
BENCHMARK(BM_equalizeCounts)->Arg(512)->Arg(4096);

// Reference for equalisation: one copy of the image, the floor of any per-pixel pass.
void BM_imageCopy(benchmark::State& state) {
    const size_t pixels = static_cast<size_t>(state.range(0)) * state.range(0);
    std::vector<uint16_t> counts(pixels, 3);
    std::vector<uint16_t> work(pixels);
    for (auto _ : state) {
        std::memcpy(work.data(), counts.data(), pixels * sizeof(uint16_t));
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pixels));
}
BENCHMARK(BM_imageCopy)->Arg(512)->Arg(4096);

void BM_cutBox(benchmark::State& state) {
    const int32_t g = static_cast<int32_t>(state.range(0));
    const int32_t rows = 512;
    const int32_t cols = 512;
    const int32_t frames = 20;
    std::vector<float> stack(static_cast<size_t>(rows) * cols * frames, 1.0f);
    const int64_t n = 100000;
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
        for (int64_t i = 0; i < n; ++i) {
            cutBox(stack.data(), i, g, rows, cols, x.data(), y.data(), z.data(), boxes.data(),
                   cornerX.data(), cornerY.data());
        }
        benchmark::DoNotOptimize(boxes.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.SetBytesProcessed(state.iterations() * n * g * g * static_cast<int64_t>(sizeof(float)));
}
BENCHMARK(BM_cutBox)->Arg(3)->Arg(7)->Arg(15);

}  // namespace

BENCHMARK_MAIN();
