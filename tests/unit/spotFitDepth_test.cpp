// spotFit with a depth calibration: the defocus curves and their derivatives, the fit at the
// likelihood's maximum and the bound, the ends of the calibrated range, and the psf's checks.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "depth.h"
#include "fit.h"
#include "independent_model.h"
#include "standin_host.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

// Curves like a cylindrical lens's: foci 500 nm apart, a little asymmetry.
const DepthCalibration kLens{{1.3, 1.25},   {-250, 250},  {450, 430},
                             {0.08, -0.05}, {0.02, 0.03}, {-700, 700}};

// The width along `axis` at depth z, written out from the curve's definition.
double width(int axis, double z) {
    const double u = (z - kLens.c[axis]) / kLens.d[axis];
    return kLens.sigma0[axis] *
           std::sqrt(1 + u * u + kLens.a[axis] * u * u * u + kLens.b[axis] * u * u * u * u);
}

// Expected photons of pixel p = i + g j for theta = x, y, photons, background, z.
double expected(const std::vector<double>& theta, int p, int g) {
    return theta[3] + theta[2] * independent::share(p % g, theta[0], width(0, theta[4])) *
                          independent::share(p / g, theta[1], width(1, theta[4]));
}

std::vector<double> poissonBox(const std::vector<double>& theta, int g, std::mt19937& rng) {
    std::vector<double> box(g * g);
    for (int p = 0; p < g * g; ++p) {
        box[p] = std::poisson_distribution<int>(expected(theta, p, g))(rng);
    }
    return box;
}

BoxFit fit(const std::vector<double>& box, int g, const DepthCalibration& lens = kLens) {
    std::vector<double> work(fitWorkLength(g));
    return fitBox(box.data(), SpotModel{g, 0.0, false, &lens}, work.data());
}

TEST(Depth, WidthsAndTheAxisDerivativesFollowTheCurves) {
    const int g = 9;
    std::vector<double> memory(kAxisArrays * (g + 1));
    const AxisModel axis = axisIn(memory.data(), g);
    for (int a = 0; a < 2; ++a) {
        for (double z : {-650.0, -250.0, 0.0, 180.0, 600.0}) {
            const double h = 0.05;
            const WidthAtDepth w = widthAt(kLens, a, z);
            EXPECT_NEAR(w.sigma, width(a, z), 1e-12);
            EXPECT_NEAR(w.slope, (width(a, z + h) - width(a, z - h)) / (2 * h), 1e-11);
            EXPECT_NEAR(w.curvature,
                        (width(a, z + h) - 2 * width(a, z) + width(a, z - h)) / (h * h), 1e-10);
            const double centre = 3.7;
            integrateAxis(centre, w.sigma, g, true, axis);
            alongDepth(w, g, true, axis);
            // Against differences of the shares written out again, at depths h apart.
            for (int i = 0; i < g; ++i) {
                const auto at = [&](double c, double depth) {
                    return independent::share(i, c, width(a, depth));
                };
                const double byDepth = (at(centre, z + h) - at(centre, z - h)) / (2 * h);
                const double byDepthDepth =
                    (at(centre, z + h) - 2 * at(centre, z) + at(centre, z - h)) / (h * h);
                const double k = 1e-4;
                const double byCentreDepth = (at(centre + k, z + h) - at(centre + k, z - h) -
                                              at(centre - k, z + h) + at(centre - k, z - h)) /
                                             (4 * k * h);
                EXPECT_NEAR(axis.byDepth[i], byDepth, 1e-10) << a << " " << z << " " << i;
                EXPECT_NEAR(axis.byDepthDepth[i], byDepthDepth, 1e-10) << a << " " << z;
                EXPECT_NEAR(axis.byCentreDepth[i], byCentreDepth, 1e-9) << a << " " << z;
            }
        }
    }
}

TEST(Depth, TheFitIsTheLikelihoodsMaximumWithItsBounds) {
    // Above, between and below the foci, and with a neighbour's light in a corner, which
    // takes the fit to Newton's steps on the observed information.
    std::mt19937 rng(3);
    const int g = 13;
    for (double z : {-420.0, -30.0, 260.0, 510.0, -150.0}) {
        const bool neighbour = z == -150.0;
        const std::vector<double> truth = {6.3, 5.6, 1500, 8, z};
        std::vector<double> box = poissonBox(truth, g, rng);
        if (neighbour) {
            const auto other = poissonBox({12.0, 0.5, 2500, 1e-9, 100.0}, g, rng);
            for (int p = 0; p < g * g; ++p) {
                box[p] += other[p];
            }
        }
        const BoxFit result = fit(box, g);
        ASSERT_EQ(result.status, kConverged) << z;
        const std::vector<double> theta(result.params, result.params + 5);
        const auto model = [=](const std::vector<double>& t, int p) { return expected(t, p, g); };
        const double best = independent::logLikelihood(box, model, theta);
        for (int k = 0; k < 5; ++k) {
            for (double move : {-1e-3, 1e-3}) {
                auto moved = theta;
                moved[k] += move * std::fmax(1.0, std::fabs(theta[k]));
                EXPECT_LT(independent::logLikelihood(box, model, moved), best) << z << " " << k;
            }
        }
        const std::vector<double> bounds = independent::bounds(model, theta, g * g, 5);
        for (int k = 0; k < 5; ++k) {
            EXPECT_NEAR(result.crlb[k] / bounds[k], 1.0, 1e-4) << z << " " << k;
        }
    }
}

