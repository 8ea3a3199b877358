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
constexpr int M = kMaxJointParams;

// Spots of one fixed width on a shared flat background in a region: the model the driver
// maximises. theta: background, then x, y and photons of each emitter.
class JointSpots {
public:
    JointSpots(const BoxData& data, double sigma, int emitters, double* axes)
        : data_(data), g_(data.g), sigma_(sigma), k_(emitters) {
        const size_t stride = kAxisArrays * (static_cast<size_t>(data.g) + 1);
        for (int e = 0; e < emitters; ++e) {
            ax_[e] = axisIn(axes + 2 * e * stride, data.g);
            ay_[e] = axisIn(axes + (2 * e + 1) * stride, data.g);
        }
    }

    int params() const { return 1 + 3 * k_; }
    Role role(int p) const {
        return p == 0 ? Role::kBackground : ((p - 1) % 3 == 2 ? Role::kPhotons : Role::kPosition);
    }
    Span span(int) const {
        return Span{kLeastBackground, std::numeric_limits<double>::infinity(), 0.0};
    }
    int fisherSteps() const { return 4; }
    bool acceptable(const double* theta) const { return firstGone(theta) < 0; }

    // The first emitter that went more than kBeyondEdge past the region's edge or whose
    // photons went to 0; -1 for none.
    int firstGone(const double* theta) const {
        const double low = -0.5 - kBeyondEdge;
        const double high = g_ - 0.5 + kBeyondEdge;
        for (int e = 0; e < k_; ++e) {
            const double x = theta[1 + 3 * e];
            const double y = theta[2 + 3 * e];
            if (!(x >= low && x <= high && y >= low && y <= high &&
                  theta[3 + 3 * e] >= kLeastPhotons)) {
                return e;
            }
        }
        return -1;
    }

