#include "fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "parallel.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Least background a step may leave: a box with none can still converge.
constexpr double kLeastBackground = 1e-6;
// Photons below this are no spot.
constexpr double kLeastPhotons = 1e-3;
// A step moves x and y by at most a pixel and lowers photons and background at most tenfold.
constexpr double kLongestShift = 1.0;
constexpr double kLeastShrink = 0.1;
constexpr double kTolerance = 1e-4;
// Steps of Fisher scoring before a fit with a fixed width turns to Newton's.
constexpr int kFisherSteps = 4;
// Once a Newton step moves x and y by less than this, the next pass sums the Fisher
// information too: it is likely the last, and the bounds need it.
constexpr double kSettling = 1e-3;
constexpr double kPi = 3.14159265358979323846;

// One axis of the model at the current estimate: the share of the spot in each pixel and its
// derivatives by the centre and by the width. Each needs only the g + 1 pixel edges' error
// functions and Gaussians.
struct Axis {
    double* share;
    double* byCentre;
    double* byWidth;
    double* edgeErf;
    double* edgeGauss;
};

void integrate(double centre, double sigma, int32_t g, const Axis& axis) {
    const double scale = 1.0 / (std::sqrt(2.0) * sigma);
    const double peak = 1.0 / (std::sqrt(2.0 * kPi) * sigma);
    const double spread = -0.5 / (sigma * sigma);
    for (int32_t k = 0; k <= g; ++k) {
        axis.edgeErf[k] = std::erf((k - 0.5 - centre) * scale);
    }
    // The Gaussian at edges one pixel apart by recurrence, four exponentials an axis: from the
    // edge nearest the centre outward, where every factor is at most 1, so nothing overflows
    // and what underflows is 0.
    const double nearest = std::floor(centre + 1.0);
    const auto middle = static_cast<int32_t>(nearest < 0.0 ? 0.0 : (nearest > g ? g : nearest));
    const double edge = middle - 0.5 - centre;
    const double step = std::exp(2.0 * spread);
    axis.edgeGauss[middle] = peak * std::exp(edge * edge * spread);
    double up = std::exp(spread * (2.0 * edge + 1.0));
    for (int32_t k = middle; k < g; ++k, up *= step) {
        axis.edgeGauss[k + 1] = axis.edgeGauss[k] * up;
    }
    double down = std::exp(spread * (1.0 - 2.0 * edge));
    for (int32_t k = middle; k > 0; --k, down *= step) {
        axis.edgeGauss[k - 1] = axis.edgeGauss[k] * down;
    }
    for (int32_t i = 0; i < g; ++i) {
        const double lower = i - 0.5 - centre;
        const double upper = lower + 1.0;
        axis.share[i] = 0.5 * (axis.edgeErf[i + 1] - axis.edgeErf[i]);
        axis.byCentre[i] = axis.edgeGauss[i] - axis.edgeGauss[i + 1];
        axis.byWidth[i] = (lower * axis.edgeGauss[i] - upper * axis.edgeGauss[i + 1]) / sigma;
    }
}

// The log-likelihood's gradient at an estimate, with the Fisher (expected) information, the
// observed information (the negative Hessian), or both.
struct Slope {
    double gradient[kMaxFitParams];
    double information[kMaxFitParams][kMaxFitParams];
    double observed[kMaxFitParams][kMaxFitParams];
    bool hasInformation;
    bool hasObserved;
};

// Which information a pass over the box sums.
struct Wanted {
    bool information;
    bool observed;
};

// Sums over a column's pixels i of the weight 1/mu times products of the x factors u_a(i)
// (u_0 = 1, u_1 = Ex, u_2 = dEx/dx, u_3 = dEx/dsigma), and of the residual d/mu - 1 times
// each: every term of the gradient and the information is one of these times y factors, so a
// pixel costs one accumulation per pair of x factors rather than per pair of parameters.
template <int U>
struct ColumnSums {
    double weighted[U][U];
    double residual[U];
    double observed[3][3];  // the same products weighted by d / mu^2 (fixed width only)
    double residualCurve;   // the residual times d2Ex/dx2 times sigma
};