TEST(Ellipse, FitsAWidthAlongEachAxisAtTheLikelihoodsMaximumWithItsBounds) {
    // The fit a depth calibration is measured with: theta = x, y, photons, background, sigma x,
    // sigma y. Also the same widths held fixed.
    std::mt19937 rng(9);
    const int g = 11;
    const auto model = [=](const std::vector<double>& t, int p) {
        return t[3] +
               t[2] * independent::share(p % g, t[0], t[4]) * independent::share(p / g, t[1], t[5]);
    };
    for (const auto& truth : {std::vector<double>{5.2, 4.7, 5000, 6, 1.2, 2.1},
                              std::vector<double>{4.6, 5.4, 20000, 20, 2.6, 1.3}}) {
        std::vector<double> box(g * g);
        for (int p = 0; p < g * g; ++p) {
            box[p] = std::poisson_distribution<int>(model(truth, p))(rng);
        }
        std::vector<double> work(fitWorkLength(g));
        for (bool fitted : {true, false}) {
            const SpotModel spot{g, 1.5, fitted, nullptr, fitted ? 1.6 : truth[5]};
            const SpotModel fixed{g, truth[4], false, nullptr, truth[5]};
            const BoxFit result = fitBox(box.data(), fitted ? spot : fixed, work.data());
            ASSERT_EQ(result.status, kConverged);
            const int params = fitted ? 6 : 4;
            std::vector<double> theta(result.params, result.params + 6);
            if (!fitted) {
                theta[4] = truth[4];
                theta[5] = truth[5];
            }
            const double best = independent::logLikelihood(box, model, theta);
            for (int k = 0; k < params; ++k) {
                for (double move : {-1e-3, 1e-3}) {
                    auto moved = theta;
                    moved[k] += move * std::fmax(1.0, std::fabs(theta[k]));
                    EXPECT_LT(independent::logLikelihood(box, model, moved), best) << k;
                }
            }
            const std::vector<double> bounds = independent::bounds(model, theta, g * g, params);
            for (int k = 0; k < params; ++k) {
                EXPECT_NEAR(result.crlb[k] / bounds[k], 1.0, 1e-4) << fitted << " " << k;
            }
        }
    }
}

TEST(Depth, RecoversPositionAndDepthWithinTheBound) {
    // 800 photons on 5, depths over +-400 nm: converged, unbiased in z, spread at the bound.
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    const int g = 13;
    const int boxes = 1500;
    for (double centre : {-300.0, 0.0, 300.0}) {
        int converged = 0;
        double squares[3] = {};
        double boundSquares[3] = {};
        double bias = 0.0;
        for (int k = 0; k < boxes; ++k) {
            const std::vector<double> truth = {6 + offset(rng), 6 + offset(rng), 800, 5,
                                               centre + 200 * offset(rng)};
            const BoxFit result = fit(poissonBox(truth, g, rng), g);
            if (result.status != kConverged) {
                continue;
            }
            ++converged;
            for (int a = 0; a < 3; ++a) {
                const int p = a < 2 ? a : 4;
                squares[a] += std::pow(result.params[p] - truth[p], 2);
                boundSquares[a] += result.crlb[p] * result.crlb[p];
            }
            bias += result.params[4] - truth[4];
        }
        EXPECT_GE(converged, 0.99 * boxes) << centre;
        for (int a = 0; a < 3; ++a) {
            EXPECT_NEAR(std::sqrt(squares[a] / boundSquares[a]), 1.0, 0.08) << centre << " " << a;
        }
        EXPECT_LT(std::fabs(bias / converged), 5.0) << centre;
    }
}

TEST(Depth, ASpotBeyondTheRangeEndsHeldAtItsEnd) {
    std::mt19937 rng(23);
    DepthCalibration narrow = kLens;
    narrow.zRange[0] = -200;
    narrow.zRange[1] = 200;
    for (double z : {-520.0, 480.0}) {
        const BoxFit result = fit(poissonBox({6.2, 5.9, 3000, 5, z}, 13, rng), 13, narrow);
        EXPECT_EQ(result.status, kOutsideDepth) << z;
        EXPECT_EQ(result.params[4], z < 0 ? -200.0 : 200.0);
        EXPECT_NEAR(result.params[0], 6.2, 0.2);
    }
    const BoxFit inside = fit(poissonBox({6.2, 5.9, 3000, 5, 150.0}, 13, rng), 13, narrow);
    EXPECT_EQ(inside.status, kConverged);
}

