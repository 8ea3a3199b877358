#include "find.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <new>

#include "parallel.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

int32_t clampIndex(int64_t index, int32_t length) {
    return static_cast<int32_t>(index < 0 ? 0 : (index >= length ? length - 1 : index));
}

// Buffers of one frame's filtering: the Gaussian and the window sum along the first dimension,
// the filtered frame, and one column with its border replicated.
struct FrameWork {
    double* gaussAlong;
    double* sumAlong;
    double* filtered;
    double* padded;
};

// Doubles of FrameWork for frames of rows x cols pixels and a filter of radius r.
int64_t frameWorkLength(int32_t rows, int32_t cols, int32_t r) {
    return 3 * static_cast<int64_t>(rows) * cols + rows + 2 * static_cast<int64_t>(r);
}

FrameWork frameWorkAt(double* base, int32_t rows, int32_t cols) {
    const int64_t pixels = static_cast<int64_t>(rows) * cols;
    return FrameWork{base, base + pixels, base + 2 * pixels, base + 3 * pixels};
}

// Along the first dimension, for columns [first, end): the Gaussian-weighted and the plain
// window sums, with rows outside the frame replicating the nearest. Each sum runs over the
// window in the same order whatever the columns given, so threads do not change it.
template <class T>
void filterAlongRows(const T* frame, int32_t rows, const SpotFilter& filter, int32_t first,
                     int32_t end, const FrameWork& work) {
    const int32_t r = filter.radius;
    double* padded = work.padded;
    for (int32_t y = first; y < end; ++y) {
        const T* column = frame + static_cast<int64_t>(y) * rows;
        for (int32_t k = 0; k < rows + 2 * r; ++k) {
            padded[k] = static_cast<double>(column[clampIndex(int64_t{k} - r, rows)]);
        }
        double* weighted = work.gaussAlong + static_cast<int64_t>(y) * rows;
        double* sum = work.sumAlong + static_cast<int64_t>(y) * rows;
        for (int32_t x = 0; x < rows; ++x) {
            weighted[x] = 0.0;
            sum[x] = 0.0;
        }
        for (int32_t t = 0; t <= 2 * r; ++t) {
            const double g = filter.gauss[t];
            const double* shifted = padded + t;
            for (int32_t x = 0; x < rows; ++x) {
                weighted[x] += g * shifted[x];
                sum[x] += shifted[x];
            }
        }
    }
}

// Along the second dimension, for columns [first, end): the filtered values.
void filterAlongColumns(int32_t rows, int32_t cols, const SpotFilter& filter, int32_t first,
                        int32_t end, const FrameWork& work) {
    const int32_t r = filter.radius;
    for (int32_t y = first; y < end; ++y) {
        double* out = work.filtered + static_cast<int64_t>(y) * rows;
        for (int32_t x = 0; x < rows; ++x) {
            out[x] = 0.0;
        }
        for (int32_t t = -r; t <= r; ++t) {
            const int64_t source = static_cast<int64_t>(clampIndex(int64_t{y} + t, cols)) * rows;
            const double g = filter.gauss[t + r] * filter.gaussScale;
            const double box = filter.boxScale;
            const double* gaussAlong = work.gaussAlong + source;
            const double* sumAlong = work.sumAlong + source;
            for (int32_t x = 0; x < rows; ++x) {
                out[x] += g * gaussAlong[x] - box * sumAlong[x];
            }
        }
    }
}

