#include "mosaic.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "parallel.h"

namespace {

constexpr float kTopLevel = 1023.0f;
constexpr int kHistogramLength = 65536;

// Points are converted to pixels a batch at a time: the conversion vectorises, and the
// increments that follow can be prefetched.
constexpr int kBatch = 256;

// Images larger than this miss the caches: their increments are prefetched.
constexpr int64_t kPrefetchPixels = 1 << 21;

#if defined(__linux__) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// Wider vectors where the processor has them; the shipped build stays baseline x86-64.
#define MOSAIC_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MOSAIC_VECTOR_CLONES
#endif

inline void prefetchForWrite(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address, 1);
#else
    (void)address;
#endif
}

// Pixel index along an axis whose last pixel is `last`, for `count` coordinates. Clamping
// happens in floating point first, so NaN (to 0) and infinities never reach the integer
// conversion; truncation is floor for the non-negative values left.
MOSAIC_VECTOR_CLONES
void axisIndices(const float* coordinates, int count, double last, int32_t* indices) {
    for (int k = 0; k < count; ++k) {
        double value = coordinates[k];
        value = value > 0.0 ? value : 0.0;
        value = value < last ? value : last;
        indices[k] = static_cast<int32_t>(value);
    }
}

struct Grid {
    int32_t sizeX;
    int32_t sizeY;
    bool prefetch;
};

inline void countOnce(uint16_t& count) {
    count = static_cast<uint16_t>(count + (count != UINT16_MAX));
}

// Counts points [begin, end) whose row index lies in [firstRow, endRow) into `counts`.
void binRange(const Grid& grid, const float* x, const float* y, int64_t begin, int64_t end,
              int32_t firstRow, int32_t endRow, uint16_t* counts) {
    const double lastX = grid.sizeX - 1.0;
    const double lastY = grid.sizeY - 1.0;
    const bool allRows = firstRow == 0 && endRow == grid.sizeY;
    int32_t ix[kBatch];
    int32_t iy[kBatch];
    int64_t pixel[kBatch];
    for (int64_t start = begin; start < end; start += kBatch) {
        const int count = static_cast<int>(end - start < kBatch ? end - start : kBatch);
        axisIndices(x + start, count, lastX, ix);
        axisIndices(y + start, count, lastY, iy);
        int kept = 0;
        for (int k = 0; k < count; ++k) {
            pixel[kept] = ix[k] + static_cast<int64_t>(grid.sizeX) * iy[k];
            kept += allRows || (iy[k] >= firstRow && iy[k] < endRow);
        }
        if (grid.prefetch) {
            for (int k = 0; k < kept; ++k) {
                prefetchForWrite(counts + pixel[k]);
            }
        }
        for (int k = 0; k < kept; ++k) {
            countOnce(counts[pixel[k]]);
        }
    }
}

// Adds `part` to `total` pixel by pixel, saturating: saturating each part and then the sum
// gives exactly the saturated count of all points.
void addSaturating(uint16_t* total, const uint16_t* part, int64_t begin, int64_t end) {
    for (int64_t k = begin; k < end; ++k) {
        const uint32_t sum = static_cast<uint32_t>(total[k]) + part[k];
        total[k] = static_cast<uint16_t>(sum > UINT16_MAX ? UINT16_MAX : sum);
    }
}

// Each thread counts a slice of the points into an image of its own (the first into
// `counts`); the images are then summed. Worth it when the image is small beside the points.
// Returns false, having done nothing, when the images cannot be had.
bool binIntoPrivateImages(const Grid& grid, int64_t pointCount, const float* x, const float* y,
                          uint16_t* counts, int threads) {
    const int64_t pixels = static_cast<int64_t>(grid.sizeX) * grid.sizeY;
    const auto extra = static_cast<size_t>(pixels) * static_cast<size_t>(threads - 1);
    std::unique_ptr<uint16_t, decltype(&std::free)> images(
        static_cast<uint16_t*>(std::calloc(extra, sizeof(uint16_t))), &std::free);
    if (!images) {
        return false;
    }
    auto imageOf = [&](int part) {
        return part == 0 ? counts : images.get() + (part - 1) * pixels;
    };
    parallel::forSlices(threads, pointCount, [&](int part, int64_t begin, int64_t end) {
        binRange(grid, x, y, begin, end, 0, grid.sizeY, imageOf(part));
    });
    parallel::forSlices(threads, pixels, [&](int, int64_t begin, int64_t end) {
        for (int part = 1; part < threads; ++part) {
            addSaturating(counts, imageOf(part), begin, end);
        }
    });
    return true;
}

struct Levels {
    float exact[kHistogramLength];         // the level of each count
    uint16_t truncated[kHistogramLength];  // the same, truncated toward zero
};

