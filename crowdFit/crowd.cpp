#include "crowd.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "definite.h"
#include "each_fit.h"
#include "maximise.h"
#include "psf.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Where each emitter's parameters lie in theta: the background first, then x, y, photons (and
// z, with a depth calibration) of each emitter.
template <bool Depth>
struct Layout {
    static constexpr int kPer = Depth ? 4 : 3;
    static constexpr int M = 1 + kPer * kMaxEmitters;
    static constexpr int x(int e) { return 1 + kPer * e; }
};

// Spots on a shared flat background in a region, of one fixed width or each at a depth that
// sets its widths: the model the driver maximises.
template <bool Depth>
class JointSpots {
public:
    using L = Layout<Depth>;
    static constexpr int M = L::M;

    JointSpots(const BoxData& data, const RegionModel& model, int emitters, double* axes)
        : data_(data), model_(model), g_(data.g), k_(emitters) {
        const size_t stride = kAxisArrays * (static_cast<size_t>(data.g) + 1);
        for (int e = 0; e < emitters; ++e) {
            ax_[e] = axisIn(axes + 2 * e * stride, data.g);
            ay_[e] = axisIn(axes + (2 * e + 1) * stride, data.g);
            widthX_[e] = widthY_[e] = WidthAtDepth{model.sigma, 0.0, 0.0};
        }
    }

    int params() const { return 1 + L::kPer * k_; }
    Role role(int p) const {
        static constexpr Role kRoles[4] = {Role::kPosition, Role::kPosition, Role::kPhotons,
                                           Role::kDepth};
        return p == 0 ? Role::kBackground : kRoles[(p - 1) % L::kPer];
    }
    Span span(int p) const {
        if (p > 0) {
            const DepthCalibration& depth = *model_.depth;
            return Span{depth.zRange[0], depth.zRange[1], longestDepthStep(depth)};
        }
        return Span{kLeastBackground, kInfinity, 0.0};
    }
    int fisherSteps() const { return Depth ? 6 : 4; }
    bool acceptable(const double* theta) const { return firstGone(theta) < 0; }

    // The first emitter that went more than kBeyondEdge past the region's edge or whose
    // photons went to 0; -1 for none.
    int firstGone(const double* theta) const {
        const double low = -0.5 - kBeyondEdge;
        const double high = g_ - 0.5 + kBeyondEdge;
        for (int e = 0; e < k_; ++e) {
            const double x = theta[L::x(e)];
            const double y = theta[L::x(e) + 1];
            if (!(x >= low && x <= high && y >= low && y <= high &&
                  theta[L::x(e) + 2] >= kLeastPhotons)) {
                return e;
            }
        }
        return -1;
    }

    Slope<M> slope(const double* theta, Wanted wanted) {
        integrate(theta, wanted.observed);
        static_assert(kMaxEmitters == 5, "a case for each emitter count");
        switch (k_) {
            case 1:
                return sumsFor<1>(theta, wanted);
            case 2:
                return sumsFor<2>(theta, wanted);
            case 3:
                return sumsFor<3>(theta, wanted);
            case 4:
                return sumsFor<4>(theta, wanted);
            default:
                return sumsFor<5>(theta, wanted);
        }
    }

