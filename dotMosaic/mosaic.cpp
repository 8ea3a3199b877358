#include "mosaic.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "parallel.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define MOSAIC_SSE2 1
#endif

namespace {

constexpr float kTopLevel = 1023.0f;

// Points are converted to pixels a batch at a time, vectorised, and each batch's counts are
// fetched while the batch before it is counted: the increments of a large image would
// otherwise wait on memory one at a time.
constexpr int kBatch = 64;

// Entries of the equalisation's histograms before they know the largest count.
constexpr size_t kGuessedHistogramLength = 4096;

// Threads counting into images of their own take points in chunks of this many.
constexpr int64_t kPointsPerChunk = 1 << 16;

// The merge sums the images a block of this many pixels at a time, so that the block is still
// at hand to be tallied.
constexpr int64_t kMergeBlock = 1 << 14;

// Axis lengths up to this are exact in single precision, and so are all pixel indices on
// them: the clamping can then be done in single precision, four points at a time.
constexpr int32_t kFloatExactLength = 1 << 24;

inline void prefetchForWrite(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address, 1);
#else
    (void)address;
#endif
}

// Index of the pixel holding `coordinate` along an axis whose last pixel is `last`. Clamping
// happens in floating point first, so NaN (to 0) and infinities never reach the integer
// conversion; truncation is floor for the non-negative values left.
inline int32_t pixelIndex(float coordinate, double last) {
    double value = coordinate;
    value = value > 0.0 ? value : 0.0;
    value = value < last ? value : last;
    return static_cast<int32_t>(value);
}

struct Grid {
    int32_t sizeX;
    int32_t sizeY;
};

// Pixel indices along each axis of `count` points.
void axisIndices(const Grid& grid, const float* x, const float* y, int count, int32_t* ix,
                 int32_t* iy) {
    int k = 0;
#if defined(MOSAIC_SSE2)
    if (grid.sizeX <= kFloatExactLength && grid.sizeY <= kFloatExactLength) {
        // maxps returns its second operand for NaN: NaN goes to 0 as in the scalar rule.
        const __m128 zero = _mm_setzero_ps();
        const __m128 lastX = _mm_set1_ps(static_cast<float>(grid.sizeX - 1));
        const __m128 lastY = _mm_set1_ps(static_cast<float>(grid.sizeY - 1));
        for (; k + 4 <= count; k += 4) {
            const __m128 vx = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(x + k), zero), lastX);
            const __m128 vy = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(y + k), zero), lastY);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(ix + k), _mm_cvttps_epi32(vx));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(iy + k), _mm_cvttps_epi32(vy));
        }
    }
#endif
    const double lastX = grid.sizeX - 1.0;
    const double lastY = grid.sizeY - 1.0;
    for (; k < count; ++k) {
        ix[k] = pixelIndex(x[k], lastX);
        iy[k] = pixelIndex(y[k], lastY);
    }
}

// Each increment moves its pixel from the tally of its old count to that of its new one (a
// saturated pixel to where it was; empty pixels to entry 0, which is not kept).
inline void countAll(const int64_t* pixels, int count, uint16_t* counts, int64_t* histogram) {
    for (int k = 0; k < count; ++k) {
        uint16_t& value = counts[pixels[k]];
        const auto next = static_cast<uint16_t>(value + (value != UINT16_MAX));
        if (histogram != nullptr) {
            --histogram[value];
            ++histogram[next];
        }
        value = next;
    }
}

// Counts the points [begin, end) into `counts`, and into `histogram` when not null.
void binRange(const Grid& grid, const float* x, const float* y, int64_t begin, int64_t end,
              uint16_t* counts, int64_t* histogram) {
    int32_t ix[kBatch];
    int32_t iy[kBatch];
    int64_t pixels[2][kBatch];
    int pending = 0;  // points of the batch before, in pixels[1 - current]
    int current = 0;
    for (int64_t start = begin; start < end; start += kBatch) {
        const int count = static_cast<int>(end - start < kBatch ? end - start : kBatch);
        axisIndices(grid, x + start, y + start, count, ix, iy);
        int64_t* batch = pixels[current];
        for (int k = 0; k < count; ++k) {
            batch[k] = ix[k] + static_cast<int64_t>(grid.sizeX) * iy[k];
            prefetchForWrite(counts + batch[k]);
        }
        countAll(pixels[1 - current], pending, counts, histogram);
        pending = count;
        current = 1 - current;
    }
    countAll(pixels[1 - current], pending, counts, histogram);
}

