// The iteration every fit runs, apart from what it fits: Fisher scoring from the start, Newton
// steps on the observed information once the estimate is near (where that is positive
// definite), each step kept sane, and a parameter that reaches its least value held there for
// as long as the likelihood would rise only beyond it. Host-free.
#pragma once

#include <algorithm>
#include <cmath>

#include "definite.h"

// What a parameter is, which decides how far one step may move it.
enum class Role : unsigned char {
    kPosition,    // moves at most kLongestShift a step
    kPhotons,     // falls at most to kLeastShrink of itself a step
    kBackground,  // the same, and never below the model's least background
    kWidth,       // between kLeastShrink of itself and twice itself a step
    kDepth,       // within the model's span, moving at most the span's longest step a step
};

// The values a parameter may take, where its role bounds them: a background's least (high is
// infinite), or a depth's calibrated range and its longest step.
struct Span {
    double low;
    double high;
    double longestStep;
};

// A depth step below this (nm) counts as no move.
constexpr double kDepthTolerance = 1e-2;

constexpr double kLongestShift = 1.0;
constexpr double kLeastShrink = 0.1;
// A step that moves every position by less than this, and every other parameter by less than
// this share of its value, means the fit has converged.
constexpr double kTolerance = 1e-4;
// Iterations a fit may take before it is reported as still moving.
constexpr int kMaxFitIterations = 50;
// Once a Newton step moves every position by less than this, the next pass sums the Fisher
// information too: it is likely the last, and the bounds need it.
constexpr double kSettling = 1e-3;

enum FitStatus : int {
    kConverged = 0,
    kStillMoving = 1,   // the estimate is kept
    kNotASpot = 2,      // no counts, left the box, photons gone to 0, or a singular information
    kNotFinite = 3,     // the box holds a NaN or infinite value
    kOutsideDepth = 4,  // the depth ended held at an end of its calibrated range
};

// The log-likelihood's gradient at an estimate, with the Fisher (expected) information, the
// observed information (the negative Hessian), or both.
template <int M>
struct Slope {
    double gradient[M];
    double information[M][M];
    double observed[M][M];
    bool hasInformation;
    bool hasObserved;
};

// Mirrors the informations summed on and above the diagonal of the first `params` rows into
// the lower triangles, and says which were summed.
template <int M>
void completeSlope(Slope<M>* slope, int params, bool information, bool observed) {
    for (int p = 0; p < params; ++p) {
        for (int q = p + 1; q < params; ++q) {
            slope->information[q][p] = slope->information[p][q];
            slope->observed[q][p] = slope->observed[p][q];
        }
    }
    slope->hasInformation = information;
    slope->hasObserved = observed;
}

// Which information a pass over the box sums.
struct Wanted {
    bool information;
    bool observed;
};

struct Outcome {
    int status;
    int iterations;
};

// How a step went: small when it moves nothing by more than the tolerance; limited when a
// limit of a parameter's role cut it short; reachedLeast when it stopped a free parameter at
// its least value (the next step decides whether it stays there).
struct Taken {
    bool small;
    bool limited;
    bool reachedLeast;
};

// theta + step, kept sane, into next. A Newton step takes the background down to its least
// value at once: there the likelihood is concave in it with a convex derivative, so Newton's
// step does not overshoot a maximum above that value by more than once.
template <class Model>
Taken take(const Model& model, const double* theta, const double* step, const bool* held,
           bool newton, double* next) {
    Taken taken{true, false, false};
    for (int k = 0; k < model.params(); ++k) {
        const double now = theta[k];
        const double wanted = now + step[k];
        switch (model.role(k)) {
            case Role::kPosition:
                next[k] = now + std::fmax(-kLongestShift, std::fmin(kLongestShift, step[k]));
                taken.small = taken.small && std::fabs(next[k] - now) < kTolerance;
                taken.limited = taken.limited || next[k] != wanted;
                continue;
            case Role::kPhotons:
                next[k] = std::fmax(wanted, kLeastShrink * now);
                break;
            case Role::kBackground: {
                const double least = model.span(k).low;
                next[k] = std::fmax(wanted, newton ? least : std::fmax(kLeastShrink * now, least));
                taken.reachedLeast = taken.reachedLeast || (!held[k] && wanted < least);
                taken.small = taken.small && std::fabs(next[k] - now) < kTolerance * next[k];
                taken.limited =
                    taken.limited || (next[k] != wanted && !(newton && next[k] == least));
                continue;
            }
            case Role::kDepth: {
                const Span span = model.span(k);
                const double shift =
                    std::fmax(-span.longestStep, std::fmin(span.longestStep, step[k]));
                next[k] = std::fmax(span.low, std::fmin(span.high, now + shift));
                taken.reachedLeast =
                    taken.reachedLeast || (!held[k] && (wanted < span.low || wanted > span.high));
                taken.small = taken.small && std::fabs(next[k] - now) < kDepthTolerance;
                taken.limited = taken.limited || next[k] != wanted;
                continue;
            }
            case Role::kWidth:
                next[k] = std::fmin(std::fmax(wanted, kLeastShrink * now), 2.0 * now);
                break;
        }
        taken.small = taken.small && std::fabs(next[k] - now) < kTolerance * next[k];
        taken.limited = taken.limited || next[k] != wanted;
    }
    return taken;
}

