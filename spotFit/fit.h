// Numeric work of spotFit on plain arrays: the maximum-likelihood fit of a pixel-integrated
// Gaussian spot on a flat background to a box of Poisson counts. Nothing here touches the host.
#pragma once

#include <cstddef>
#include <cstdint>

// The most parameters a fit has: x, y, photons, background, and the width when it is fitted.
constexpr int kMaxFitParams = 5;
// Iterations a fit may take before it is reported as still moving.
constexpr int kMaxFitIterations = 50;

// What every box is fitted with.
struct SpotModel {
    int32_t g;      // the box is g x g pixels, g >= 3
    double sigma;   // the spot's standard deviation in pixels; the start when fitted
    bool fitSigma;  // whether the width is a fifth parameter
    int params() const { return fitSigma ? 5 : 4; }
};

enum FitStatus : int {
    kConverged = 0,
    kStillMoving = 1,  // the estimate is kept
    kNotASpot = 2,     // no photons, left the box, photons gone to 0, or a singular information
    kNotFinite = 3,    // the box holds a NaN or infinite value
};

// One box's fit. With status kNotASpot or kNotFinite every figure is NaN.
struct BoxFit {
    double params[kMaxFitParams];  // x, y (0-based, along the first and second dimension),
                                   // photons, background[, sigma]
    double crlb[kMaxFitParams];    // square roots of the inverse Fisher information's diagonal
    double logLikelihoodRatio;     // 2 sum(mu - d + d ln(d / mu)) at the estimate
    int status;
    int iterations;
};

// Doubles of work memory one fit needs for a box of side g.
size_t fitWorkLength(int32_t g);

// Fits the g x g box `box` (column-major: pixel (i, j) at i + g j) by maximum likelihood,
// counting values below 0 as 0. `work` holds fitWorkLength(g) doubles. Computed in double
// precision whatever T is, so single and double boxes of the same values fit alike.
template <class T>
BoxFit fitBox(const T* box, const SpotModel& model, double* work);

// Where the fits of K boxes go: K x params() column-major parameters and bounds, K ratios and
// K statuses.
struct FitTargets {
    double* params;
    double* crlb;
    double* logLikelihoodRatio;
    double* status;
};

// fitBox for each of the `count` boxes that follow one another in `boxes`, on `threads`
// threads; the results do not depend on the thread count. Throws std::bad_alloc, before any
// fit, when the work memory cannot be had.
template <class T>
void fitBoxes(const T* boxes, int64_t count, const SpotModel& model, const FitTargets& targets,
              int threads);