template <class T, int P, bool Expected, bool Observed>
Slope slopeAt(const T* box, int32_t g, const double* theta, const Axis& ax, const Axis& ay,
              double* products) {
    static_assert(P == 4 || !Observed, "the observed information is summed for a fixed width");
    constexpr int U = P == 5 ? 4 : 3;
    const double* factors[4] = {nullptr, ax.share, ax.byCentre, ax.byWidth};
    // products[(pair) * g + i] = u_a(i) u_b(i) for the pairs 1 <= b <= a < U, row by row.
    int pair = 0;
    for (int a = 1; a < U; ++a) {
        for (int b = 1; b <= a; ++b, ++pair) {
            for (int32_t i = 0; i < g; ++i) {
                products[pair * g + i] = factors[a][i] * factors[b][i];
            }
        }
    }
    const double photons = theta[2];
    const double background = theta[3];
    Slope slope{};
    double(&info)[kMaxFitParams][kMaxFitParams] = slope.information;
    double* gradient = slope.gradient;
    for (int32_t j = 0; j < g; ++j) {
        ColumnSums<U> sums{};
        const double photonsEy = photons * ay.share[j];
        const T* column = box + static_cast<int64_t>(j) * g;
        for (int32_t i = 0; i < g; ++i) {
            const double value = static_cast<double>(column[i]);
            const double counts = value > 0.0 ? value : 0.0;
            const double weight = 1.0 / (background + photonsEy * ax.share[i]);
            const double residual = counts * weight - 1.0;
            sums.residual[0] += residual;
            for (int a = 1; a < U; ++a) {
                sums.residual[a] += residual * factors[a][i];
            }
            if (Expected) {
                sums.weighted[0][0] += weight;
                int k = 0;
                for (int a = 1; a < U; ++a) {
                    sums.weighted[a][0] += weight * factors[a][i];
                    for (int b = 1; b <= a; ++b, ++k) {
                        sums.weighted[a][b] += weight * products[k * g + i];
                    }
                }
            }
            if (Observed) {
                const double curved = counts * weight * weight;
                sums.observed[0][0] += curved;
                int k = 0;
                for (int a = 1; a < 3; ++a) {
                    sums.observed[a][0] += curved * factors[a][i];
                    for (int b = 1; b <= a; ++b, ++k) {
                        sums.observed[a][b] += curved * products[k * g + i];
                    }
                }
                sums.residualCurve += residual * ax.byWidth[i];
            }
        }
        const auto& w = sums.weighted;
        const auto& r = sums.residual;
        const double e = ay.share[j];
        const double d = ay.byCentre[j];
        const double n = photons;
        gradient[0] += n * e * r[2];
        gradient[1] += n * d * r[1];
        gradient[2] += e * r[1];
        gradient[3] += r[0];
        if (Observed) {
            // Minus the Hessian: the products weighted by d / mu^2, less the residuals times
            // the model's second derivatives (d2Ex/dx2 = dEx/dsigma / sigma; photons and
            // background enter linearly).
            const auto& v = sums.observed;
            const double sigma = theta[4];
            auto& o = slope.observed;
            o[0][0] += n * n * e * e * v[2][2] - n * e * sums.residualCurve / sigma;
            o[0][1] += n * n * e * d * v[2][1] - n * d * r[2];
            o[0][2] += n * e * e * v[2][1] - e * r[2];
            o[0][3] += n * e * v[2][0];
            o[1][1] += n * n * d * d * v[1][1] - n * ay.byWidth[j] / sigma * r[1];
            o[1][2] += n * e * d * v[1][1] - d * r[1];
            o[1][3] += n * d * v[1][0];
            o[2][2] += e * e * v[1][1];
            o[2][3] += e * v[1][0];
            o[3][3] += v[0][0];
        }
        if (!Expected) {
            continue;
        }
        info[0][0] += n * n * e * e * w[2][2];
        info[0][1] += n * n * e * d * w[2][1];
        info[0][2] += n * e * e * w[2][1];
        info[0][3] += n * e * w[2][0];
        info[1][1] += n * n * d * d * w[1][1];
        info[1][2] += n * e * d * w[1][1];
        info[1][3] += n * d * w[1][0];
        info[2][2] += e * e * w[1][1];
        info[2][3] += e * w[1][0];
        info[3][3] += w[0][0];
        if (U == 4) {
            // J_4 = N (u_3 Ey + u_1 dEy/dsigma).
            const double s = ay.byWidth[j];
            const int x = U - 1;  // u_3, spelled so that U = 3 compiles
            gradient[4] += n * (e * r[x] + s * r[1]);
            info[0][4] += n * n * e * (e * w[x][2] + s * w[2][1]);
            info[1][4] += n * n * d * (e * w[x][1] + s * w[1][1]);
            info[2][4] += n * e * (e * w[x][1] + s * w[1][1]);
            info[3][4] += n * (e * w[x][0] + s * w[1][0]);
            info[4][4] += n * n * (e * e * w[x][x] + 2.0 * e * s * w[x][1] + s * s * w[1][1]);
        }
    }
    for (int k = 0; k < P; ++k) {
        for (int l = k + 1; l < P; ++l) {
            info[l][k] = info[k][l];
            slope.observed[l][k] = slope.observed[k][l];
        }
    }
    slope.hasInformation = Expected;
    slope.hasObserved = Observed;
    return slope;
}

