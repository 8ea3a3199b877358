#include "fit.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "each_fit.h"
#include "psf.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr int M = kMaxFitParams;

// What follows x, y, photons and background: nothing (fixed widths), one width for both axes,
// the depth that sets both widths, or a width along each axis.
enum class Shape { kFixedWidth, kFittedWidth, kDepth, kEllipse };

constexpr int paramsOf(Shape shape) {
    return shape == Shape::kFixedWidth ? 4 : (shape == Shape::kEllipse ? 6 : 5);
}

// Depths the start compares the box's shape against, across the calibrated range.
constexpr int kStartDepths = 64;

// Sums over a column's pixels i of the weight w = 1/m times products of the x factors u_a(i)
// (u_0 = 1, u_1 = Ex, u_2 = dEx/dx, u_3 = dEx/dsigma or dEx/dz), and of the residual c/m - 1
// times each:
// every term of the gradient and the information is one of these times y factors, so a pixel
// costs one accumulation per pair of x factors rather than per pair of parameters. The
// observed information sums the same products weighted by c/m^2, and the residual times the
// model's second derivatives.
template <int U>
struct ColumnSums {
    double weighted[U][U];
    double curved[U][U];
    double residual[U];
    double byWidth;        // the residual times dEx/dsigma (width fixed, or the depth's)
    double byCentreWidth;  // times d2Ex/dx dsigma, or d2Ex/dx dz
    double byWidthWidth;   // times d2Ex/dsigma2, or d2Ex/dz2
};

// Adds sum_i s(i) J_k J_l over a column to `out`, from the column's x-factor sums `s` and the
// y factors e = Ey, d = dEy/dy, w = dEy/dsigma (or dEy/dz), for the Jacobian
// J = (N dEx Ey, N Ex dEy, Ex Ey, 1[, N (u_3 Ey + Ex w)]), or with a width along each axis
// J = (N dEx Ey, N Ex dEy, Ex Ey, 1, N u_3 Ey, N Ex w).
template <Shape S, int U>
void addProducts(const double (&s)[U][U], double n, double e, double d, double w,
                 double (&out)[M][M]) {
    out[0][0] += n * n * e * e * s[2][2];
    out[0][1] += n * n * e * d * s[2][1];
    out[0][2] += n * e * e * s[2][1];
    out[0][3] += n * e * s[2][0];
    out[1][1] += n * n * d * d * s[1][1];
    out[1][2] += n * e * d * s[1][1];
    out[1][3] += n * d * s[1][0];
    out[2][2] += e * e * s[1][1];
    out[2][3] += e * s[1][0];
    out[3][3] += s[0][0];
    const int x = U - 1;  // u_3, spelled so that U = 3 compiles
    if (S == Shape::kEllipse) {
        out[0][4] += n * n * e * e * s[x][2];
        out[1][4] += n * n * e * d * s[x][1];
        out[2][4] += n * e * e * s[x][1];
        out[3][4] += n * e * s[x][0];
        out[4][4] += n * n * e * e * s[x][x];
        out[0][5] += n * n * e * w * s[2][1];
        out[1][5] += n * n * d * w * s[1][1];
        out[2][5] += n * e * w * s[1][1];
        out[3][5] += n * w * s[1][0];
        out[4][5] += n * n * e * w * s[x][1];
        out[5][5] += n * n * w * w * s[1][1];
    } else if (paramsOf(S) == 5) {
        out[0][4] += n * n * e * (e * s[x][2] + w * s[2][1]);
        out[1][4] += n * n * d * (e * s[x][1] + w * s[1][1]);
        out[2][4] += n * e * (e * s[x][1] + w * s[1][1]);
        out[3][4] += n * (e * s[x][0] + w * s[1][0]);
        out[4][4] += n * n * (e * e * s[x][x] + 2.0 * e * w * s[x][1] + w * w * s[1][1]);
    }
}

// One spot of fixed or fitted width, or at a fitted depth, on a flat background in a box: the
// model the driver maximises.
template <Shape S>
class SpotOnBackground {
public:
    static constexpr int P = paramsOf(S);