    // The expected counts m = mu + r of every pixel at theta, into `out`, and half the
    // log-likelihood ratio there.
    double expected(const double* theta, double* out) {
        integrate(theta, false);
        double sum = 0.0;
        for (int32_t j = 0; j < g_; ++j) {
            for (int32_t i = 0; i < g_; ++i) {
                const int64_t pixel = i + static_cast<int64_t>(j) * g_;
                double m = theta[0] + (data_.variance != nullptr ? data_.variance[pixel] : 0.0);
                for (int e = 0; e < k_; ++e) {
                    m += theta[L::x(e) + 2] * ax_[e].share[i] * ay_[e].share[j];
                }
                out[pixel] = m;
                sum += ratioTerm(data_.counts[pixel], m);
            }
        }
        return sum;
    }

private:
    // Each emitter's axes at theta; with its depth, their derivatives by it (the second ones
    // too when `curvature`).
    void integrate(const double* theta, bool curvature) {
        for (int e = 0; e < k_; ++e) {
            if (Depth) {
                widthX_[e] = widthAt(*model_.depth, 0, theta[L::x(e) + 3]);
                widthY_[e] = widthAt(*model_.depth, 1, theta[L::x(e) + 3]);
            }
            const bool widthCurvature = Depth && curvature;
            integrateAxis(theta[L::x(e)], widthX_[e].sigma, g_, widthCurvature, ax_[e]);
            integrateAxis(theta[L::x(e) + 1], widthY_[e].sigma, g_, widthCurvature, ay_[e]);
            if (Depth) {
                alongDepth(widthX_[e], g_, curvature, ax_[e]);
                alongDepth(widthY_[e], g_, curvature, ay_[e]);
            }
        }
    }

    // The sums for K emitters, whose parameter count the compiler then knows.
    template <int K>
    Slope<M> sumsFor(const double* theta, Wanted wanted) {
        if (data_.variance != nullptr) {
            return wanted.observed ? (wanted.information ? sums<K, true, true, true>(theta)
                                                         : sums<K, true, false, true>(theta))
                                   : sums<K, true, true, false>(theta);
        }
        return wanted.observed ? (wanted.information ? sums<K, false, true, true>(theta)
                                                     : sums<K, false, false, true>(theta))
                               : sums<K, false, true, false>(theta);
    }

    // The Jacobian J of every pixel, built emitter by emitter: dmu/db = 1; for emitter e,
    // N dEx Ey, N Ex dEy, Ex Ey (and N (dEx/dz Ey + Ex dEy/dz)). The observed information
    // takes away the residual times each emitter's second derivatives (d2Ex/dx2 = dEx/dsigma
    // / sigma).
    template <int K, bool Variance, bool Expected, bool Observed>
    Slope<M> sums(const double* theta) {
        constexpr int params = 1 + L::kPer * K;
        Slope<M> slope{};
        double jacobian[M];
        jacobian[0] = 1.0;
        for (int32_t j = 0; j < g_; ++j) {
            for (int32_t i = 0; i < g_; ++i) {
                const int64_t pixel = i + static_cast<int64_t>(j) * g_;
                double m = Variance ? theta[0] + data_.variance[pixel] : theta[0];
                for (int e = 0; e < K; ++e) {
                    const int x = L::x(e);
                    const double n = theta[x + 2];
                    const double ex = ax_[e].share[i];
                    const double ey = ay_[e].share[j];
                    m += n * ex * ey;
                    jacobian[x] = n * ax_[e].byCentre[i] * ey;
                    jacobian[x + 1] = n * ex * ay_[e].byCentre[j];
                    jacobian[x + 2] = ex * ey;
                    if (Depth) {
                        jacobian[x + 3] = n * (ax_[e].byDepth[i] * ey + ex * ay_[e].byDepth[j]);
                    }
                }
                const double counts = data_.counts[pixel];
                const double weight = 1.0 / m;
                const double residual =
                    Variance ? residualOf(counts, weight) : counts * weight - 1.0;
                for (int p = 0; p < params; ++p) {
                    slope.gradient[p] += residual * jacobian[p];
                }
                if (Expected) {
                    for (int p = 0; p < params; ++p) {
                        const double wp = weight * jacobian[p];
                        for (int q = p; q < params; ++q) {
                            slope.information[p][q] += wp * jacobian[q];
                        }
                    }
                }
                if (Observed) {
                    const double curve = counts * weight * weight;
                    for (int p = 0; p < params; ++p) {
                        const double cp = curve * jacobian[p];
                        for (int q = p; q < params; ++q) {
                            slope.observed[p][q] += cp * jacobian[q];
                        }
                    }
                    for (int e = 0; e < K; ++e) {
                        const int x = L::x(e);
                        const double n = theta[x + 2];
                        const AxisModel& ax = ax_[e];
                        const AxisModel& ay = ay_[e];
                        auto& o = slope.observed;
                        o[x][x] -= residual * n * ax.byWidth[i] / widthX_[e].sigma * ay.share[j];
                        o[x][x + 1] -= residual * n * ax.byCentre[i] * ay.byCentre[j];
                        o[x][x + 2] -= residual * ax.byCentre[i] * ay.share[j];
                        o[x + 1][x + 1] -=
                            residual * n * ax.share[i] * ay.byWidth[j] / widthY_[e].sigma;
                        o[x + 1][x + 2] -= residual * ax.share[i] * ay.byCentre[j];
                        if (Depth) {
                            const double xd = ax.byDepth[i];
                            const double yd = ay.byDepth[j];
                            o[x][x + 3] -=
                                residual * n *
                                (ax.byCentreDepth[i] * ay.share[j] + ax.byCentre[i] * yd);
                            o[x + 1][x + 3] -=
                                residual * n *
                                (xd * ay.byCentre[j] + ax.share[i] * ay.byCentreDepth[j]);
                            o[x + 2][x + 3] -= residual * (xd * ay.share[j] + ax.share[i] * yd);
                            o[x + 3][x + 3] -= residual * n *
                                               (ax.byDepthDepth[i] * ay.share[j] + 2.0 * xd * yd +
                                                ax.share[i] * ay.byDepthDepth[j]);
                        }
                    }
                }
            }
        }
        completeSlope(&slope, params, Expected, Observed);
        return slope;
    }