template <class... Arrays>
std::vector<standin::ArrayPtr> args(Arrays... arrays) {
    std::vector<standin::ArrayPtr> list;
    (list.push_back(std::move(arrays)), ...);
    return list;
}

standin::ArrayPtr pair(double first, double second) {
    return standin::makeFilled<double>(mxDOUBLE_CLASS, {1, 2}, {first, second});
}

// kLens as a struct, with the fields named in `replaced` replaced (left out where null).
standin::ArrayPtr psf(std::vector<std::pair<std::string, standin::ArrayPtr>> replaced = {}) {
    const std::pair<const char*, const double*> fields[] = {
        {"sigma0", kLens.sigma0}, {"c", kLens.c}, {"d", kLens.d},
        {"A", kLens.a},           {"B", kLens.b}, {"zRange", kLens.zRange}};
    std::vector<std::pair<std::string, standin::ArrayPtr>> made;
    for (const auto& [field, values] : fields) {
        standin::ArrayPtr value = pair(values[0], values[1]);
        bool leftOut = false;
        for (auto& [name, other] : replaced) {
            if (name == field) {
                leftOut = other == nullptr;
                value = std::move(other);
            }
        }
        if (!leftOut) {
            made.emplace_back(field, std::move(value));
        }
    }
    return standin::makeStruct(std::move(made));
}

// kLens with one field replaced.
standin::ArrayPtr psf(const std::string& name, standin::ArrayPtr value) {
    std::vector<std::pair<std::string, standin::ArrayPtr>> replaced;
    replaced.emplace_back(name, std::move(value));
    return psf(std::move(replaced));
}

TEST(SpotFitEntry, RefusesEveryUnusablePsf) {
    using standin::makeArray;
    const auto boxes = [] { return makeArray(mxDOUBLE_CLASS, {7, 7, 2}); };
    std::vector<std::vector<standin::ArrayPtr>> cases;
    cases.push_back(args(boxes(), psf("zRange", nullptr)));
    cases.push_back(args(boxes(), psf("A", makeArray(mxDOUBLE_CLASS, {1, 2}, mxCOMPLEX))));
    cases.push_back(args(boxes(), psf("B", pair(0, NAN))));
    cases.push_back(args(boxes(), psf("c", makeArray(mxDOUBLE_CLASS, {2, 1}))));
    cases.push_back(args(boxes(), psf("d", makeArray(mxDOUBLE_CLASS, {1, 3}))));
    cases.push_back(args(boxes(), psf("sigma0", standin::makeText("ab"))));
    cases.push_back(args(boxes(), psf("sigma0", pair(1.2, 0))));
    cases.push_back(args(boxes(), psf("d", pair(-400, 400))));
    cases.push_back(args(boxes(), psf("zRange", pair(300, 300))));
    // Along x, u runs over [-1, 2.1]: 1 + u^2 + A u^3 + B u^4 falls to 0 at u = 1.15 with
    // A = -1.5, and at u = 1.65 with B = -0.5.
    cases.push_back(args(boxes(), psf("A", pair(-1.5, 0))));
    cases.push_back(args(boxes(), psf("B", pair(-0.5, 0))));
    // Above 0 at both ends of u's [-1, 3.5] and below it between (1 + u^2 - 2.2 u^3 + 0.6 u^4
    // is -1.1 at u = 1.5): only the bracket's turning points tell.
    std::vector<std::pair<std::string, standin::ArrayPtr>> dips;
    dips.emplace_back("A", pair(-2.2, -0.05));
    dips.emplace_back("B", pair(0.6, 0.03));
    dips.emplace_back("zRange", pair(-700, 1325));
    cases.push_back(args(boxes(), psf(std::move(dips))));
    cases.push_back(args(boxes(), psf(), standin::makeScalar(1)));
    for (auto& inputs : cases) {
        std::vector<const mxArray*> raw;
        for (const auto& input : inputs) {
            raw.push_back(input.get());
        }
        const auto result = standin::call(mexFunction, "spotFit", 1, raw);
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.identifier, "spotFit:BadPsf") << result.message;
        EXPECT_EQ(result.arraysAtError, 0u);
    }
    // Curves whose bracket turns only beyond the range are accepted, and [] for fitSigma lets
    // a read variance follow.
    std::vector<std::pair<std::string, standin::ArrayPtr>> turnsBeyond;
    turnsBeyond.emplace_back("A", pair(-1.5, 0));
    turnsBeyond.emplace_back("zRange", pair(-200, 200));
    auto inputs = args(boxes(), psf(std::move(turnsBeyond)), makeArray(mxDOUBLE_CLASS, {0, 0}),
                       standin::makeScalar(2));
    std::vector<const mxArray*> raw;
    for (const auto& input : inputs) {
        raw.push_back(input.get());
    }
    const auto result = standin::call(mexFunction, "spotFit", 4, raw);
    ASSERT_FALSE(result.failed) << result.message;
    EXPECT_EQ(standin::dimsOf(result.outputs[0].get()), (std::vector<size_t>{2, 5}));
}

}  // namespace