// Adds `part` to `total` pixel by pixel, saturating.
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
                          uint16_t* counts, int threads, int64_t* histogram) {
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
    parallel::forChunks(threads, pointCount, kPointsPerChunk,
                        [&](int part, int64_t begin, int64_t end) {
                            binRange(grid, x, y, begin, end, imageOf(part), nullptr);
                        });
    mergeCountImages(counts, images.get(), threads - 1, pixels, threads, histogram);
    return true;
}

// The level of each count from 0 to the largest, exact and truncated toward zero.
struct Levels {
    std::vector<float> exact;
    std::vector<uint16_t> truncated;
};

// The level of every count from the histogram of the non-empty pixels' counts, whose last
// entry is that of the largest count. Count 0 keeps level 0.
void levelsFromHistogram(const std::vector<int64_t>& histogram, Levels* levels) {
    const int largest = static_cast<int>(histogram.size()) - 1;
    // Single-precision running sum, as the levels have always been computed.
    std::vector<float>& cumCount = levels->exact;
    cumCount.assign(histogram.size(), 0.0f);
    for (int c = 1; c <= largest; ++c) {
        cumCount[c] = static_cast<float>(histogram[c]) + cumCount[c - 1];
    }
    const auto nonEmpty = static_cast<int64_t>(cumCount[largest]);
    const auto divisor = static_cast<float>(nonEmpty - 1);
    for (int c = 1; c < largest; ++c) {
        // Counts no pixel has get level 0: with a single non-empty pixel their formula is
        // -1 / 0, which no integer conversion may see.
        const float level = ((cumCount[c] - 1.0f) * kTopLevel) / divisor;
        cumCount[c] = histogram[c] == 0 ? 0.0f : (level < kTopLevel ? level : kTopLevel);
    }
    // The most crowded pixels are the top of the scale, whatever the rounding of the formula
    // (from 16402 non-empty pixels on it can miss 1023 on either side), and a lone non-empty
    // pixel is not 0 / 0.
    cumCount[largest] = kTopLevel;
    levels->truncated.resize(histogram.size());
    for (int c = 0; c <= largest; ++c) {
        levels->truncated[c] = static_cast<uint16_t>(static_cast<int32_t>(cumCount[c]));
    }
}

// Whether the four pixels from `counts` on are all empty. Rendered images are mostly empty,
// so the passes below skip them four at a time.
inline bool fourEmpty(const uint16_t* counts) {
    uint64_t block;
    std::memcpy(&block, counts, sizeof block);
    return block == 0;
}

// A histogram of the counts below `length`; the largest count seen, whatever its size, goes
// to *largest. Entry 0 takes the empty pixels and the counts past the table, and is not used:
// so every count is added without a test, which in a sparse image would be mispredicted.
struct Histogram {
    int64_t* table;
    size_t length;
    uint16_t largest;

    void add(uint16_t count) {
        largest = count > largest ? count : largest;
        ++table[count < length ? count : 0];
    }
};

void histogramRange(const uint16_t* counts, int64_t begin, int64_t end, Histogram* histogram) {
    int64_t k = begin;
    for (; k + 4 <= end; k += 4) {
        if (!fourEmpty(counts + k)) {
            for (int j = 0; j < 4; ++j) {
                histogram->add(counts[k + j]);
            }
        }
    }
    for (; k < end; ++k) {
        histogram->add(counts[k]);
    }
}