// The Cholesky factor of the information, in place (lower triangle); false when it is not
// positive definite.
bool factor(double (&a)[kMaxFitParams][kMaxFitParams], int params) {
    for (int k = 0; k < params; ++k) {
        double pivot = a[k][k];
        for (int m = 0; m < k; ++m) {
            pivot -= a[k][m] * a[k][m];
        }
        if (!(pivot > 0.0) || !std::isfinite(pivot)) {
            return false;
        }
        a[k][k] = std::sqrt(pivot);
        for (int l = k + 1; l < params; ++l) {
            double sum = a[l][k];
            for (int m = 0; m < k; ++m) {
                sum -= a[l][m] * a[k][m];
            }
            a[l][k] = sum / a[k][k];
        }
    }
    return true;
}

// Solves L L' x = b with the factor from `factor`; b is overwritten with x.
void solve(const double (&l)[kMaxFitParams][kMaxFitParams], int params, double* b) {
    for (int k = 0; k < params; ++k) {
        for (int m = 0; m < k; ++m) {
            b[k] -= l[k][m] * b[m];
        }
        b[k] /= l[k][k];
    }
    for (int k = params - 1; k >= 0; --k) {
        for (int m = k + 1; m < params; ++m) {
            b[k] -= l[m][k] * b[m];
        }
        b[k] /= l[k][k];
    }
}

// Start from the box itself: the background from its rim, the centre from the centroid of what
// lies above it, the photons from the sum above it.
template <class T>
void startFrom(const T* box, const SpotModel& model, double* theta) {
    const int32_t g = model.g;
    auto counts = [&](int32_t i, int32_t j) {
        const double value = static_cast<double>(box[i + static_cast<int64_t>(j) * g]);
        return value > 0.0 ? value : 0.0;
    };
    double rim = 0.0;
    for (int32_t k = 0; k < g - 1; ++k) {
        rim += counts(k, 0) + counts(g - 1, k) + counts(g - 1 - k, g - 1) + counts(0, g - 1 - k);
    }
    const double background = rim / (4.0 * (g - 1));
    double total = 0.0;
    double sumX = 0.0;
    double sumY = 0.0;
    for (int32_t j = 0; j < g; ++j) {
        for (int32_t i = 0; i < g; ++i) {
            const double above = counts(i, j) - background;
            if (above > 0.0) {
                total += above;
                sumX += above * i;
                sumY += above * j;
            }
        }
    }
    const double middle = 0.5 * (g - 1);
    theta[0] = total > 0.0 ? sumX / total : middle;
    theta[1] = total > 0.0 ? sumY / total : middle;
    theta[2] = total > 1.0 ? total : 1.0;
    theta[3] = background > kLeastBackground ? background : kLeastBackground;
    theta[4] = model.sigma;
}