// The level of every count from the histogram of the non-empty pixels' counts. Count 0
// keeps level 0.
void levelsFromHistogram(const int64_t* histogram, Levels* levels) {
    int largest = kHistogramLength - 1;
    while (largest > 0 && histogram[largest] == 0) {
        --largest;
    }
    // Single-precision running sum, as the levels have always been computed.
    float* cumCount = levels->exact;
    cumCount[0] = 0.0f;
    for (int c = 1; c <= largest; ++c) {
        cumCount[c] = static_cast<float>(histogram[c]) + cumCount[c - 1];
    }
    const auto nonEmpty = static_cast<int64_t>(cumCount[largest]);
    const auto divisor = static_cast<float>(nonEmpty - 1);
    for (int c = 1; c < largest; ++c) {
        const float level = ((cumCount[c] - 1.0f) * kTopLevel) / divisor;
        cumCount[c] = level < kTopLevel ? level : kTopLevel;
    }
    // The most crowded pixels are the top of the scale, whatever the rounding of the formula
    // (from 16402 non-empty pixels on it can miss 1023 on either side), and a lone non-empty
    // pixel is not 0 / 0.
    if (largest > 0) {
        cumCount[largest] = kTopLevel;
    }
    for (int c = 0; c < kHistogramLength; ++c) {
        levels->truncated[c] =
            c <= largest ? static_cast<uint16_t>(static_cast<int32_t>(cumCount[c])) : 0;
    }
}

// Whether the four pixels from `counts` on are all empty. Rendered images are mostly empty,
// so the passes below skip them four at a time.
inline bool fourEmpty(const uint16_t* counts) {
    uint64_t block;
    std::memcpy(&block, counts, sizeof block);
    return block == 0;
}

void histogramRange(const uint16_t* counts, int64_t begin, int64_t end, int64_t* histogram) {
    int64_t k = begin;
    for (; k + 4 <= end; k += 4) {
        if (!fourEmpty(counts + k)) {
            for (int j = 0; j < 4; ++j) {
                ++histogram[counts[k + j]];
            }
        }
    }
    for (; k < end; ++k) {
        ++histogram[counts[k]];
    }
}

inline void applyLevel(const Levels& levels, uint16_t* counts, float* equalised, int64_t k) {
    const uint16_t c = counts[k];
    if (c != 0) {
        if (equalised != nullptr) {
            equalised[k] = levels.exact[c];
        }
        counts[k] = levels.truncated[c];
    }
}

void applyLevelsRange(const Levels& levels, uint16_t* counts, float* equalised, int64_t begin,
                      int64_t end) {
    int64_t k = begin;
    for (; k + 4 <= end; k += 4) {
        if (!fourEmpty(counts + k)) {
            for (int j = 0; j < 4; ++j) {
                applyLevel(levels, counts, equalised, k + j);
            }
        }
    }
    for (; k < end; ++k) {
        applyLevel(levels, counts, equalised, k);
    }
}

}  // namespace

void binPoints(int32_t sizeX, int32_t sizeY, int64_t pointCount, const float* x, const float* y,
               uint16_t* counts, int threads) {
    const int64_t pixels = static_cast<int64_t>(sizeX) * sizeY;
    const Grid grid{sizeX, sizeY, pixels > kPrefetchPixels};
    threads = threads < 1 ? 1 : threads;
    if (threads > 1 && pixels * (threads - 1) <= pointCount / 4 &&
        binIntoPrivateImages(grid, pointCount, x, y, counts, threads)) {
        return;
    }
    // Otherwise every thread reads all points and counts those in its own band of rows: no
    // memory beside the image, and no two threads write the same pixel.
    const int bands = threads < sizeY ? threads : sizeY;
    parallel::forSlices(bands, sizeY, [&](int, int64_t firstRow, int64_t endRow) {
        binRange(grid, x, y, 0, pointCount, static_cast<int32_t>(firstRow),
                 static_cast<int32_t>(endRow), counts);
    });
}

void equalizeCounts(uint16_t* counts, float* equalised, int64_t pixelCount, int threads) {
    threads = threads < 1 ? 1 : threads;
    // One histogram per thread, summed into the first; the levels go where the others were.
    std::vector<int64_t> histograms(static_cast<size_t>(threads) * kHistogramLength);
    auto levels = std::make_unique<Levels>();
    parallel::forSlices(threads, pixelCount, [&](int part, int64_t begin, int64_t end) {
        histogramRange(counts, begin, end, histograms.data() + part * kHistogramLength);
    });
    int64_t* histogram = histograms.data();
    for (int part = 1; part < threads; ++part) {
        for (int c = 0; c < kHistogramLength; ++c) {
            histogram[c] += histograms[static_cast<size_t>(part) * kHistogramLength + c];
        }
    }
    histogram[0] = 0;
    levelsFromHistogram(histogram, levels.get());
    parallel::forSlices(threads, pixelCount, [&](int, int64_t begin, int64_t end) {
        applyLevelsRange(*levels, counts, equalised, begin, end);
    });
}
