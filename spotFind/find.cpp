#include "find.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "parallel.h"

// The filter's loops are compiled twice: for every x86-64 and, with twice the vector width,
// for CPUs with AVX2, chosen when a call starts. Both run the same operations on each pixel in
// the same order, without fused multiply-adds (AVX2 does not bring them), so they give the same
// bits.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define SPOT_WIDE_KERNELS 1
#define SPOT_WIDE_TARGET __attribute__((target("avx2")))
#define SPOT_KERNEL inline __attribute__((always_inline))
#else
#define SPOT_WIDE_KERNELS 0
#define SPOT_KERNEL inline
#endif

namespace {

std::atomic<bool> wideAllowed{true};

bool useWideKernels() {
#if SPOT_WIDE_KERNELS
    static const bool hasAvx2 = __builtin_cpu_supports("avx2");
    return hasAvx2 && wideAllowed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

// Lanes of the test for values that are not finite.
constexpr int32_t kBlock = 16;

constexpr double kPi = 3.14159265358979323846;

SPOT_KERNEL int32_t clampIndex(int64_t index, int32_t length) {
    return static_cast<int32_t>(index < 0 ? 0 : (index >= length ? length - 1 : index));
}

// Where a column of candidates lies, and the scale its filtered values are in.
struct Place {
    int32_t column;
    int32_t frame;
    double scale;
};

// The candidates of one filtered column, given the columns before and after it (when the frame
// has them).
bool collectCandidates(const double* before, const double* column, const double* after,
                       int32_t rows, bool hasBefore, bool hasAfter, Place place, double threshold,
                       std::vector<Candidate>* found) {
    try {
        for (int32_t x = 0; x < rows; ++x) {
            const double s = column[x];
            if (!(s >= threshold)) {
                continue;
            }
            const bool up = x > 0;
            const bool down = x + 1 < rows;
            // Before it in column-major order it must beat; after it, at least equal.
            const bool peak =
                (!up || s > column[x - 1]) && (!(up && hasBefore) || s > before[x - 1]) &&
                (!hasBefore || s > before[x]) && (!(down && hasBefore) || s > before[x + 1]) &&
                (!down || s >= column[x + 1]) && (!(down && hasAfter) || s >= after[x + 1]) &&
                (!hasAfter || s >= after[x]) && (!(up && hasAfter) || s >= after[x - 1]);
            if (peak) {
                found->push_back(Candidate{x, place.column, place.frame, s / place.scale});
            }
        }
    } catch (const std::bad_alloc&) {
        return false;  // a thread must not throw: the caller raises it
    }
    return true;
}

// One frame as the filter reads it: its pixels in photons, through the camera's maps, times
// `scale` (a power of two, 1 unless the frame holds values so large that the filter's sums
// could overflow).
template <class T>
struct FrameSource {
    const T* pixels;
    int32_t rows;
    int32_t cols;
    const CameraMaps* camera;
    double scale;
};

// Columns filtered along their rows at once: their running sums, each a chain of additions,
// then overlap in the CPU.
constexpr int32_t kBatch = 4;

// What one thread filters a frame's columns in, a few columns at a time so that it stays in the
// cache: the sums along the first dimension of the columns a filtered column needs (a window's
// 2r + 1, and the further columns of a batch; or the frame's columns when it has fewer: beyond
// its sides the nearest repeats), the last three filtered columns, and a batch of columns with
// their borders replicated.
struct ColumnRings {
    int64_t slots;       // min(2r + kBatch, cols)
    double* gaussAlong;  // slots x rows
    double* boxed;       // slots x rows
    double* filtered;    // 3 x rows
    double* padded;      // batch x (rows + 2r), batch = min(kBatch, cols)
    double* woven;       // the same, interleaved, (rows + 2r) x kBatch, for whole batches
};

int64_t ringSlots(int32_t cols, int32_t r) {
    const int64_t window = 2 * static_cast<int64_t>(r) + kBatch;
    return cols < window ? cols : window;
}

// Columns of a frame filtered at once: a batch, or all when the frame has fewer.
int64_t batchOf(int32_t cols) {
    return cols < kBatch ? cols : kBatch;
}

int64_t ringLength(int32_t rows, int32_t cols, int32_t r) {
    const int64_t padded = batchOf(cols) * (rows + 2 * static_cast<int64_t>(r));
    // The interleaved copy only for whole batches.
    return (2 * ringSlots(cols, r) + 3) * rows + (batchOf(cols) == kBatch ? 2 : 1) * padded;
}

ColumnRings ringsAt(double* base, int32_t rows, int32_t cols, int32_t r) {
    const int64_t slots = ringSlots(cols, r);
    const int64_t part = slots * rows;
    double* padded = base + 2 * part + 3 * rows;
    double* woven = padded + batchOf(cols) * (rows + 2 * static_cast<int64_t>(r));
    return ColumnRings{slots, base, base + part, base + 2 * part, padded, woven};
}

SPOT_KERNEL int64_t slotOf(int64_t index, int64_t slots) {
    const int64_t slot = index % slots;
    return slot < 0 ? slot + slots : slot;
}

// A running sum down a column carries the rounding of every value it has held: when a value
// leaving the window is more than this many times what stays, the sum is taken afresh.
constexpr double kSlidingRange = 1024.0;

#if SPOT_WIDE_KERNELS
// A batch's columns side by side in one vector, a column a lane; or kBatch pixels of one.
typedef double Lanes __attribute__((vector_size(kBatch * sizeof(double))));
typedef long long LaneBits __attribute__((vector_size(kBatch * sizeof(double))));
// Lanes read from and written to doubles at any address.
typedef double Unaligned
    __attribute__((vector_size(kBatch * sizeof(double)), aligned(sizeof(double)), may_alias));

#endif

// The plain sum of the window of 2r + 1 padded values from x.
SPOT_KERNEL double windowSum(const double* padded, int32_t x, int32_t r) {
    double sum = 0.0;
    for (int32_t t = 0; t <= 2 * r; ++t) {
        sum += padded[x + t];
    }
    return sum;
}

// Column `column` of the frame (its nearest inside it) in photons, with r replicated border
// pixels on either side, into `padded`; its Gaussian-weighted window sums along the first
// dimension into `weighted`. True when all its values are finite. Each sum runs in the same
// order whoever computes it, so threads do not change it.
template <class T>
SPOT_KERNEL bool prepareColumn(const FrameSource<T>& frame, int64_t column,
                               const SpotFilter& filter, double* weighted, double* padded) {
    const int32_t r = filter.radius;
    const int32_t rows = frame.rows;
    const int64_t first = static_cast<int64_t>(clampIndex(column, frame.cols)) * rows;
    const T* __restrict source = frame.pixels + first;
    double* __restrict inside = padded + r;
    const CameraMaps& camera = *frame.camera;
    const double scale = frame.scale;
    if (!camera.converts()) {
        for (int32_t x = 0; x < rows; ++x) {
            inside[x] = static_cast<double>(source[x]) * scale;
        }
    } else if (camera.offsetMap && camera.gainMap) {
        // (count - offset) / gain, the scale taken first so that nothing overflows.
        const double* __restrict offset = camera.offset + first;
        const double* __restrict gain = camera.gain + first;
        for (int32_t x = 0; x < rows; ++x) {
            inside[x] = (static_cast<double>(source[x]) * scale - offset[x] * scale) / gain[x];
        }
    } else {
        const double* offset =
            camera.offset == nullptr ? nullptr : camera.offset + (camera.offsetMap ? first : 0);
        const double* gain =
            camera.gain == nullptr ? nullptr : camera.gain + (camera.gainMap ? first : 0);
        for (int32_t x = 0; x < rows; ++x) {
            const double o = offset == nullptr ? 0.0 : offset[camera.offsetMap ? x : 0];
            const double g = gain == nullptr ? 1.0 : gain[camera.gainMap ? x : 0];
            inside[x] = (static_cast<double>(source[x]) * scale - o * scale) / g;
        }
    }
    for (int32_t k = 0; k < r; ++k) {
        padded[k] = inside[0];
        padded[r + rows + k] = inside[rows - 1];
    }
    bool finite = true;
    if (!std::is_integral<T>::value) {
        // 0 times a NaN or an infinity is NaN; times anything else, 0. Sums of kBlock lanes,
        // whose order cannot change whether one is NaN.
        double probe[kBlock] = {};
        int32_t x = 0;
        for (; x + kBlock <= rows; x += kBlock) {
            for (int32_t i = 0; i < kBlock; ++i) {
                probe[i] += 0.0 * inside[x + i];
            }
        }
        for (; x < rows; ++x) {
            probe[0] += 0.0 * inside[x];
        }
        for (int32_t i = 0; i < kBlock; ++i) {
            finite = finite && probe[i] == 0.0;
        }
    }
    // The Gaussian is even: pixels at the same distance on either side share a product.
    const double* centre = padded + r;
    int32_t done = 0;
#if SPOT_WIDE_KERNELS
    // Sixteen pixels at a time, their sums kept in registers: each pixel's sum is its centre's
    // term, then the pairs outward, as below.
    const double* gauss = filter.gauss.data() + r;
    for (; done + 4 * kBatch <= rows; done += 4 * kBatch) {
        const double* c = centre + done;
        Lanes s0 = gauss[0] * *reinterpret_cast<const Unaligned*>(c);
        Lanes s1 = gauss[0] * *reinterpret_cast<const Unaligned*>(c + kBatch);
        Lanes s2 = gauss[0] * *reinterpret_cast<const Unaligned*>(c + 2 * kBatch);
        Lanes s3 = gauss[0] * *reinterpret_cast<const Unaligned*>(c + 3 * kBatch);
        for (int32_t t = 1; t <= r; ++t) {
            const double g = gauss[t];
            s0 += g * (*reinterpret_cast<const Unaligned*>(c - t) +
                       *reinterpret_cast<const Unaligned*>(c + t));
            s1 += g * (*reinterpret_cast<const Unaligned*>(c + kBatch - t) +
                       *reinterpret_cast<const Unaligned*>(c + kBatch + t));
            s2 += g * (*reinterpret_cast<const Unaligned*>(c + 2 * kBatch - t) +
                       *reinterpret_cast<const Unaligned*>(c + 2 * kBatch + t));
            s3 += g * (*reinterpret_cast<const Unaligned*>(c + 3 * kBatch - t) +
                       *reinterpret_cast<const Unaligned*>(c + 3 * kBatch + t));
        }
        *reinterpret_cast<Unaligned*>(weighted + done) = s0;
        *reinterpret_cast<Unaligned*>(weighted + done + kBatch) = s1;
        *reinterpret_cast<Unaligned*>(weighted + done + 2 * kBatch) = s2;
        *reinterpret_cast<Unaligned*>(weighted + done + 3 * kBatch) = s3;
    }
#endif
    for (int32_t x = done; x < rows; ++x) {
        weighted[x] = filter.gauss[r] * centre[x];
    }
    for (int32_t t = 1; t <= r; ++t) {
        const double g = filter.gauss[r + t];
        const double* before = centre - t;
        const double* after = centre + t;
        for (int32_t x = done; x < rows; ++x) {
            weighted[x] += g * (before[x] + after[x]);
        }
    }
    return finite;
}

// The plain window sums down a finite column of `padded`, times the filter's box scale, into
// `boxed`: a sum slides down the column, and since a finite value far larger than the rest
// takes their digits with it, when one leaves the sum is taken afresh.
SPOT_KERNEL void slideSum(const double* padded, double* boxed, int32_t rows, int32_t r,
                          double boxScale, bool whole) {
    double sum = windowSum(padded, 0, r);
    boxed[0] = boxScale * sum;
    for (int32_t x = 1; x < rows; ++x) {
        const double leaving = padded[x - 1];
        sum += padded[x + 2 * r] - leaving;
        if (!whole && std::fabs(leaving) > kSlidingRange * std::fabs(sum)) {
            sum = windowSum(padded, x, r);
        }
        boxed[x] = boxScale * sum;
    }
}

#if SPOT_WIDE_KERNELS
// slideSum for kBatch columns at once, the lanes of one vector, from their values interleaved
// in `woven`: each lane takes the steps its column takes alone.
SPOT_KERNEL void slideSums(const double* const* padded, const double* woven, double* const* boxed,
                           int32_t rows, int32_t r, double boxScale, bool whole) {
    Lanes sum;
    for (int32_t k = 0; k < kBatch; ++k) {
        sum[k] = windowSum(padded[k], 0, r);
        boxed[k][0] = boxScale * sum[k];
    }
    const LaneBits magnitude = {~(1LL << 63), ~(1LL << 63), ~(1LL << 63), ~(1LL << 63)};
    for (int32_t x = 1; x < rows; ++x) {
        const Lanes leaving =
            *reinterpret_cast<const Unaligned*>(woven + static_cast<int64_t>(x - 1) * kBatch);
        const Lanes entering =
            *reinterpret_cast<const Unaligned*>(woven + static_cast<int64_t>(x + 2 * r) * kBatch);
        sum += entering - leaving;
        if (!whole) {
            const Lanes sizeLeaving = (Lanes)((LaneBits)leaving & magnitude);
            const Lanes sizeSum = (Lanes)((LaneBits)sum & magnitude);
            const LaneBits refresh = sizeLeaving > kSlidingRange * sizeSum;
            if ((refresh[0] | refresh[1] | refresh[2] | refresh[3]) != 0) {
                for (int32_t k = 0; k < kBatch; ++k) {
                    sum[k] = refresh[k] != 0 ? windowSum(padded[k], x, r) : sum[k];
                }
            }
        }
        const Lanes scaled = boxScale * sum;
        for (int32_t k = 0; k < kBatch; ++k) {
            boxed[k][x] = scaled[k];
        }
    }
}
#endif

// Whether any of a filtered column's values reaches the threshold: most columns hold no
// candidate, and this test runs a vector of them at a time.
SPOT_KERNEL bool reaches(const double* column, int32_t rows, double threshold) {
    int32_t x = 0;
#if SPOT_WIDE_KERNELS
    LaneBits any = {};
    for (; x + kBatch <= rows; x += kBatch) {
        any |= *reinterpret_cast<const Unaligned*>(column + x) >= threshold;
    }
    if ((any[0] | any[1] | any[2] | any[3]) != 0) {
        return true;
    }
#endif
    for (; x < rows; ++x) {
        if (column[x] >= threshold) {
            return true;
        }
    }
    return false;
}

// Filters columns [from, to) of the frame (to - from at most kBatch, each inside it) along
// their rows into their ring slots. A NaN or infinity would stay in a sliding sum after it
// left the window, so such a column is summed window by window.
template <class T>
SPOT_KERNEL void filterAlongRows(const FrameSource<T>& frame, int64_t from, int64_t to,
                                 const SpotFilter& filter, const ColumnRings& rings) {
    const int32_t r = filter.radius;
    const int32_t rows = frame.rows;
    // Counts of an integer type taken as they are sum exactly.
    const bool whole = std::is_integral<T>::value && !frame.camera->converts();
    const int64_t length = rows + 2 * static_cast<int64_t>(r);
    const double* padded[kBatch];
    double* boxed[kBatch];
    bool finite[kBatch];
    const int32_t count = static_cast<int32_t>(to - from);
    for (int32_t k = 0; k < count; ++k) {
        const int64_t slot = slotOf(from + k, rings.slots) * rows;
        double* own = rings.padded + k * length;
        finite[k] = prepareColumn(frame, from + k, filter, rings.gaussAlong + slot, own);
        padded[k] = own;
        boxed[k] = rings.boxed + slot;
    }
#if SPOT_WIDE_KERNELS
    if (count == kBatch) {
        for (int64_t i = 0; i < length; ++i) {
            for (int32_t k = 0; k < kBatch; ++k) {
                rings.woven[i * kBatch + k] = padded[k][i];
            }
        }
        slideSums(padded, rings.woven, boxed, rows, r, filter.boxScale, whole);
    }
#endif
    for (int32_t k = 0; k < count; ++k) {
        if (!finite[k]) {
            for (int32_t x = 0; x < rows; ++x) {
                boxed[k][x] = filter.boxScale * windowSum(padded[k], x, r);
            }
        } else if (!SPOT_WIDE_KERNELS || count < kBatch) {
            slideSum(padded[k], boxed[k], rows, r, filter.boxScale, whole);
        }
    }
}

// The ring slot of column `column` (its nearest inside the frame).
SPOT_KERNEL double* ringColumn(double* ring, int64_t column, int32_t cols, int64_t slots,
                               int32_t rows) {
    return ring + slotOf(clampIndex(column, cols), slots) * rows;
}

// Makes sure column `column` (its nearest inside the frame) is filtered along its rows in its
// ring slots: columns are asked for in order, and those after the last filtered are filtered
// kBatch at a time (the ring holds them till they are done with).
template <class T>
SPOT_KERNEL void filterOnce(const FrameSource<T>& frame, int64_t column, const SpotFilter& filter,
                            const ColumnRings& rings, int64_t* lastAlong) {
    const int32_t nearest = clampIndex(column, frame.cols);
    if (nearest > *lastAlong) {
        const int64_t to = std::min<int64_t>(int64_t{nearest} + kBatch, frame.cols);
        filterAlongRows(frame, nearest, to, filter, rings);
        *lastAlong = to - 1;
    }
}

// The candidates among columns [first, end) of one frame, in column-major order. Columns are
// filtered one after another through the rings, from first - 1 to end, so that each column's
// neighbours are at hand when its candidates are picked; a column outside the frame repeats its
// nearest, which is filtered along its rows once.
template <class T>
SPOT_KERNEL bool scanColumnsWith(const FrameSource<T>& frame, int32_t frameIndex,
                                 const SpotFilter& filter, double threshold, int32_t first,
                                 int32_t end, const ColumnRings& rings,
                                 std::vector<Candidate>* found) {
    const int32_t r = filter.radius;
    const int32_t rows = frame.rows;
    const int32_t cols = frame.cols;
    // No lambdas here: they would be compiled for the baseline CPU whatever calls them.
    const int64_t slots = rings.slots;
    int64_t lastAlong = -1;
    for (int64_t column = int64_t{first} - 1 - r; column < int64_t{first} - 1 + r; ++column) {
        filterOnce(frame, column, filter, rings, &lastAlong);
    }
    // Thresholds and values compare in the frame's scale; a power of two, so exactly.
    const double scaledThreshold = threshold * frame.scale;
    for (int64_t y = int64_t{first} - 1; y <= end; ++y) {
        filterOnce(frame, y + r, filter, rings, &lastAlong);
        double* out = rings.filtered + slotOf(y, 3) * rows;
        if (y >= 0 && y < cols) {
            const double middle = filter.gauss[r] * filter.gaussScale;
            const double* gaussAlong = ringColumn(rings.gaussAlong, y, cols, slots, rows);
            const double* boxed = ringColumn(rings.boxed, y, cols, slots, rows);
            for (int32_t x = 0; x < rows; ++x) {
                out[x] = middle * gaussAlong[x] - boxed[x];
            }
            for (int64_t t = 1; t <= r; ++t) {
                const double g = filter.gauss[r + t] * filter.gaussScale;
                const double* gaussBefore = ringColumn(rings.gaussAlong, y - t, cols, slots, rows);
                const double* gaussAfter = ringColumn(rings.gaussAlong, y + t, cols, slots, rows);
                const double* boxedBefore = ringColumn(rings.boxed, y - t, cols, slots, rows);
                const double* boxedAfter = ringColumn(rings.boxed, y + t, cols, slots, rows);
                for (int32_t x = 0; x < rows; ++x) {
                    out[x] +=
                        g * (gaussBefore[x] + gaussAfter[x]) - (boxedBefore[x] + boxedAfter[x]);
                }
            }
        }
        const int64_t picked = y - 1;
        const Place place{static_cast<int32_t>(picked), frameIndex, frame.scale};
        if (picked >= first && picked < end &&
            reaches(rings.filtered + slotOf(picked, 3) * rows, rows, scaledThreshold) &&
            !collectCandidates(rings.filtered + slotOf(picked - 1, 3) * rows,
                               rings.filtered + slotOf(picked, 3) * rows,
                               rings.filtered + slotOf(y, 3) * rows, rows, picked > 0, y < cols,
                               place, scaledThreshold, found)) {
            return false;
        }
    }
    return true;
}

template <class T>
bool scanColumnsBaseline(const FrameSource<T>& frame, int32_t frameIndex, const SpotFilter& filter,
                         double threshold, int32_t first, int32_t end, const ColumnRings& rings,
                         std::vector<Candidate>* found) {
    return scanColumnsWith(frame, frameIndex, filter, threshold, first, end, rings, found);
}

#if SPOT_WIDE_KERNELS
template <class T>
SPOT_WIDE_TARGET bool scanColumnsWide(const FrameSource<T>& frame, int32_t frameIndex,
                                      const SpotFilter& filter, double threshold, int32_t first,
                                      int32_t end, const ColumnRings& rings,
                                      std::vector<Candidate>* found) {
    return scanColumnsWith(frame, frameIndex, filter, threshold, first, end, rings, found);
}
#endif

// The candidates among columns [first, end) of one frame, by the widest kernels the CPU runs.
template <class T>
bool scanColumns(const FrameSource<T>& frame, int32_t frameIndex, const SpotFilter& filter,
                 double threshold, int32_t first, int32_t end, const ColumnRings& rings, bool wide,
                 std::vector<Candidate>* found) {
#if SPOT_WIDE_KERNELS
    if (wide) {
        return scanColumnsWide(frame, frameIndex, filter, threshold, first, end, rings, found);
    }
#endif
    (void)wide;
    return scanColumnsBaseline(frame, frameIndex, filter, threshold, first, end, rings, found);
}

// Largest a finite value of a frame in photons may be before the filter's sums (of at most
// 41^2 values, each weight at most 1) could overflow.
constexpr int kLargestExponent = 1000;

// What bounds the magnitude of a frame's values in photons, but for the counts themselves: the
// largest offset's and the least gain.
struct MapBounds {
    double largestOffset = 0.0;
    double leastGain = 1.0;
};

MapBounds boundsOf(const CameraMaps& camera, int64_t pixels) {
    MapBounds bounds;
    if (camera.offset != nullptr) {
        for (int64_t k = 0; k < (camera.offsetMap ? pixels : 1); ++k) {
            bounds.largestOffset = std::fmax(bounds.largestOffset, std::fabs(camera.offset[k]));
        }
    }
    if (camera.gain != nullptr) {
        bounds.leastGain = HUGE_VAL;
        for (int64_t k = 0; k < (camera.gainMap ? pixels : 1); ++k) {
            bounds.leastGain = std::fmin(bounds.leastGain, camera.gain[k]);
        }
    }
    return bounds;
}

// The power of two a frame is scaled by: 1, unless its values in photons may reach
// 2^kLargestExponent: (largest count + largest offset) / least gain, the largest count a
// double frame's own and any other type's largest value.
template <class T>
double frameScale(const T* pixels, int64_t count, const MapBounds& bounds) {
    double largest = static_cast<double>(std::numeric_limits<T>::max());
    if (std::is_same<T, double>::value) {
        largest = 0.0;
        for (int64_t k = 0; k < count; ++k) {
            const double magnitude = std::fabs(static_cast<double>(pixels[k]));
            largest = magnitude < HUGE_VAL && magnitude > largest ? magnitude : largest;
        }
    }
    const double photons = (largest + bounds.largestOffset) / bounds.leastGain;
    int exponent = 0;
    std::frexp(photons, &exponent);
    return exponent > kLargestExponent ? std::ldexp(1.0, kLargestExponent - exponent) : 1.0;
}

}  // namespace

bool allowWideKernels(bool allowed) {
    wideAllowed = allowed;
    return useWideKernels() || !allowed;
}

SpotFilter makeSpotFilter(double sigma) {
    SpotFilter filter;
    filter.radius = static_cast<int32_t>(std::ceil(3.0 * sigma));
    const int32_t r = filter.radius;
    const int32_t n = 2 * r + 1;
    filter.gauss.resize(static_cast<size_t>(n));
    for (int32_t t = -r; t <= r; ++t) {
        filter.gauss[t + r] = std::exp(-static_cast<double>(t) * t / (2.0 * sigma * sigma));
    }
    const double norm = 1.0 / (2.0 * kPi * sigma * sigma);
    double total = 0.0;
    for (double gi : filter.gauss) {
        for (double gj : filter.gauss) {
            total += gi * gj * norm;
        }
    }
    const double mean = total / (static_cast<double>(n) * n);
    double q = 0.0;
    for (double gi : filter.gauss) {
        for (double gj : filter.gauss) {
            q += (gi * gj * norm - mean) * (gi * gj * norm - mean);
        }
    }
    filter.gaussScale = norm / q;
    filter.boxScale = mean / q;
    return filter;
}

template <class T>
std::vector<Candidate> findSpots(const Stack<T>& stack, const SpotFilter& filter, double threshold,
                                 int threads) {
    threads = threads < 1 ? 1 : (threads > parallel::kMaxThreads ? parallel::kMaxThreads : threads);
    const int64_t pixels = static_cast<int64_t>(stack.rows) * stack.cols;
    if (pixels == 0 || stack.frames == 0) {
        return {};
    }
    const int64_t length = ringLength(stack.rows, stack.cols, filter.radius);
    std::vector<Candidate> all;
    std::atomic<bool> intact{true};
    const MapBounds bounds = boundsOf(stack.camera, pixels);
    const bool wide = useWideKernels();
    auto sourceOf = [&](int64_t frame) {
        const T* framePixels = stack.pixels + frame * pixels;
        return FrameSource<T>{framePixels, stack.rows, stack.cols, &stack.camera,
                              frameScale(framePixels, pixels, bounds)};
    };
    auto scanFrame = [&](const FrameSource<T>& source, int64_t frame, int64_t first, int64_t end,
                         double* memory, std::vector<Candidate>* found) {
        const ColumnRings rings = ringsAt(memory, stack.rows, stack.cols, filter.radius);
        if (!scanColumns(source, static_cast<int32_t>(frame), filter, threshold,
                         static_cast<int32_t>(first), static_cast<int32_t>(end), rings, wide,
                         found)) {
            intact = false;
        }
    };
    // Each thread with work takes rings of its own, and fills a list of its own, handed over
    // when it is done: lists side by side would share cache lines as they grow. Null (and the
    // call failed) when there is no memory to be had.
    auto ringMemory = [&]() -> std::unique_ptr<double[]> {
        try {
            return std::unique_ptr<double[]>(new double[static_cast<size_t>(length)]);
        } catch (const std::bad_alloc&) {
            intact = false;
            return nullptr;
        }
    };
    if (stack.frames >= threads) {
        std::vector<std::vector<Candidate>> parts(static_cast<size_t>(threads));
        parallel::forSlices(threads, stack.frames, [&](int part, int64_t begin, int64_t end) {
            const std::unique_ptr<double[]> memory = ringMemory();
            std::vector<Candidate> found;
            for (int64_t frame = begin; frame < end && memory != nullptr; ++frame) {
                scanFrame(sourceOf(frame), frame, 0, stack.cols, memory.get(), &found);
            }
            parts[part].swap(found);
        });
        for (const std::vector<Candidate>& found : parts) {  // in frame order
            all.insert(all.end(), found.begin(), found.end());
        }
    } else {
        // Fewer frames than threads: a frame's columns are shared out, to as many threads as
        // it has columns.
        const int columnThreads = stack.cols < threads ? stack.cols : threads;
        std::vector<std::vector<Candidate>> parts(static_cast<size_t>(columnThreads));
        for (int32_t frame = 0; frame < stack.frames; ++frame) {
            const FrameSource<T> source = sourceOf(frame);
            parallel::forSlices(columnThreads, stack.cols,
                                [&](int part, int64_t begin, int64_t end) {
                                    const std::unique_ptr<double[]> memory = ringMemory();
                                    std::vector<Candidate> found;
                                    if (memory != nullptr) {
                                        scanFrame(source, frame, begin, end, memory.get(), &found);
                                    }
                                    parts[part].swap(found);
                                });
            // The parts hold this frame's candidates in column order.
            for (std::vector<Candidate>& found : parts) {
                all.insert(all.end(), found.begin(), found.end());
            }
        }
    }
    if (!intact) {
        throw std::bad_alloc();
    }
    return all;
}

template std::vector<Candidate> findSpots<uint16_t>(const Stack<uint16_t>&, const SpotFilter&,
                                                    double, int);
template std::vector<Candidate> findSpots<float>(const Stack<float>&, const SpotFilter&, double,
                                                 int);
template std::vector<Candidate> findSpots<double>(const Stack<double>&, const SpotFilter&, double,
                                                  int);