// The step over the parameters not held, on the observed information when `newton` and that
// is positive definite there, else on the Fisher information; false when neither is usable.
template <int M>
bool stepFrom(const Slope<M>& slope, bool newton, const bool* held, int params, double* step) {
    int free[M];
    int freeCount = 0;
    for (int k = 0; k < params; ++k) {
        if (!held[k]) {
            free[freeCount++] = k;
        }
    }
    Factor<M> factor;
    if (!(newton && slope.hasObserved && factorOn(slope.observed, free, freeCount, &factor)) &&
        !(slope.hasInformation && factorOn(slope.information, free, freeCount, &factor))) {
        return false;
    }
    stepWith(factor, slope.gradient, params, step);
    return true;
}

// Which end of its span parameter k stands at: -1 at the low end, 1 at the high, 0 at neither
// (or when its role has no span).
template <class Model>
int endOfSpan(const Model& model, int k, double value) {
    const Role role = model.role(k);
    if (role != Role::kBackground && role != Role::kDepth) {
        return 0;
    }
    const Span span = model.span(k);
    return value <= span.low ? -1 : (value >= span.high ? 1 : 0);
}

// Maximises the likelihood of `model` from theta (changed in place). The model tells:
//   int params() const; Role role(int k) const;
//   Span span(int k) const;              the background's and the depth's values
//   int fisherSteps() const;             steps of Fisher scoring before Newton's are tried
//   bool acceptable(const double* theta) const;   still a spot: inside its box, photons left
//   Slope<M> slope(const double* theta, Wanted wanted);
// Converged means no parameter can move to raise the likelihood: the step over the free
// parameters is below the tolerance, and every parameter held at an end of its span would raise
// it only by going beyond. The estimate is then the one the last slope was taken at, and
// *last holds the slope there with its Fisher information.
template <int M, class Model>
Outcome maximise(Model& model, double* theta, Slope<M>* last) {
    const int params = model.params();
    Slope<M>& slope = *last;
    slope = model.slope(theta, Wanted{true, false});
    int iterations = 0;
    bool newton = false;
    while (true) {
        // Held at an end of its span: a parameter there whose gradient, or whose step with it
        // free, points beyond it. The likelihood's maximum over the others comes first; then
        // its gradient tells whether it should move back in.
        bool held[M] = {};
        int end[M];
        for (int k = 0; k < params; ++k) {
            end[k] = endOfSpan(model, k, theta[k]);
            held[k] = end[k] != 0 && end[k] * slope.gradient[k] >= 0.0;
        }
        double step[M];
        double next[M];
        Taken taken{};
        for (bool settled = false; !settled;) {
            if (!stepFrom(slope, newton, held, params, step)) {
                if (slope.hasInformation) {
                    return Outcome{kNotASpot, iterations};
                }
                slope = model.slope(theta, Wanted{true, false});
                continue;
            }
            settled = true;
            for (int k = 0; k < params; ++k) {
                if (!held[k] && end[k] * step[k] > 0.0) {
                    held[k] = true;
                    settled = false;
                }
            }
            if (settled) {
                taken = take(model, theta, step, held, newton, next);
                if (newton && taken.limited) {
                    // A Newton step that must be cut short was taken far from the maximum,
                    // where the observed information says little: Fisher scoring's instead.
                    newton = false;
                    if (!slope.hasInformation) {
                        slope = model.slope(theta, Wanted{true, false});
                    }
                    settled = false;
                }
            }
        }
        bool heldRightly = true;  // every held parameter would raise it only beyond its end
        for (int k = 0; k < params; ++k) {
            heldRightly = heldRightly && !(held[k] && end[k] * slope.gradient[k] < 0.0);
        }
        if (taken.small && !taken.reachedLeast && heldRightly) {
            break;
        }
        if (iterations == kMaxFitIterations) {
            if (!slope.hasInformation) {
                slope = model.slope(theta, Wanted{true, false});
            }
            return Outcome{kStillMoving, iterations};
        }
        ++iterations;
        bool settling = true;
        bool finite = true;
        for (int k = 0; k < params; ++k) {
            if (model.role(k) == Role::kPosition) {
                settling = settling && std::fabs(next[k] - theta[k]) < kSettling;
            }
            finite = finite && std::isfinite(next[k]);
        }
        std::copy(next, next + params, theta);
        if (!finite || !model.acceptable(theta)) {
            return Outcome{kNotASpot, iterations};
        }
        newton = iterations >= model.fisherSteps();
        slope = model.slope(theta, Wanted{!newton || settling, newton});
    }
    if (!slope.hasInformation) {
        slope = model.slope(theta, Wanted{true, false});
    }
    return Outcome{kConverged, iterations};
}