// The candidates of columns [first, end) of a filtered frame, in column-major order.
bool collectCandidates(const double* filtered, int32_t rows, int32_t cols, int32_t frame,
                       double threshold, int32_t first, int32_t end,
                       std::vector<Candidate>* found) {
    auto at = [&](int32_t x, int32_t y) { return filtered[x + static_cast<int64_t>(y) * rows]; };
    try {
        for (int32_t y = first; y < end; ++y) {
            for (int32_t x = 0; x < rows; ++x) {
                const double s = at(x, y);
                if (!(s >= threshold)) {
                    continue;
                }
                const bool left = x > 0;
                const bool right = x + 1 < rows;
                const bool up = y > 0;
                const bool down = y + 1 < cols;
                // Before it in column-major order it must beat; after it, at least equal.
                const bool peak =
                    (!left || s > at(x - 1, y)) && (!(left && up) || s > at(x - 1, y - 1)) &&
                    (!up || s > at(x, y - 1)) && (!(right && up) || s > at(x + 1, y - 1)) &&
                    (!right || s >= at(x + 1, y)) && (!(right && down) || s >= at(x + 1, y + 1)) &&
                    (!down || s >= at(x, y + 1)) && (!(left && down) || s >= at(x - 1, y + 1));
                if (peak) {
                    found->push_back(Candidate{x, y, frame, s});
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return false;  // a thread must not throw: the caller raises it
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
    const bool byFrames = stack.frames >= threads;
    // Frame by frame, each thread needs buffers of its own; column by column, only the padded
    // column is each thread's.
    const int64_t length = frameWorkLength(stack.rows, stack.cols, filter.radius);
    const int64_t padLength = stack.rows + 2 * static_cast<int64_t>(filter.radius);
    const int64_t total = byFrames ? length * threads : length + padLength * threads;
    const std::unique_ptr<double[]> memory(new double[static_cast<size_t>(total)]);
    auto workOf = [&](int part) {
        if (byFrames) {
            return frameWorkAt(memory.get() + length * part, stack.rows, stack.cols);
        }
        FrameWork work = frameWorkAt(memory.get(), stack.rows, stack.cols);
        work.padded = memory.get() + length + padLength * part;
        return work;
    };
    std::vector<std::vector<Candidate>> parts(static_cast<size_t>(threads));
    std::atomic<bool> intact{true};
    const T* pixelsOf = stack.pixels;
    if (byFrames) {
        parallel::forSlices(threads, stack.frames, [&](int part, int64_t begin, int64_t end) {
            const FrameWork work = workOf(part);
            for (int64_t f = begin; f < end; ++f) {
                const T* frame = pixelsOf + f * pixels;
                filterAlongRows(frame, stack.rows, filter, 0, stack.cols, work);
                filterAlongColumns(stack.rows, stack.cols, filter, 0, stack.cols, work);
                if (!collectCandidates(work.filtered, stack.rows, stack.cols,
                                       static_cast<int32_t>(f), threshold, 0, stack.cols,
                                       &parts[part])) {
                    intact = false;
                    return;
                }
            }
        });
    } else {
        // Fewer frames than threads: a frame's columns are shared out, a pass at a time.
        const FrameWork work = workOf(0);
        for (int32_t f = 0; f < stack.frames; ++f) {
            const T* frame = pixelsOf + f * pixels;
            parallel::forSlices(threads, stack.cols, [&](int part, int64_t begin, int64_t end) {
                filterAlongRows(frame, stack.rows, filter, static_cast<int32_t>(begin),
                                static_cast<int32_t>(end), workOf(part));
            });
            parallel::forSlices(threads, stack.cols, [&](int, int64_t begin, int64_t end) {
                filterAlongColumns(stack.rows, stack.cols, filter, static_cast<int32_t>(begin),
                                   static_cast<int32_t>(end), work);
            });
            parallel::forSlices(threads, stack.cols, [&](int part, int64_t begin, int64_t end) {
                if (!collectCandidates(work.filtered, stack.rows, stack.cols, f, threshold,
                                       static_cast<int32_t>(begin), static_cast<int32_t>(end),
                                       &parts[part])) {
                    intact = false;
                }
            });
            // Parts hold this frame's candidates in column order: moved to part 0 in turn.
            for (int part = 1; part < threads; ++part) {
                parts[0].insert(parts[0].end(), parts[part].begin(), parts[part].end());
                parts[part].clear();
            }
        }
    }
    if (!intact) {
        throw std::bad_alloc();
    }
    std::vector<Candidate> all = std::move(parts[0]);
    for (int part = 1; part < threads; ++part) {
        all.insert(all.end(), parts[part].begin(), parts[part].end());
    }
    return all;
}

template std::vector<Candidate> findSpots<uint16_t>(const Stack<uint16_t>&, const SpotFilter&,
                                                    double, int);
template std::vector<Candidate> findSpots<float>(const Stack<float>&, const SpotFilter&, double,
                                                 int);
template std::vector<Candidate> findSpots<double>(const Stack<double>&, const SpotFilter&, double,
                                                  int);