// Takes the step in place, kept sane; true when it moves every parameter by less than the
// tolerance.
bool takeStep(const double* step, int params, double* theta) {
    bool small = true;
    for (int k = 0; k < params; ++k) {
        double next = theta[k] + step[k];
        if (k < 2) {
            const double shift = std::fmax(-kLongestShift, std::fmin(kLongestShift, step[k]));
            next = theta[k] + shift;
            small = small && std::fabs(shift) < kTolerance;
        } else {
            double least = kLeastShrink * theta[k];
            if (k == 3 && least < kLeastBackground) {
                least = kLeastBackground;
            }
            next = next > least ? next : least;
            if (k == 4) {  // the width at most doubles
                next = next < 2.0 * theta[k] ? next : 2.0 * theta[k];
            }
            small = small && std::fabs(next - theta[k]) < kTolerance * next;
        }
        theta[k] = next;
    }
    return small;
}

template <class T>
double logLikelihoodRatio(const T* box, int32_t g, const double* theta, const Axis& ax,
                          const Axis& ay) {
    double sum = 0.0;
    for (int32_t j = 0; j < g; ++j) {
        const T* column = box + static_cast<int64_t>(j) * g;
        for (int32_t i = 0; i < g; ++i) {
            const double mu = theta[3] + theta[2] * ax.share[i] * ay.share[j];
            const double value = static_cast<double>(column[i]);
            const double counts = value > 0.0 ? value : 0.0;
            sum += counts > 0.0 ? mu - counts + counts * std::log(counts / mu) : mu;
        }
    }
    return 2.0 * sum;
}

BoxFit failedFit(int status, int iterations) {
    BoxFit fit{};
    for (int k = 0; k < kMaxFitParams; ++k) {
        fit.params[k] = kNaN;
        fit.crlb[k] = kNaN;
    }
    fit.logLikelihoodRatio = kNaN;
    fit.status = status;
    fit.iterations = iterations;
    return fit;
}