    SpotOnBackground(const BoxData& data, const DepthCalibration* depth, double* work)
        : data_(data),
          depth_(depth),
          g_(data.g),
          ax_(axisIn(work, data.g)),
          ay_(axisIn(work + kAxisArrays * (static_cast<size_t>(data.g) + 1), data.g)),
          products_(work + 2 * kAxisArrays * (static_cast<size_t>(data.g) + 1)) {}

    int params() const { return P; }
    Role role(int k) const {
        static constexpr Role kRoles[M] = {Role::kPosition,
                                           Role::kPosition,
                                           Role::kPhotons,
                                           Role::kBackground,
                                           S == Shape::kDepth ? Role::kDepth : Role::kWidth,
                                           Role::kWidth};
        return kRoles[k];
    }
    Span span(int k) const {
        if (S == Shape::kDepth && k == 4) {
            return Span{depth_->zRange[0], depth_->zRange[1], longestDepthStep(*depth_)};
        }
        return Span{kLeastBackground, kInfinity, 0.0};
    }
    // A clean spot converges in about three steps of Fisher scoring; a fit still moving after
    // these (a neighbour's light, little light, the background at its least) turns to
    // Newton's. With the width, whose Newton passes cost more, two steps later.
    int fisherSteps() const { return P >= 5 ? 6 : 4; }
    bool acceptable(const double* theta) const {
        const double edge = g_ - 0.5;
        return theta[0] >= -0.5 && theta[0] <= edge && theta[1] >= -0.5 && theta[1] <= edge &&
               theta[2] >= kLeastPhotons;
    }

    Slope<M> slope(const double* theta, Wanted wanted) {
        const bool observed = wanted.observed;
        integrate(theta, observed);
        if (data_.variance != nullptr) {
            return observed ? (wanted.information ? sums<true, true, true>(theta)
                                                  : sums<true, false, true>(theta))
                            : sums<true, true, false>(theta);
        }
        return observed ? (wanted.information ? sums<false, true, true>(theta)
                                              : sums<false, false, true>(theta))
                        : sums<false, true, false>(theta);
    }

    // The axes at theta, their width's (or depth's) curvature too when `curvature`.
    void integrate(const double* theta, bool curvature) {
        if (S == Shape::kDepth) {
            widthX_ = widthAt(*depth_, 0, theta[4]);
            widthY_ = widthAt(*depth_, 1, theta[4]);
        } else {
            // theta[5] holds the width along y of fixed widths that differ, and of an ellipse.
            const bool twoWidths = S == Shape::kFixedWidth || S == Shape::kEllipse;
            widthX_ = WidthAtDepth{theta[4], 0.0, 0.0};
            widthY_ = WidthAtDepth{twoWidths ? theta[5] : theta[4], 0.0, 0.0};
        }
        const bool widthCurvature = curvature && S != Shape::kFixedWidth;
        integrateAxis(theta[0], widthX_.sigma, g_, widthCurvature, ax_);
        integrateAxis(theta[1], widthY_.sigma, g_, widthCurvature, ay_);
        if (S == Shape::kDepth) {
            alongDepth(widthX_, g_, curvature, ax_);
            alongDepth(widthY_, g_, curvature, ay_);
        }
    }