    Slope<M> slope(const double* theta, Wanted wanted) {
        integrate(theta);
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
        integrate(theta);
        double sum = 0.0;
        for (int32_t j = 0; j < g_; ++j) {
            for (int32_t i = 0; i < g_; ++i) {
                const int64_t pixel = i + static_cast<int64_t>(j) * g_;
                double m = theta[0] + (data_.variance != nullptr ? data_.variance[pixel] : 0.0);
                for (int e = 0; e < k_; ++e) {
                    m += theta[3 + 3 * e] * ax_[e].share[i] * ay_[e].share[j];
                }
                out[pixel] = m;
                sum += ratioTerm(data_.counts[pixel], m);
            }
        }
        return sum;
    }

private:
    void integrate(const double* theta) {
        for (int e = 0; e < k_; ++e) {
            integrateAxis(theta[1 + 3 * e], sigma_, g_, false, ax_[e]);
            integrateAxis(theta[2 + 3 * e], sigma_, g_, false, ay_[e]);
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
    // N dEx Ey, N Ex dEy and Ex Ey. The observed information takes away the residual times
    // each emitter's second derivatives (d2Ex/dx2 = dEx/dsigma / sigma).
    template <int K, bool Variance, bool Expected, bool Observed>
    Slope<M> sums(const double* theta) {
        constexpr int params = 1 + 3 * K;
        Slope<M> slope{};
        double jacobian[M];
        jacobian[0] = 1.0;
        for (int32_t j = 0; j < g_; ++j) {
            for (int32_t i = 0; i < g_; ++i) {
                const int64_t pixel = i + static_cast<int64_t>(j) * g_;
                double m = Variance ? theta[0] + data_.variance[pixel] : theta[0];
                for (int e = 0; e < K; ++e) {
                    const double n = theta[3 + 3 * e];
                    const double ex = ax_[e].share[i];
                    const double ey = ay_[e].share[j];
                    m += n * ex * ey;
                    jacobian[1 + 3 * e] = n * ax_[e].byCentre[i] * ey;
                    jacobian[2 + 3 * e] = n * ex * ay_[e].byCentre[j];
                    jacobian[3 + 3 * e] = ex * ey;
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
                        const double n = theta[3 + 3 * e];
                        const AxisModel& ax = ax_[e];
                        const AxisModel& ay = ay_[e];
                        const int x = 1 + 3 * e;
                        auto& o = slope.observed;
                        o[x][x] -= residual * n * ax.byWidth[i] / sigma_ * ay.share[j];
                        o[x][x + 1] -= residual * n * ax.byCentre[i] * ay.byCentre[j];
                        o[x][x + 2] -= residual * ax.byCentre[i] * ay.share[j];
                        o[x + 1][x + 1] -= residual * n * ax.share[i] * ay.byWidth[j] / sigma_;
                        o[x + 1][x + 2] -= residual * ax.share[i] * ay.byCentre[j];
                    }
                }
            }
        }
        completeSlope(&slope, params, Expected, Observed);
        return slope;
    }

    const BoxData& data_;
    int32_t g_;
    double sigma_;
    int k_;
    AxisModel ax_[kMaxEmitters];
    AxisModel ay_[kMaxEmitters];
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
struct Solution {
    int k;
    int slots[kMaxEmitters];
    double theta[M];
    double variances[M];
    int status;
    double ratio;  // the log-likelihood ratio in the region's own counts
};

// Removes emitter e from a solution's model; its slot stays without a fit.
void drop(Solution* s, int e) {
    for (int f = e; f + 1 < s->k; ++f) {
        s->slots[f] = s->slots[f + 1];
        for (int c = 0; c < 3; ++c) {
            s->theta[1 + 3 * f + c] = s->theta[1 + 3 * (f + 1) + c];
        }
    }
    --s->k;
}

int dimmest(const Solution& s) {
    int e = 0;
    for (int f = 1; f < s.k; ++f) {
        e = s.theta[3 + 3 * f] < s.theta[3 + 3 * e] ? f : e;
    }
    return e;
}

// Fits the model of a solution, dropping an emitter that vanishes or leaves the region, and
// the dimmer of two that the information cannot tell apart, until the fit holds; false when no
// emitter is left or the background alone fails.
bool solve(const BoxData& data, const RegionModel& model, double* axes, Solution* s) {
    while (s->k > 0) {
        JointSpots spots(data, model.sigma, s->k, axes);
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
// above it in the 3 x 3 pixels about its start.
void startFrom(const BoxData& data, const RegionModel& model, const double* starts, int count,
               Solution* s) {
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
        s->theta[1 + 3 * s->k] = x;
        s->theta[2 + 3 * s->k] = y;
        s->theta[3 + 3 * s->k] = std::fmax(above / inside, 10.0 * kLeastPhotons);
        ++s->k;
    }
}

// The log-likelihood ratio of a solution in the region's own counts, and each pixel's
// expected counts into `expected`.
double ratioOf(const BoxData& data, const RegionModel& model, double* axes, const Solution& s,
               double* expected) {
    JointSpots spots(data, model.sigma, s.k, axes);
    return std::ldexp(2.0 * spots.expected(s.theta, expected), data.unitExponent);
}

// Twice the gain in log-likelihood an added emitter must bring, in a region of this background
// (in its unit): more where its pixels hold few counts (see kLowCountGain).
double additionGain(const BoxData& data, double background) {
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
    return kAdditionGain + kLowCountGain / std::fmax(level, kLowestLevel);
}

RegionFit failedRegion(int startCount, int status) {
    RegionFit fit{};
    fit.emitters = startCount;
    for (int e = 0; e < kMaxEmitters; ++e) {
        fit.emitter[e] = EmitterFit{kNaN, kNaN, kNaN, {kNaN, kNaN, kNaN}, status};
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

template <class T>
RegionFit fitRegion(const T* region, const ReadVariance& variance, const RegionModel& model,
                    const double* starts, int startCount, double* work) {
    const int32_t g = model.g;
    BoxData data;
    const BoxState state = prepareBox(region, g, variance, work, &data);
    if (state != BoxState::kUsable) {
        return failedRegion(startCount, state == BoxState::kNotFinite ? kNotFinite : kNotASpot);
    }
    double* axes = work + boxDataLength(g);
    double* expected = axes + 2 * kMaxEmitters * kAxisArrays * (static_cast<size_t>(g) + 1);
    Solution best{};
    startFrom(data, model, starts, startCount, &best);
    if (!solve(data, model, axes, &best)) {
        return failedRegion(startCount, kNotASpot);
    }
    best.ratio = ratioOf(data, model, axes, best, expected);
    int slotsUsed = startCount;
    // More light than the emitters explain: one more where the residual is largest, kept only
    // when the likelihood gains enough. Emitters dropped keep their rows.
    while (best.status == kConverged && slotsUsed < model.maxEmitters) {
        const int freedom = g * g - (1 + 3 * best.k);
        if (!(best.ratio > freedom + kExcessLight * std::sqrt(2.0 * freedom))) {
            break;
        }
        Solution more = best;
        double x = 0.0;
        double y = 0.0;
        double photons = 0.0;
        if (!newEmitterAt(data, expected, model, &x, &y, &photons)) {
            break;
        }
        more.slots[more.k] = slotsUsed;
        more.theta[1 + 3 * more.k] = x;
        more.theta[2 + 3 * more.k] = y;
        more.theta[3 + 3 * more.k] = photons;
        ++more.k;
        if (!solve(data, model, axes, &more) || more.status != kConverged || more.k != best.k + 1) {
            break;
        }
        more.ratio = ratioOf(data, model, axes, more, expected);
        if (!(best.ratio - more.ratio > additionGain(data, best.theta[0]))) {
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
        const double* t = best.theta + 1 + 3 * k;
        const double* v = best.variances + 1 + 3 * k;
        emitter = EmitterFit{t[0],
                             t[1],
                             std::ldexp(t[2], e),
                             {std::sqrt(std::ldexp(v[0], -e)), std::sqrt(std::ldexp(v[1], -e)),
                              std::sqrt(std::ldexp(v[2], e))},
                             best.status};
    }
    return fit;
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