template <class T, int P>
BoxFit fitWith(const T* box, const SpotModel& model, double* work) {
    const int32_t g = model.g;
    const int64_t pixels = static_cast<int64_t>(g) * g;
    bool photonsSeen = false;
    for (int64_t k = 0; k < pixels; ++k) {
        const double value = static_cast<double>(box[k]);
        if (!std::isfinite(value)) {
            return failedFit(kNotFinite, 0);
        }
        photonsSeen = photonsSeen || value > 0.0;
    }
    if (!photonsSeen) {
        return failedFit(kNotASpot, 0);
    }
    const size_t axisLength = static_cast<size_t>(g) + 1;
    const Axis ax{work, work + axisLength, work + 2 * axisLength, work + 3 * axisLength,
                  work + 4 * axisLength};
    const Axis ay{work + 5 * axisLength, work + 6 * axisLength, work + 7 * axisLength,
                  work + 8 * axisLength, work + 9 * axisLength};
    double* products = work + 10 * axisLength;
    double theta[kMaxFitParams];
    startFrom(box, model, theta);
    auto slopeHere = [&](Wanted wanted) {
        integrate(theta[0], theta[4], g, ax);
        integrate(theta[1], theta[4], g, ay);
        if (P == 5 || !wanted.observed) {
            return slopeAt<T, P, true, false>(box, g, theta, ax, ay, products);
        }
        if (!wanted.information) {
            return slopeAt<T, P, false, P == 4>(box, g, theta, ax, ay, products);
        }
        return slopeAt<T, P, true, P == 4>(box, g, theta, ax, ay, products);
    };
    // Fisher scoring takes the first steps: from the start it is the safer, and a clean spot
    // converges in about three. A fit with a fixed width still moving after those goes on with
    // Newton steps on the observed information, which converge in a few more even where a
    // neighbour's light makes the model imperfect, where Fisher scoring crawls; where the
    // observed information is not positive definite, the step is Fisher scoring's. The bounds
    // always come from the Fisher information, summed along once the steps have become small.
    // A step that would move every parameter by less than the tolerance means the estimate
    // has converged: it is kept as it is, so that the bounds and the ratio belong to it.
    Slope slope = slopeHere(Wanted{true, false});
    bool informationFactored = false;
    int status = kStillMoving;
    int iterations = 0;
    while (true) {
        double step[kMaxFitParams];
        for (int k = 0; k < P; ++k) {
            step[k] = slope.gradient[k];
        }
        informationFactored = false;
        if (slope.hasObserved && factor(slope.observed, P)) {
            solve(slope.observed, P, step);
        } else {
            if (!slope.hasInformation) {
                slope = slopeHere(Wanted{true, false});
            }
            if (!factor(slope.information, P)) {
                return failedFit(kNotASpot, iterations);
            }
            informationFactored = true;
            solve(slope.information, P, step);
        }
        double next[kMaxFitParams];
        std::copy(theta, theta + kMaxFitParams, next);
        if (takeStep(step, P, next)) {
            status = kConverged;
            break;
        }
        if (iterations == kMaxFitIterations) {
            break;
        }
        ++iterations;
        const bool settling =
            std::fabs(next[0] - theta[0]) < kSettling && std::fabs(next[1] - theta[1]) < kSettling;
        std::copy(next, next + kMaxFitParams, theta);
        const bool outside =
            !(theta[0] >= -0.5 && theta[0] <= g - 0.5 && theta[1] >= -0.5 && theta[1] <= g - 0.5);
        bool finite = true;
        for (int k = 0; k < P; ++k) {
            finite = finite && std::isfinite(theta[k]);
        }
        if (outside || !finite || theta[2] < kLeastPhotons) {
            return failedFit(kNotASpot, iterations);
        }
        const bool newton = P == 4 && iterations >= kFisherSteps;
        slope = slopeHere(Wanted{!newton || settling, newton});
    }
    if (!informationFactored) {
        if (!slope.hasInformation) {
            slope = slopeHere(Wanted{true, false});
        }
        if (!factor(slope.information, P)) {
            return failedFit(kNotASpot, iterations);
        }
    }
    BoxFit fit = failedFit(status, iterations);
    fit.logLikelihoodRatio = logLikelihoodRatio(box, g, theta, ax, ay);
    for (int k = 0; k < P; ++k) {
        double unit[kMaxFitParams] = {};
        unit[k] = 1.0;
        solve(slope.information, P, unit);
        fit.params[k] = theta[k];
        fit.crlb[k] = std::sqrt(unit[k]);
    }
    return fit;
}

}  // namespace

size_t fitWorkLength(int32_t g) {
    // Ten axis arrays of g + 1, and the six products of x factors of g each.
    return 16 * (static_cast<size_t>(g) + 1);
}

template <class T>
BoxFit fitBox(const T* box, const SpotModel& model, double* work) {
    return model.fitSigma ? fitWith<T, 5>(box, model, work) : fitWith<T, 4>(box, model, work);
}

template <class T>
void fitBoxes(const T* boxes, int64_t count, const SpotModel& model, const FitTargets& targets,
              int threads) {
    threads = threads < 1 ? 1 : (threads > parallel::kMaxThreads ? parallel::kMaxThreads : threads);
    const size_t workLength = fitWorkLength(model.g);
    const std::unique_ptr<double[]> work(new double[workLength * threads]);
    const int64_t pixels = static_cast<int64_t>(model.g) * model.g;
    const int params = model.params();
    parallel::forSlices(threads, count, [&](int part, int64_t begin, int64_t end) {
        double* own = work.get() + workLength * part;
        for (int64_t k = begin; k < end; ++k) {
            const BoxFit fit = fitBox(boxes + k * pixels, model, own);
            for (int p = 0; p < params; ++p) {
                targets.params[k + p * count] = fit.params[p];
                targets.crlb[k + p * count] = fit.crlb[p];
            }
            targets.logLikelihoodRatio[k] = fit.logLikelihoodRatio;
            targets.status[k] = fit.status;
        }
    });
}

template BoxFit fitBox<float>(const float*, const SpotModel&, double*);
template BoxFit fitBox<double>(const double*, const SpotModel&, double*);
template void fitBoxes<float>(const float*, int64_t, const SpotModel&, const FitTargets&, int);
template void fitBoxes<double>(const double*, int64_t, const SpotModel&, const FitTargets&, int);
