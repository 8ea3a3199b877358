#include "find.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "parallel.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

int32_t clampIndex(int64_t index, int32_t length) {
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

// What one thread filters a frame's columns in, a few columns at a time so that it stays in the
// cache: the sums along the first dimension of the columns a filtered column needs (a window's
// 2r + 1, or the frame's columns when it has fewer: beyond its sides the nearest repeats), the
// last three filtered columns, and one column with its border replicated.
struct ColumnRings {
    int64_t slots;       // min(2r + 1, cols)
    double* gaussAlong;  // slots x rows
    double* boxed;       // slots x rows
    double* filtered;    // 3 x rows
    double* padded;      // rows + 2r
};

int64_t ringSlots(int32_t cols, int32_t r) {
    const int64_t window = 2 * static_cast<int64_t>(r) + 1;
    return cols < window ? cols : window;
}

int64_t ringLength(int32_t rows, int32_t cols, int32_t r) {
    return (2 * ringSlots(cols, r) + 4) * rows + 2 * r;
}

ColumnRings ringsAt(double* base, int32_t rows, int32_t cols, int32_t r) {
    const int64_t slots = ringSlots(cols, r);
    const int64_t part = slots * rows;
    return ColumnRings{slots, base, base + part, base + 2 * part, base + 2 * part + 3 * rows};
}

int64_t slotOf(int64_t index, int64_t slots) {
    const int64_t slot = index % slots;
    return slot < 0 ? slot + slots : slot;
}

// A running sum down a column carries the rounding of every value it has held: when a value
// leaving the window is more than this many times what stays, the sum is taken afresh.
constexpr double kSlidingRange = 1024.0;

// Along the first dimension, for column `column` of the frame (replicated beyond its sides):
// the Gaussian-weighted window sums, and the plain window sums times the filter's box scale,
// rows outside replicating the nearest. Each runs in the same order whoever computes it, so
// threads do not change it.
template <class T>
void filterAlongRows(const FrameSource<T>& frame, int64_t column, const SpotFilter& filter,
                     double* weighted, double* boxed, double* padded) {
    const int32_t r = filter.radius;
    const int32_t rows = frame.rows;
    const int64_t first = static_cast<int64_t>(clampIndex(column, frame.cols)) * rows;
    const T* source = frame.pixels + first;
    double* inside = padded + r;
    const CameraMaps& camera = *frame.camera;
    const double scale = frame.scale;
    if (!camera.converts()) {
        for (int32_t x = 0; x < rows; ++x) {
            inside[x] = static_cast<double>(source[x]) * scale;
        }
    } else {
        // (count - offset) / gain, the scale taken first so that nothing overflows.
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
        // 0 times a NaN or an infinity is NaN; times anything else, 0.
        double probe = 0.0;
        for (int32_t x = 0; x < rows; ++x) {
            probe += 0.0 * inside[x];
        }
        finite = probe == 0.0;
    }
    // The Gaussian is even: pixels at the same distance on either side share a product.
    const double* centre = padded + r;
    for (int32_t x = 0; x < rows; ++x) {
        weighted[x] = filter.gauss[r] * centre[x];
    }
    for (int32_t t = 1; t <= r; ++t) {
        const double g = filter.gauss[r + t];
        const double* before = centre - t;
        const double* after = centre + t;
        for (int32_t x = 0; x < rows; ++x) {
            weighted[x] += g * (before[x] + after[x]);
        }
    }
    // Counts of an integer type taken as they are sum exactly.
    const bool whole = std::is_integral<T>::value && !camera.converts();
    auto windowSum = [&](int32_t x) {
        double sum = 0.0;
        for (int32_t t = 0; t <= 2 * r; ++t) {
            sum += padded[x + t];
        }
        return sum;
    };
    // The plain sum slides down the column. A NaN or infinity would stay in a sliding sum after
    // it left the window, so such a column is summed window by window; and a finite value far
    // larger than the rest takes their digits with it, so when it leaves the sum is taken
    // afresh.
    if (finite) {
        double sum = windowSum(0);
        boxed[0] = filter.boxScale * sum;
        for (int32_t x = 1; x < rows; ++x) {
            const double leaving = padded[x - 1];
            sum += padded[x + 2 * r] - leaving;
            if (!whole && std::fabs(leaving) > kSlidingRange * std::fabs(sum)) {
                sum = windowSum(x);
            }
            boxed[x] = filter.boxScale * sum;
        }
    } else {
        for (int32_t x = 0; x < rows; ++x) {
            boxed[x] = filter.boxScale * windowSum(x);
        }
    }
}

// The candidates among columns [first, end) of one frame, in column-major order. Columns are
// filtered one after another through the rings, from first - 1 to end, so that each column's
// neighbours are at hand when its candidates are picked; a column outside the frame repeats its
// nearest, which is filtered along its rows once.
template <class T>
bool scanColumns(const FrameSource<T>& frame, int32_t frameIndex, const SpotFilter& filter,
                 double threshold, int32_t first, int32_t end, const ColumnRings& rings,
                 std::vector<Candidate>* found) {
    const int32_t r = filter.radius;
    const int32_t rows = frame.rows;
    const int32_t cols = frame.cols;
    auto alongRow = [&](double* ring, int64_t column) {
        return ring + slotOf(clampIndex(column, cols), rings.slots) * rows;
    };
    int64_t lastAlong = -1;
    auto along = [&](int64_t column) {
        const int32_t nearest = clampIndex(column, cols);
        if (nearest != lastAlong) {
            filterAlongRows(frame, nearest, filter, alongRow(rings.gaussAlong, nearest),
                            alongRow(rings.boxed, nearest), rings.padded);
            lastAlong = nearest;
        }
    };
    auto filteredRow = [&](int64_t column) { return rings.filtered + slotOf(column, 3) * rows; };
    for (int64_t column = int64_t{first} - 1 - r; column < int64_t{first} - 1 + r; ++column) {
        along(column);
    }
    // Thresholds and values compare in the frame's scale; a power of two, so exactly.
    const double scaledThreshold = threshold * frame.scale;
    for (int64_t y = int64_t{first} - 1; y <= end; ++y) {
        along(y + r);
        double* out = filteredRow(y);
        if (y >= 0 && y < cols) {
            const double middle = filter.gauss[r] * filter.gaussScale;
            const double* gaussAlong = alongRow(rings.gaussAlong, y);
            const double* boxed = alongRow(rings.boxed, y);
            for (int32_t x = 0; x < rows; ++x) {
                out[x] = middle * gaussAlong[x] - boxed[x];
            }
            for (int64_t t = 1; t <= r; ++t) {
                const double g = filter.gauss[r + t] * filter.gaussScale;
                const double* gaussBefore = alongRow(rings.gaussAlong, y - t);
                const double* gaussAfter = alongRow(rings.gaussAlong, y + t);
                const double* boxedBefore = alongRow(rings.boxed, y - t);
                const double* boxedAfter = alongRow(rings.boxed, y + t);
                for (int32_t x = 0; x < rows; ++x) {
                    out[x] +=
                        g * (gaussBefore[x] + gaussAfter[x]) - (boxedBefore[x] + boxedAfter[x]);
                }
            }
        }
        const int64_t picked = y - 1;
        const Place place{static_cast<int32_t>(picked), frameIndex, frame.scale};
        if (picked >= first && picked < end &&
            !collectCandidates(filteredRow(picked - 1), filteredRow(picked), filteredRow(y), rows,
                               picked > 0, y < cols, place, scaledThreshold, found)) {
            return false;
        }
    }
    return true;
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
    auto sourceOf = [&](int64_t frame) {
        const T* framePixels = stack.pixels + frame * pixels;
        return FrameSource<T>{framePixels, stack.rows, stack.cols, &stack.camera,
                              frameScale(framePixels, pixels, bounds)};
    };
    auto scanFrame = [&](const FrameSource<T>& source, int64_t frame, int64_t first, int64_t end,
                         double* memory, std::vector<Candidate>* found) {
        const ColumnRings rings = ringsAt(memory, stack.rows, stack.cols, filter.radius);
        if (!scanColumns(source, static_cast<int32_t>(frame), filter, threshold,
                         static_cast<int32_t>(first), static_cast<int32_t>(end), rings, found)) {
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
