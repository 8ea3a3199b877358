// Numeric work of spotFit on plain arrays: the maximum-likelihood fit of a pixel-integrated
// Gaussian spot on a flat background to a box of Poisson counts, with each pixel's read
// variance when the camera has one. Nothing here touches the host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "depth.h"
#include "likelihood.h"
#include "maximise.h"

// The most parameters a fit has: x, y, photons, background, and the width when it is fitted,
// the depth when the widths follow one, or a width along each axis.
constexpr int kMaxFitParams = 6;

// What every box is fitted with: one width, fixed or fitted; a width along each axis, fixed or
// fitted; or the widths along x and y of a spot at a fitted depth.
struct SpotModel {
    int32_t g;      // the box is g x g pixels, g >= 3
    double sigma;   // the spot's standard deviation in pixels (along x when sigmaY is given);
                    // the start when fitted
    bool fitSigma;  // whether the width (the widths) are fitted
    const DepthCalibration* depth = nullptr;  // a usable one: the depth is the fifth parameter
    double sigmaY = 0.0;                      // the width along y; 0: sigma
    int params() const {
        if (depth != nullptr) {
            return 5;
        }
        return fitSigma ? (sigmaY > 0.0 ? 6 : 5) : 4;
    }
};

// One box's fit. With status kNotASpot or kNotFinite every figure is NaN; with kOutsideDepth
// the estimate, at an end of the calibrated range, is kept.
struct BoxFit {
    double params[kMaxFitParams];  // x, y (0-based, along the first and second dimension),
                                   // photons, background[, sigma or z (nm)], or with a
                                   // width along each axis sigma x and sigma y
    double crlb[kMaxFitParams];    // square roots of the inverse Fisher information's diagonal
    double logLikelihoodRatio;     // 2 sum(m - c + c ln(c / m)) at the estimate
    int status;
    int iterations;
};

// Doubles of work memory one fit needs for a box of side g.
size_t fitWorkLength(int32_t g);

// Fits the g x g box `box` (column-major: pixel (i, j) at i + g j) by maximum likelihood, with
// the read variance of its pixels (ReadVariance{} for none). `work` holds fitWorkLength(g)
// doubles. Computed in double precision whatever T is, so single and double boxes of the same
// values fit alike.
template <class T>
BoxFit fitBox(const T* box, const ReadVariance& variance, const SpotModel& model, double* work);

template <class T>
BoxFit fitBox(const T* box, const SpotModel& model, double* work) {
    return fitBox(box, ReadVariance{}, model, work);
}

// K boxes that follow one another, and their read variance: none, one value for all, or a
// value per pixel of every box, laid out as the boxes.
template <class T>
struct BoxSet {
    const T* boxes;
    int64_t count;
    ReadVariance variance;
};

// Where the fits of K boxes go: K x params() column-major parameters and bounds, K ratios and
// K statuses.
struct FitTargets {
    double* params;
    double* crlb;
    double* logLikelihoodRatio;
    double* status;
};

// fitBox for each box of the set on up to `threads` threads; the results do not depend on the
// thread count. Throws std::bad_alloc, before any fit, when the work memory cannot be had.
template <class T>
void fitBoxes(const BoxSet<T>& set, const SpotModel& model, const FitTargets& targets, int threads);
