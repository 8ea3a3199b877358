// Numeric work of crowdFit on plain arrays: the joint maximum-likelihood fit of overlapping
// spots in one region (a pixel-integrated Gaussian of a fixed width each, on a shared flat
// background, with each pixel's read variance), an emitter added where the region holds more
// light than its emitters explain. Nothing here touches the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "depth.h"
#include "likelihood.h"

// The most emitters a region's fit holds.
constexpr int kMaxEmitters = 5;
// Parameters of the fullest model: the background, and x, y, photons and (with a depth
// calibration) z of each emitter.
constexpr int kMaxJointParams = 1 + 4 * kMaxEmitters;
// How far past its region's edge an emitter's centre may go, in pixels: the edge pixels hold
// light of spots centred beyond them, which a fit must explain to place those inside.
constexpr double kBeyondEdge = 2.0;

// An emitter is tried only where the region's log-likelihood ratio exceeds its degrees of
// freedom by this many standard deviations of the chi-squared distribution ...
constexpr double kExcessLight = 2.0;
// ... and kept when twice the gain in log-likelihood exceeds this: the likelihood-ratio test
// of its three parameters at a significance of 0.001 (chi-squared of 3 degrees of freedom; of
// 4 with its depth) ...
constexpr double kAdditionGain = 16.266;
constexpr double kAdditionGainWithDepth = 18.467;
// ... plus this over the region's level in photons a pixel (background and read variance),
// taken as at least kLowestLevel. Where a pixel holds a photon or two, the chi-squared law
// understates the gain's tail (single spots of 300 photons on 2 gained an emitter 13 times in
// 10,000 without it); with it, 3 to 8 in 10,000 do, from 1 to 20 photons a pixel.
constexpr double kLowCountGain = 2.5;
constexpr double kLowestLevel = 0.5;

// What every region is fitted with.
struct RegionModel {
    int32_t g;                                // the region is g x g pixels
    double sigma;                             // the spots' standard deviation in pixels
    int maxEmitters;                          // at most kMaxEmitters
    const DepthCalibration* depth = nullptr;  // a usable one: each emitter's depth is fitted
    double startDepth = 0.0;                  // where each emitter's depth starts
};

// One emitter of a region's fit; NaN where its status is kNotASpot or kNotFinite.
struct EmitterFit {
    double x;  // 0-based in the region's pixels, within kBeyondEdge of it
    double y;
    double photons;
    double z;        // nm, with a depth calibration; NaN without
    double crlb[4];  // on x, y, photons and z
    int status;
};

struct RegionFit {
    int emitters;  // the starts, then those added
    EmitterFit emitter[kMaxEmitters];
    double background;
    double backgroundCrlb;
    double logLikelihoodRatio;  // of the region's final model; NaN when it failed
    int status;                 // of the region's fit
};

// Doubles of work memory one region's fit needs, for regions of side g.
size_t regionWorkLength(int32_t g);

// Fits the g x g region `region` from emitters at `starts` (x, y pairs, 0-based within the
// region; at most model.maxEmitters), with the read variance of its pixels. `work` holds
// regionWorkLength(g) doubles. Emitters that vanish (photons below the least) or go more than
// kBeyondEdge past the region are dropped, with status kNotASpot; where two collapse onto one
// spot, the dimmer is.
// Then, while the region's log-likelihood ratio exceeds its degrees of freedom by
// kExcessLight standard deviations and it holds fewer than model.maxEmitters (those dropped
// among them), an emitter is tried at the largest residual (smoothed by the spot's shares) and
// kept when twice the gain in log-likelihood exceeds kAdditionGain + kLowCountGain / level.
template <class T>
RegionFit fitRegion(const T* region, const ReadVariance& variance, const RegionModel& model,
                    const double* starts, int startCount, double* work);

// K regions that follow one another, their read variance (none, one value, or a value per
// pixel of every region), and the starts of each: starts[first[k] ... first[k + 1]) are those
// of region k, each an x, y pair.
template <class T>
struct RegionSet {
    const T* regions;
    int64_t count;
    ReadVariance variance;
    const double* starts;
    const int64_t* first;
};

// fitRegion for every region of the set on up to `threads` threads; the results do not depend
// on the thread count. Throws std::bad_alloc, before any fit, when the work memory cannot be
// had.
template <class T>
std::vector<RegionFit> fitRegions(const RegionSet<T>& set, const RegionModel& model, int threads);