    const BoxData& data_;
    const RegionModel& model_;
    int32_t g_;
    int k_;
    AxisModel ax_[kMaxEmitters];
    AxisModel ay_[kMaxEmitters];
    WidthAtDepth widthX_[kMaxEmitters];
    WidthAtDepth widthY_[kMaxEmitters];
};

// Share of a spot centred on a pixel that falls on it (0) and on each neighbour along an axis (1).
struct CentreShares {
    double middle;
    double beside;
};

CentreShares centreShares(double sigma) {
    const double inner = std::erf(0.5 / (std::sqrt(2.0) * sigma));
    const double outer = std::erf(1.5 / (std::sqrt(2.0) * sigma));
    return CentreShares{inner, 0.5 * (outer - inner)};
}

// A model of k emitters fitted: which slots of the region's fit they fill, the estimate (in the
// region's unit), the squared bounds, and how the fit ended.
template <bool Depth>
struct Solution {
    using L = Layout<Depth>;
    int k;
    int slots[kMaxEmitters];
    double theta[L::M];
    double variances[L::M];
    int status;
    double ratio;  // the log-likelihood ratio in the region's own counts
};

// Removes emitter e from a solution's model; its slot stays without a fit.
template <bool Depth>
void drop(Solution<Depth>* s, int e) {
    using L = Layout<Depth>;
    for (int f = e; f + 1 < s->k; ++f) {
        s->slots[f] = s->slots[f + 1];
        for (int c = 0; c < L::kPer; ++c) {
            s->theta[L::x(f) + c] = s->theta[L::x(f + 1) + c];
        }
    }
    --s->k;
}

template <bool Depth>
int dimmest(const Solution<Depth>& s) {
    using L = Layout<Depth>;
    int e = 0;
    for (int f = 1; f < s.k; ++f) {
        e = s.theta[L::x(f) + 2] < s.theta[L::x(e) + 2] ? f : e;
    }
    return e;
}