// Count 0 has level 0, so an empty pixel needs no test: in a sparse image the test would be
// mispredicted half the time. The equalised image keeps what its empty pixels held.
inline void applyLevel(const Levels& levels, uint16_t* counts, float* equalised, int64_t k) {
    const uint16_t c = counts[k];
    counts[k] = levels.truncated[c];
    if (equalised != nullptr) {
        equalised[k] = c != 0 ? levels.exact[c] : equalised[k];
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

// The histogram of the counts from 0 to the largest, by a pass over the image: tables as long
// as the largest count needs, a guess that fits most images and a second pass for the rare
// image whose counts reach past it.
std::vector<int64_t> histogramOf(const uint16_t* counts, int64_t pixelCount, int threads) {
    size_t length = kGuessedHistogramLength;
    std::vector<int64_t> tables;
    std::vector<Histogram> parts(static_cast<size_t>(threads));
    for (;;) {
        tables.assign(static_cast<size_t>(threads) * length, 0);
        parallel::forSlices(threads, pixelCount, [&](int part, int64_t begin, int64_t end) {
            parts[part] = Histogram{tables.data() + part * length, length, 0};
            histogramRange(counts, begin, end, &parts[part]);
        });
        uint16_t largest = 0;
        for (const Histogram& part : parts) {
            largest = part.largest > largest ? part.largest : largest;
        }
        const bool fitted = largest < length;
        length = largest + size_t{1};
        if (fitted) {
            break;
        }
    }
    std::vector<int64_t> histogram(length);
    for (const Histogram& part : parts) {
        for (size_t c = 1; c < length; ++c) {
            histogram[c] += part.table[c];
        }
    }
    return histogram;
}

}  // namespace

void binPoints(int32_t sizeX, int32_t sizeY, int64_t pointCount, const float* x, const float* y,
               uint16_t* counts, int threads, int64_t* histogram) {
    const int64_t pixels = static_cast<int64_t>(sizeX) * sizeY;
    const Grid grid{sizeX, sizeY};
    const int images = countImagesFor(pixels, pointCount, threads);
    if (images > 1 && binIntoPrivateImages(grid, pointCount, x, y, counts, images, histogram)) {
        return;
    }
    binRange(grid, x, y, 0, pointCount, counts, histogram);
}

int countImagesFor(int64_t pixelCount, int64_t pointCount, int threads) {
    // Threads pay for their images only when the image is small beside the points; a large
    // image costs more to clear and sum than its increments take.
    return threads > 1 && pixelCount * (threads - 1) <= pointCount / 4 ? threads : 1;
}

void mergeCountImages(uint16_t* total, const uint16_t* images, int imageCount, int64_t pixelCount,
                      int threads, int64_t* histogram) {
    threads = threads < 1 ? 1 : threads;
    std::vector<int64_t> tallies(histogram != nullptr ? threads * kCountHistogramLength : 0);
    parallel::forSlices(threads, pixelCount, [&](int part, int64_t begin, int64_t end) {
        for (int64_t block = begin; block < end; block += kMergeBlock) {
            const int64_t blockEnd = end - block < kMergeBlock ? end : block + kMergeBlock;
            for (int image = 0; image < imageCount; ++image) {
                addSaturating(total, images + image * pixelCount, block, blockEnd);
            }
            if (histogram != nullptr) {
                int64_t* tally = tallies.data() + part * kCountHistogramLength;
                for (int64_t k = block; k < blockEnd; ++k) {
                    ++tally[total[k]];
                }
            }
        }
    });
    for (int part = 0; part < threads && histogram != nullptr; ++part) {
        for (size_t c = 1; c < kCountHistogramLength; ++c) {
            histogram[c] += tallies[part * kCountHistogramLength + c];
        }
    }
}

void equalizeCounts(uint16_t* counts, float* equalised, int64_t pixelCount, int threads,
                    const int64_t* histogram) {
    threads = threads < 1 ? 1 : threads;
    std::vector<int64_t> tally;
    if (histogram != nullptr) {
        size_t length = kCountHistogramLength;
        while (length > 1 && histogram[length - 1] == 0) {
            --length;
        }
        tally.assign(histogram, histogram + length);
        tally[0] = 0;
    } else {
        tally = histogramOf(counts, pixelCount, threads);
    }
    if (tally.size() <= 1) {
        return;  // nothing counted
    }
    Levels levels;
    levelsFromHistogram(tally, &levels);
    parallel::forSlices(threads, pixelCount, [&](int, int64_t begin, int64_t end) {
        applyLevelsRange(levels, counts, equalised, begin, end);
    });
}
