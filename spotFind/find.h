// Numeric work of spotFind on plain arrays: the spot filter and the local maxima of its
// response. Nothing here touches the host.
#pragma once

#include <cstdint>
#include <vector>

// The filter w = (h - m) / q over a (2r+1)-by-(2r+1) window, h a normalised Gaussian of
// standard deviation sigma, m its mean over the window and q the sum of (h - m)^2: it sums to
// zero, so a flat offset cancels, and reads about N at a spot of N photons. As h is separable,
// w * I = gaussScale (G x G) * I - boxScale (window sum of I).
struct SpotFilter {
    int32_t radius;             // r = ceil(3 sigma)
    std::vector<double> gauss;  // G(t) = exp(-t^2 / (2 sigma^2)), t = -r ... r
    double gaussScale;          // 1 / (2 pi sigma^2 q)
    double boxScale;            // m / q
};

SpotFilter makeSpotFilter(double sigma);

// How a camera's counts become photons: (count - offset) / gain at each pixel, offset and gain
// each one value for every pixel or a map of a frame's size (rows x cols, column-major).
// Without them, the counts are taken as they are.
struct CameraMaps {
    const double* offset = nullptr;  // null: 0
    const double* gain = nullptr;    // null: 1
    bool offsetMap = false;          // a value per pixel, else one for all
    bool gainMap = false;
    bool converts() const { return offset != nullptr || gain != nullptr; }
};

// A stack of frames, rows x cols x frames, column-major, and the camera it was recorded with.
template <class T>
struct Stack {
    const T* pixels;
    int32_t rows;
    int32_t cols;
    int32_t frames;
    CameraMaps camera = {};
};

// One candidate: 0-based row, column and frame, and the filtered value there.
struct Candidate {
    int32_t x;
    int32_t y;
    int32_t frame;
    double strength;
};

// The candidates of every frame, ordered by frame, then column, then row: pixels whose
// filtered value of the frame in photons (outside pixels replicate the nearest border pixel),
// computed in double precision whatever T is, reaches `threshold`, is
// above the four neighbours before it in column-major order and at least the four after it.
// A NaN or infinite pixel makes the filtered value NaN wherever the window covers it, and no
// NaN, nor a pixel beside one, is a candidate. Runs on `threads` threads: frames are shared
// out, or a frame's columns when there are fewer frames than threads; the result does not
// depend on the thread count. Throws std::bad_alloc when memory cannot be had.
// Whether findSpots may use the kernels for CPUs with AVX2 where the CPU has them (it may by
// default; both give the same bits). False when they were allowed and this CPU cannot run
// them. For tests and benchmarks.
bool allowWideKernels(bool allowed);

template <class T>
std::vector<Candidate> findSpots(const Stack<T>& stack, const SpotFilter& filter, double threshold,
                                 int threads);