// Fits the model of a solution, dropping an emitter that vanishes or leaves the region, and
// the dimmer of two that the information cannot tell apart, until the fit holds; false when no
// emitter is left or the background alone fails.
template <bool Depth>
bool solve(const BoxData& data, const RegionModel& model, double* axes, Solution<Depth>* s) {
    constexpr int M = Layout<Depth>::M;
    while (s->k > 0) {
        JointSpots<Depth> spots(data, model, s->k, axes);
        double theta[M];
        std::copy(s->theta, s->theta + spots.params(), theta);
        Slope<M> slope;
        const Outcome outcome = maximise(spots, theta, &slope);
        if (outcome.status == kNotASpot) {
            const int gone = spots.firstGone(theta);
            if (gone < 0 && s->k == 1) {
                return false;
            }
            std::copy(theta, theta + spots.params(), s->theta);
            drop(s, gone >= 0 ? gone : dimmest(*s));
            continue;
        }
        int all[M];
        for (int p = 0; p < spots.params(); ++p) {
            all[p] = p;
        }
        Factor<M> factor;
        if (!factorOn(slope.information, all, spots.params(), &factor) ||
            !inverseDiagonal(slope.information, factor, s->variances)) {
            if (s->k == 1) {
                return false;
            }
            std::copy(theta, theta + spots.params(), s->theta);
            drop(s, dimmest(*s));
            continue;
        }
        std::copy(theta, theta + spots.params(), s->theta);
        s->status = outcome.status;
        return true;
    }
    return false;
}

// The start of a new emitter: the pixel where the residual, smoothed by a centred spot's
// shares, is largest, and the photons that explain it; false when no residual is above 0.
bool newEmitterAt(const BoxData& data, const double* expected, const RegionModel& model, double* x,
                  double* y, double* photons) {
    const int32_t g = data.g;
    const CentreShares shares = centreShares(model.sigma);
    const double weight[3] = {shares.beside, shares.middle, shares.beside};
    double best = 0.0;
    bool found = false;
    for (int32_t j = 0; j < g; ++j) {
        for (int32_t i = 0; i < g; ++i) {
            double sum = 0.0;
            for (int dj = -1; dj <= 1; ++dj) {
                for (int di = -1; di <= 1; ++di) {
                    const int32_t a = i + di;
                    const int32_t b = j + dj;
                    if (a >= 0 && a < g && b >= 0 && b < g) {
                        const int64_t pixel = a + static_cast<int64_t>(b) * g;
                        if (!isAbsent(data, pixel)) {
                            sum += weight[di + 1] * weight[dj + 1] *
                                   (data.counts[pixel] - expected[pixel]);
                        }
                    }
                }
            }
            if (sum > best) {
                best = sum;
                *x = i;
                *y = j;
                found = true;
            }
        }
    }
    const double squares = 2.0 * shares.beside * shares.beside + shares.middle * shares.middle;
    *photons = best / (squares * squares);
    return found && *photons >= kLeastPhotons;
}

// The region's start: the background from its rim, each emitter's photons from what lies
// above it in the 3 x 3 pixels about its start, its depth where the widths are equal.
template <bool Depth>
void startFrom(const BoxData& data, const RegionModel& model, const double* starts, int count,
               Solution<Depth>* s) {
    using L = Layout<Depth>;
    const int32_t g = data.g;
    auto photons = [&](int32_t i, int32_t j) { return photonsAt(data, i, j); };
    const double background = rimMean(data);
    s->theta[0] = background > kLeastBackground ? background : kLeastBackground;
    const CentreShares shares = centreShares(model.sigma);
    const double inside = std::pow(shares.middle + 2.0 * shares.beside, 2);
    s->k = 0;
    for (int e = 0; e < count; ++e) {
        const double x = starts[2 * e];
        const double y = starts[2 * e + 1];
        const auto px = static_cast<int32_t>(std::fmin(std::fmax(std::round(x), 0.0), g - 1.0));
        const auto py = static_cast<int32_t>(std::fmin(std::fmax(std::round(y), 0.0), g - 1.0));
        double above = 0.0;
        for (int32_t j = std::max(py - 1, 0); j <= std::min(py + 1, g - 1); ++j) {
            for (int32_t i = std::max(px - 1, 0); i <= std::min(px + 1, g - 1); ++i) {
                above += photons(i, j) - background;
            }
        }
        s->slots[s->k] = e;
        double* emitter = s->theta + L::x(s->k);
        emitter[0] = x;
        emitter[1] = y;
        emitter[2] = std::fmax(above / inside, 10.0 * kLeastPhotons);
        if (Depth) {
            emitter[3] = model.startDepth;
        }
        ++s->k;
    }
}

