#include "find.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <type_traits>

#include "parallel.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

int32_t clampIndex(int64_t index, int32_t length) {
    return static_cast<int32_t>(index < 0 ? 0 : (index >= length ? length - 1 : index));
}

// Where a column of candidates lies.
struct Place {
    int32_t column;
    int32_t frame;
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
                found->push_back(Candidate{x, place.column, place.frame, s});
            }
        }
    } catch (const std::bad_alloc&) {
        return false;  // a thread must not throw: the caller raises it
    }
    return true;
}

// What one thread filters a frame's columns in, a few columns at a time so that it stays in the
// cache: the sums along the first dimension of the 2r + 1 columns a filtered column needs, the
// last three filtered columns, and one column with its border replicated.
struct ColumnRings {
    double* gaussAlong;  // (2r + 1) x rows
    double* boxed;       // (2r + 1) x rows
    double* filtered;    // 3 x rows
    double* padded;      // rows + 2r
};

int64_t ringLength(int32_t rows, int32_t r) {
    return (2 * (2 * static_cast<int64_t>(r) + 1) + 4) * rows + 2 * r;
}

ColumnRings ringsAt(double* base, int32_t rows, int32_t r) {
    const int64_t window = (2 * static_cast<int64_t>(r) + 1) * rows;
    return ColumnRings{base, base + window, base + 2 * window, base + 2 * window + 3 * rows};
}

int64_t slotOf(int64_t index, int64_t slots) {
    const int64_t slot = index % slots;
    return slot < 0 ? slot + slots : slot;
}

// Along the first dimension, for column `column` of the frame (replicated beyond its sides):
// the Gaussian-weighted window sums, and the plain window sums times the filter's box scale,
// rows outside replicating the nearest. Each runs in the same order whoever computes it, so
// threads do not change it.
template <class T>
void filterAlongRows(const T* frame, int32_t rows, int32_t cols, int64_t column,
                     const SpotFilter& filter, double* weighted, double* boxed, double* padded) {
    const int32_t r = filter.radius;
    const T* source = frame + static_cast<int64_t>(clampIndex(column, cols)) * rows;
    for (int32_t k = 0; k < r; ++k) {
        padded[k] = static_cast<double>(source[0]);
        padded[r + rows + k] = static_cast<double>(source[rows - 1]);
    }
    double* inside = padded + r;
    for (int32_t x = 0; x < rows; ++x) {
        inside[x] = static_cast<double>(source[x]);
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
    // The plain sum slides down the column; a NaN or infinity would stay in a sliding sum
    // after it left the window, so such a column is summed window by window.
    if (finite) {
        double sum = 0.0;
        for (int32_t t = 0; t <= 2 * r; ++t) {
            sum += padded[t];
        }
        boxed[0] = filter.boxScale * sum;
        for (int32_t x = 1; x < rows; ++x) {
            sum += padded[x + 2 * r] - padded[x - 1];
            boxed[x] = filter.boxScale * sum;
        }
    } else {
        for (int32_t x = 0; x < rows; ++x) {
            double sum = 0.0;
            for (int32_t t = 0; t <= 2 * r; ++t) {
                sum += padded[x + t];
            }
            boxed[x] = filter.boxScale * sum;
        }
    }
}

// The candidates among columns [first, end) of one frame, in column-major order. Columns are
// filtered one after another through the rings, from first - 1 to end, so that each column's
// neighbours are at hand when its candidates are picked.
template <class T>
bool scanColumns(const T* frame, int32_t rows, int32_t cols, int32_t frameIndex,
                 const SpotFilter& filter, double threshold, int32_t first, int32_t end,
                 const ColumnRings& rings, std::vector<Candidate>* found) {
    const int32_t r = filter.radius;
    const int64_t window = 2 * static_cast<int64_t>(r) + 1;
    auto ringRow = [&](double* ring, int64_t column, int64_t slots) {
        return ring + slotOf(column, slots) * rows;
    };
    auto along = [&](int64_t column) {
        filterAlongRows(frame, rows, cols, column, filter,
                        ringRow(rings.gaussAlong, column, window),
                        ringRow(rings.boxed, column, window), rings.padded);
    };
    for (int64_t column = int64_t{first} - 1 - r; column < int64_t{first} - 1 + r; ++column) {
        along(column);
    }
    for (int64_t y = int64_t{first} - 1; y <= end; ++y) {
        along(y + r);
        double* out = ringRow(rings.filtered, y, 3);
        if (y >= 0 && y < cols) {
            const double middle = filter.gauss[r] * filter.gaussScale;
            const double* gaussAlong = ringRow(rings.gaussAlong, y, window);
            const double* boxed = ringRow(rings.boxed, y, window);
            for (int32_t x = 0; x < rows; ++x) {
                out[x] = middle * gaussAlong[x] - boxed[x];
            }
            for (int64_t t = 1; t <= r; ++t) {
                const double g = filter.gauss[r + t] * filter.gaussScale;
                const double* gaussBefore = ringRow(rings.gaussAlong, y - t, window);
                const double* gaussAfter = ringRow(rings.gaussAlong, y + t, window);
                const double* boxedBefore = ringRow(rings.boxed, y - t, window);
                const double* boxedAfter = ringRow(rings.boxed, y + t, window);
                for (int32_t x = 0; x < rows; ++x) {
                    out[x] +=
                        g * (gaussBefore[x] + gaussAfter[x]) - (boxedBefore[x] + boxedAfter[x]);
                }
            }
        }
        const int64_t picked = y - 1;
        const Place place{static_cast<int32_t>(picked), frameIndex};
        if (picked >= first && picked < end &&
            !collectCandidates(ringRow(rings.filtered, picked - 1, 3),
                               ringRow(rings.filtered, picked, 3), ringRow(rings.filtered, y, 3),
                               rows, picked > 0, y < cols, place, threshold, found)) {
            return false;
        }
    }
    return true;
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
    if (pixels == 0) {
        return {};
    }
    const int64_t length = ringLength(stack.rows, filter.radius);
    const std::unique_ptr<double[]> memory(new double[static_cast<size_t>(length * threads)]);
    std::vector<std::vector<Candidate>> parts(static_cast<size_t>(threads));
    std::vector<Candidate> all;
    std::atomic<bool> intact{true};
    // Each thread fills a list of its own, handed over when it is done: lists side by side
    // would share cache lines as they grow.
    auto scan = [&](int part, int64_t frame, int64_t first, int64_t end,
                    std::vector<Candidate>* found) {
        const ColumnRings rings = ringsAt(memory.get() + length * part, stack.rows, filter.radius);
        if (!scanColumns(stack.pixels + frame * pixels, stack.rows, stack.cols,
                         static_cast<int32_t>(frame), filter, threshold,
                         static_cast<int32_t>(first), static_cast<int32_t>(end), rings, found)) {
            intact = false;
        }
    };
    if (stack.frames >= threads) {
        parallel::forSlices(threads, stack.frames, [&](int part, int64_t begin, int64_t end) {
            std::vector<Candidate> found;
            for (int64_t frame = begin; frame < end; ++frame) {
                scan(part, frame, 0, stack.cols, &found);
            }
            parts[part].swap(found);
        });
        for (const std::vector<Candidate>& found : parts) {  // in frame order
            all.insert(all.end(), found.begin(), found.end());
        }
    } else {
        // Fewer frames than threads: a frame's columns are shared out.
        for (int32_t frame = 0; frame < stack.frames; ++frame) {
            parallel::forSlices(threads, stack.cols, [&](int part, int64_t begin, int64_t end) {
                std::vector<Candidate> found;
                scan(part, frame, begin, end, &found);
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