    // Half the log-likelihood ratio at theta, with the axes of the last slope.
    double halfRatio(const double* theta) const {
        double sum = 0.0;
        for (int32_t j = 0; j < g_; ++j) {
            const double* column = data_.counts + static_cast<int64_t>(j) * g_;
            const double* read =
                data_.variance == nullptr ? nullptr : data_.variance + static_cast<int64_t>(j) * g_;
            for (int32_t i = 0; i < g_; ++i) {
                const double mu = theta[3] + theta[2] * ax_.share[i] * ay_.share[j];
                sum += ratioTerm(column[i], read == nullptr ? mu : mu + read[i]);
            }
        }
        return sum;
    }

private:
    template <bool Variance, bool Expected, bool Observed>
    Slope<M> sums(const double* theta) {
        constexpr int U = P >= 5 ? 4 : 3;
        constexpr bool kDepth = S == Shape::kDepth;
        const double* factors[4] = {nullptr, ax_.share, ax_.byCentre,
                                    kDepth ? ax_.byDepth : ax_.byWidth};
        // products_[pair * g + i] = u_a(i) u_b(i) for the pairs 1 <= b <= a < U, row by row.
        int pair = 0;
        for (int a = 1; a < U; ++a) {
            for (int b = 1; b <= a; ++b, ++pair) {
                for (int32_t i = 0; i < g_; ++i) {
                    products_[pair * g_ + i] = factors[a][i] * factors[b][i];
                }
            }
        }
        const double n = theta[2];
        const double background = theta[3];
        Slope<M> slope{};
        for (int32_t j = 0; j < g_; ++j) {
            ColumnSums<U> sums{};
            const double photonsEy = n * ay_.share[j];
            const double* column = data_.counts + static_cast<int64_t>(j) * g_;
            const double* read = Variance ? data_.variance + static_cast<int64_t>(j) * g_ : nullptr;
            for (int32_t i = 0; i < g_; ++i) {
                const double level = Variance ? background + read[i] : background;
                const double weight = 1.0 / (level + photonsEy * ax_.share[i]);
                const double counts = column[i];
                const double residual =
                    Variance ? residualOf(counts, weight) : counts * weight - 1.0;
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
                            sums.weighted[a][b] += weight * products_[k * g_ + i];
                        }
                    }
                }
                if (Observed) {
                    const double curve = counts * weight * weight;
                    sums.curved[0][0] += curve;
                    int k = 0;
                    for (int a = 1; a < U; ++a) {
                        sums.curved[a][0] += curve * factors[a][i];
                        for (int b = 1; b <= a; ++b, ++k) {
                            sums.curved[a][b] += curve * products_[k * g_ + i];
                        }
                    }
                    if (P >= 5) {
                        sums.byCentreWidth +=
                            residual * (kDepth ? ax_.byCentreDepth[i] : ax_.byCentreWidth[i]);
                        sums.byWidthWidth +=
                            residual * (kDepth ? ax_.byDepthDepth[i] : ax_.byWidthWidth[i]);
                    }
                    if (S == Shape::kFixedWidth || S == Shape::kDepth) {
                        sums.byWidth += residual * ax_.byWidth[i];
                    }
                }
            }
            const double e = ay_.share[j];
            const double d = ay_.byCentre[j];
            const double w = kDepth ? ay_.byDepth[j] : ay_.byWidth[j];
            const auto& r = sums.residual;
            const bool rawThird = S == Shape::kFittedWidth || S == Shape::kEllipse;
            const double residualByWidth = rawThird ? r[U - 1] : sums.byWidth;
            double* gradient = slope.gradient;
            gradient[0] += n * e * r[2];
            gradient[1] += n * d * r[1];
            gradient[2] += e * r[1];
            gradient[3] += r[0];
            if (S == Shape::kEllipse) {
                gradient[4] += n * e * r[U - 1];
                gradient[5] += n * w * r[1];
            } else if (P == 5) {
                gradient[4] += n * (e * r[U - 1] + w * r[1]);
            }
            if (Expected) {
                addProducts<S, U>(sums.weighted, n, e, d, w, slope.information);
            }
            if (Observed) {
                // Minus the Hessian: the curved products, less the residuals times the model's
                // second derivatives (d2Ex/dx2 = dEx/dsigma / sigma; photons and background
                // enter linearly).
                auto& o = slope.observed;
                addProducts<S, U>(sums.curved, n, e, d, w, o);
                o[0][0] -= n * e * residualByWidth / widthX_.sigma;
                o[0][1] -= n * d * r[2];
                o[0][2] -= e * r[2];
                o[1][1] -= n * ay_.byWidth[j] / widthY_.sigma * r[1];
                o[1][2] -= d * r[1];
                if (S == Shape::kEllipse) {
                    const double dw = ay_.byCentreWidth[j];
                    const double ww = ay_.byWidthWidth[j];
                    o[0][4] -= n * e * sums.byCentreWidth;
                    o[1][4] -= n * d * r[U - 1];
                    o[2][4] -= e * r[U - 1];
                    o[4][4] -= n * e * sums.byWidthWidth;
                    o[0][5] -= n * w * r[2];
                    o[1][5] -= n * dw * r[1];
                    o[2][5] -= w * r[1];
                    o[4][5] -= n * w * r[U - 1];
                    o[5][5] -= n * ww * r[1];
                } else if (P == 5) {
                    const double dw = kDepth ? ay_.byCentreDepth[j] : ay_.byCentreWidth[j];
                    const double ww = kDepth ? ay_.byDepthDepth[j] : ay_.byWidthWidth[j];
                    o[0][4] -= n * (e * sums.byCentreWidth + w * r[2]);
                    o[1][4] -= n * (d * r[U - 1] + dw * r[1]);
                    o[2][4] -= e * r[U - 1] + w * r[1];
                    o[4][4] -= n * (e * sums.byWidthWidth + 2.0 * w * r[U - 1] + ww * r[1]);
                }
            }
        }
        completeSlope(&slope, P, Expected, Observed);
        return slope;
    }

    const BoxData& data_;
    const DepthCalibration* depth_;
    int32_t g_;
    AxisModel ax_;
    AxisModel ay_;
    double* products_;
    WidthAtDepth widthX_{};
    WidthAtDepth widthY_{};
};