// The log-likelihood ratio of a solution in the region's own counts, and each pixel's
// expected counts into `expected`.
template <bool Depth>
double ratioOf(const BoxData& data, const RegionModel& model, double* axes,
               const Solution<Depth>& s, double* expected) {
    JointSpots<Depth> spots(data, model, s.k, axes);
    return std::ldexp(2.0 * spots.expected(s.theta, expected), data.unitExponent);
}

// Twice the gain in log-likelihood an added emitter must bring, in a region of this background
// (in its unit): more where its pixels hold few counts (see kLowCountGain), and with its depth.
double additionGain(const BoxData& data, double background, bool depth) {
    const int64_t pixels = static_cast<int64_t>(data.g) * data.g;
    double read = 0.0;
    int64_t present = 0;
    for (int64_t k = 0; data.variance != nullptr && k < pixels; ++k) {
        if (!isAbsent(data, k)) {
            read += data.variance[k];
            ++present;
        }
    }
    const double level =
        std::ldexp(background + (present > 0 ? read / present : 0.0), data.unitExponent);
    return (depth ? kAdditionGainWithDepth : kAdditionGain) +
           kLowCountGain / std::fmax(level, kLowestLevel);
}

RegionFit failedRegion(int startCount, int status) {
    RegionFit fit{};
    fit.emitters = startCount;
    for (int e = 0; e < kMaxEmitters; ++e) {
        fit.emitter[e] = EmitterFit{kNaN, kNaN, kNaN, kNaN, {kNaN, kNaN, kNaN, kNaN}, status};
    }
    fit.background = kNaN;
    fit.backgroundCrlb = kNaN;
    fit.logLikelihoodRatio = kNaN;
    fit.status = status;
    return fit;
}

}  // namespace

size_t regionWorkLength(int32_t g) {
    // The region and its read variance, two axes an emitter, and the expected counts.
    const size_t side = static_cast<size_t>(g);
    return static_cast<size_t>(boxDataLength(g)) + 2 * kMaxEmitters * kAxisArrays * (side + 1) +
           side * side;
}