// The depth whose widths have the ratio of the spot's second moments along x and y (each a
// width squared plus a pixel's 1/12): the ratio tells the depth where the moments' common
// biases, the background's noise and the box's edge, cancel.
double depthFromMoments(const DepthCalibration& depth, double momentX, double momentY) {
    const double measured = std::log(momentX / momentY);
    const double low = depth.zRange[0];
    const double step = (depth.zRange[1] - low) / (kStartDepths - 1);
    double best = 0.5 * (low + depth.zRange[1]);
    double bestMiss = kInfinity;
    for (int k = 0; k < kStartDepths; ++k) {
        const double z = low + k * step;
        const double sx = widthAt(depth, 0, z).sigma;
        const double sy = widthAt(depth, 1, z).sigma;
        const double miss =
            std::fabs(std::log((sx * sx + 1.0 / 12.0) / (sy * sy + 1.0 / 12.0)) - measured);
        if (miss < bestMiss) {
            bestMiss = miss;
            best = z;
        }
    }
    return best;
}

// Start from the box itself: the background from its rim, the centre from the centroid of what
// lies above it, the photons from the sum above it, the depth from its second moments.
void startFrom(const BoxData& data, const SpotModel& model, double* theta) {
    const int32_t g = data.g;
    auto photons = [&](int32_t i, int32_t j) { return photonsAt(data, i, j); };
    const double background = rimMean(data);
    const bool depth = model.depth != nullptr;  // only the depth's start needs second moments
    double total = 0.0;
    double sumX = 0.0;
    double sumY = 0.0;
    double squaresX = 0.0;
    double squaresY = 0.0;
    for (int32_t j = 0; j < g; ++j) {
        for (int32_t i = 0; i < g; ++i) {
            const double above = photons(i, j) - background;
            if (above > 0.0) {
                total += above;
                sumX += above * i;
                sumY += above * j;
                if (depth) {
                    squaresX += above * i * i;
                    squaresY += above * j * j;
                }
            }
        }
    }
    const double middle = 0.5 * (g - 1);
    theta[0] = total > 0.0 ? sumX / total : middle;
    theta[1] = total > 0.0 ? sumY / total : middle;
    theta[2] = total > 0.0 ? total : 0.5;
    theta[3] = background > kLeastBackground ? background : kLeastBackground;
    theta[4] = model.sigma;
    theta[5] = model.sigmaY > 0.0 ? model.sigmaY : model.sigma;
    if (depth) {
        const DepthCalibration& curves = *model.depth;
        const double momentX = squaresX / total - theta[0] * theta[0];
        const double momentY = squaresY / total - theta[1] * theta[1];
        theta[4] = total > 0.0 && momentX > 0.0 && momentY > 0.0
                       ? depthFromMoments(curves, momentX, momentY)
                       : 0.5 * (curves.zRange[0] + curves.zRange[1]);
    }
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

template <Shape S>
BoxFit fitWith(const BoxData& data, const SpotModel& spot, double* work) {
    constexpr int P = paramsOf(S);
    SpotOnBackground<S> model(data, spot.depth, work);
    double theta[M];
    startFrom(data, spot, theta);
    Slope<M> slope;
    const Outcome outcome = maximise(model, theta, &slope);
    if (outcome.status >= kNotASpot) {
        return failedFit(outcome.status, outcome.iterations);
    }
    int all[M];
    for (int k = 0; k < P; ++k) {
        all[k] = k;
    }
    Factor<M> factor;
    double variances[M];
    if (!factorOn(slope.information, all, P, &factor) ||
        !inverseDiagonal(slope.information, factor, variances)) {
        return failedFit(kNotASpot, outcome.iterations);
    }
    // Back from the box's unit u: photons and background scale with it, the information on
    // them with 1/u and on the others with u, the ratio with u.
    const int e = data.unitExponent;
    BoxFit fit = failedFit(outcome.status, outcome.iterations);
    fit.logLikelihoodRatio = std::ldexp(2.0 * model.halfRatio(theta), e);
    for (int k = 0; k < P; ++k) {
        const bool amount = k == 2 || k == 3;
        fit.params[k] = amount ? std::ldexp(theta[k], e) : theta[k];
        fit.crlb[k] = std::sqrt(std::ldexp(variances[k], amount ? e : -e));
    }
    if (S == Shape::kDepth && endOfSpan(model, 4, theta[4]) != 0) {
        fit.status = kOutsideDepth;
    }
    return fit;
}

}  // namespace

size_t fitWorkLength(int32_t g) {
    // The box and its read variance, two axes, and the six products of x factors of g each.
    const size_t side = static_cast<size_t>(g);
    return static_cast<size_t>(boxDataLength(g)) + 2 * kAxisArrays * (side + 1) + 6 * side;
}

template <class T>
BoxFit fitBox(const T* box, const ReadVariance& variance, const SpotModel& model, double* work) {
    BoxData data;
    const BoxState state = prepareBox(box, model.g, variance, work, &data);
    if (state != BoxState::kUsable) {
        return failedFit(state == BoxState::kNotFinite ? kNotFinite : kNotASpot, 0);
    }
    double* rest = work + boxDataLength(model.g);
    if (model.depth != nullptr) {
        return fitWith<Shape::kDepth>(data, model, rest);
    }
    if (model.fitSigma && model.sigmaY > 0.0) {
        return fitWith<Shape::kEllipse>(data, model, rest);
    }
    return model.fitSigma ? fitWith<Shape::kFittedWidth>(data, model, rest)
                          : fitWith<Shape::kFixedWidth>(data, model, rest);
}

template <class T>
void fitBoxes(const BoxSet<T>& set, const SpotModel& model, const FitTargets& targets,
              int threads) {
    const int64_t count = set.count;
    const int64_t pixels = static_cast<int64_t>(model.g) * model.g;
    const int params = model.params();
    fitEach(count, threads, fitWorkLength(model.g), [&](int64_t k, double* work) {
        const BoxFit fit =
            fitBox(set.boxes + k * pixels, varianceOfBox(set.variance, k, pixels), model, work);
        for (int p = 0; p < params; ++p) {
            targets.params[k + p * count] = fit.params[p];
            targets.crlb[k + p * count] = fit.crlb[p];
        }
        targets.logLikelihoodRatio[k] = fit.logLikelihoodRatio;
        targets.status[k] = fit.status;
    });
}

template BoxFit fitBox<float>(const float*, const ReadVariance&, const SpotModel&, double*);
template BoxFit fitBox<double>(const double*, const ReadVariance&, const SpotModel&, double*);
template void fitBoxes<float>(const BoxSet<float>&, const SpotModel&, const FitTargets&, int);
template void fitBoxes<double>(const BoxSet<double>&, const SpotModel&, const FitTargets&, int);