namespace {

// fitRegion's work on a region read as `data`, without or with each emitter's depth.
template <bool Depth>
RegionFit fitRegionWith(const BoxData& data, const RegionModel& model, const double* starts,
                        int startCount, double* axes) {
    using L = Layout<Depth>;
    const int32_t g = model.g;
    double* expected = axes + 2 * kMaxEmitters * kAxisArrays * (static_cast<size_t>(g) + 1);
    Solution<Depth> best{};
    startFrom(data, model, starts, startCount, &best);
    if (!solve(data, model, axes, &best)) {
        return failedRegion(startCount, kNotASpot);
    }
    best.ratio = ratioOf(data, model, axes, best, expected);
    int slotsUsed = startCount;
    // More light than the emitters explain: one more where the residual is largest, kept only
    // when the likelihood gains enough. Emitters dropped keep their rows.
    while (best.status == kConverged && slotsUsed < model.maxEmitters) {
        const int freedom = g * g - (1 + L::kPer * best.k);
        if (!(best.ratio > freedom + kExcessLight * std::sqrt(2.0 * freedom))) {
            break;
        }
        Solution<Depth> more = best;
        double x = 0.0;
        double y = 0.0;
        double photons = 0.0;
        if (!newEmitterAt(data, expected, model, &x, &y, &photons)) {
            break;
        }
        more.slots[more.k] = slotsUsed;
        double* added = more.theta + L::x(more.k);
        added[0] = x;
        added[1] = y;
        added[2] = photons;
        if (Depth) {
            added[3] = model.startDepth;
        }
        ++more.k;
        if (!solve(data, model, axes, &more) || more.status != kConverged || more.k != best.k + 1) {
            break;
        }
        more.ratio = ratioOf(data, model, axes, more, expected);
        if (!(best.ratio - more.ratio > additionGain(data, best.theta[0], Depth))) {
            break;
        }
        best = more;
        ++slotsUsed;
    }
    // Back from the region's unit u: photons and background scale with it, the information on
    // them with 1/u and on the positions with u.
    const int e = data.unitExponent;
    RegionFit fit = failedRegion(slotsUsed, kNotASpot);
    fit.status = best.status;
    fit.logLikelihoodRatio = best.ratio;
    fit.background = std::ldexp(best.theta[0], e);
    fit.backgroundCrlb = std::sqrt(std::ldexp(best.variances[0], e));
    for (int k = 0; k < best.k; ++k) {
        EmitterFit& emitter = fit.emitter[best.slots[k]];
        const double* t = best.theta + L::x(k);
        const double* v = best.variances + L::x(k);
        const bool atEnd =
            Depth && (t[3] <= model.depth->zRange[0] || t[3] >= model.depth->zRange[1]);
        emitter = EmitterFit{
            t[0],
            t[1],
            std::ldexp(t[2], e),
            Depth ? t[3] : kNaN,
            {std::sqrt(std::ldexp(v[0], -e)), std::sqrt(std::ldexp(v[1], -e)),
             std::sqrt(std::ldexp(v[2], e)), Depth ? std::sqrt(std::ldexp(v[3], -e)) : kNaN},
            atEnd ? kOutsideDepth : best.status};
    }
    return fit;
}

}  // namespace

template <class T>
RegionFit fitRegion(const T* region, const ReadVariance& variance, const RegionModel& model,
                    const double* starts, int startCount, double* work) {
    BoxData data;
    const BoxState state = prepareBox(region, model.g, variance, work, &data);
    if (state != BoxState::kUsable) {
        return failedRegion(startCount, state == BoxState::kNotFinite ? kNotFinite : kNotASpot);
    }
    double* axes = work + boxDataLength(model.g);
    return model.depth != nullptr ? fitRegionWith<true>(data, model, starts, startCount, axes)
                                  : fitRegionWith<false>(data, model, starts, startCount, axes);
}

template <class T>
std::vector<RegionFit> fitRegions(const RegionSet<T>& set, const RegionModel& model, int threads) {
    const int64_t count = set.count;
    std::vector<RegionFit> fits(static_cast<size_t>(count));
    const int64_t pixels = static_cast<int64_t>(model.g) * model.g;
    fitEach(count, threads, regionWorkLength(model.g), [&](int64_t k, double* work) {
        const auto startCount = static_cast<int>(set.first[k + 1] - set.first[k]);
        fits[static_cast<size_t>(k)] =
            fitRegion(set.regions + k * pixels, varianceOfBox(set.variance, k, pixels), model,
                      set.starts + 2 * set.first[k], startCount, work);
    });
    return fits;
}

template RegionFit fitRegion<float>(const float*, const ReadVariance&, const RegionModel&,
                                    const double*, int, double*);
template RegionFit fitRegion<double>(const double*, const ReadVariance&, const RegionModel&,
                                     const double*, int, double*);
template std::vector<RegionFit> fitRegions<float>(const RegionSet<float>&, const RegionModel&, int);
template std::vector<RegionFit> fitRegions<double>(const RegionSet<double>&, const RegionModel&,
                                                   int);
