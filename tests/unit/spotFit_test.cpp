#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fit.h"
#include "independent_model.h"
#include "standin_host.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

// Expected photons of box pixel (i, j) for theta = x, y, photons, background, sigma.
double expected(const std::vector<double>& theta, int i, int j) {
    return theta[3] + theta[2] * independent::share(i, theta[0], theta[4]) *
                          independent::share(j, theta[1], theta[4]);
}

double logLikelihood(const std::vector<double>& box, int g, const std::vector<double>& theta,
                     const std::vector<double>& read = {}) {
    const auto model = [g](const std::vector<double>& t, int p) {
        return expected(t, p % g, p / g);
    };
    return independent::logLikelihood(box, model, theta, read);
}

std::vector<double> boundsAt(const std::vector<double>& theta, int g, int params,
                             const std::vector<double>& read = {}) {
    const auto model = [g](const std::vector<double>& t, int p) {
        return expected(t, p % g, p / g);
    };
    return independent::bounds(model, theta, g * g, params, read);
}

std::vector<double> poissonBox(const std::vector<double>& theta, int g, std::mt19937& rng) {
    std::vector<double> box(g * g);
    for (int p = 0; p < g * g; ++p) {
        box[p] = std::poisson_distribution<int>(expected(theta, p % g, p / g))(rng);
    }
    return box;
}

BoxFit fit(const std::vector<double>& box, int g, double sigma, bool fitSigma = false,
           const std::vector<double>& read = {}) {
    std::vector<double> work(fitWorkLength(g));
    const ReadVariance variance{read.empty() ? nullptr : read.data(), false, true};
    return fitBox(box.data(), variance, SpotModel{g, sigma, fitSigma}, work.data());
}

// Read variance per pixel as a scientific CMOS camera has it, in photons squared: log-normal
// around 1.5 photons rms, with one pixel in a hundred far noisier (above 6 rms).
std::vector<double> readVarianceBox(int g, std::mt19937& rng) {
    std::lognormal_distribution<double> rms(std::log(1.5), 0.3);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<double> read(g * g);
    for (double& r : read) {
        const double sd = chance(rng) < 0.01 ? 6.0 + 4.0 * chance(rng) : rms(rng);
        r = sd * sd;
    }
    return read;
}

// A box of a camera with read noise: Poisson photons plus Gaussian read noise of variance r.
std::vector<double> cameraBox(const std::vector<double>& theta, int g,
                              const std::vector<double>& read, std::mt19937& rng) {
    std::vector<double> box = poissonBox(theta, g, rng);
    for (int p = 0; p < g * g; ++p) {
        box[p] += std::normal_distribution<double>(0.0, std::sqrt(read[p]))(rng);
    }
    return box;
}

TEST(FitBox, ReachesTheBoundOnSimulatedSpots) {
    // 2000 boxes of 7x7, 1000 photons on 10 per pixel, centres within half a pixel of the
    // middle: unbiased, and as precise as the bound allows.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    const int g = 7;
    const int boxes = 2000;
    double sum[2] = {};
    double squares[2] = {};
    double photons = 0.0;
    int converged = 0;
    for (int k = 0; k < boxes; ++k) {
        const std::vector<double> truth = {3 + offset(rng), 3 + offset(rng), 1000, 10, 1.3};
        const BoxFit result = fit(poissonBox(truth, g, rng), g, 1.3);
        if (result.status != kConverged) {
            continue;
        }
        ++converged;
        for (int a = 0; a < 2; ++a) {
            const double error = result.params[a] - truth[a];
            sum[a] += error;
            squares[a] += error * error;
        }
        photons += result.params[2];
    }
    EXPECT_GE(converged, 0.99 * boxes);
    const double bound = boundsAt({3, 3, 1000, 10, 1.3}, g, 4)[0];
    for (int a = 0; a < 2; ++a) {
        const double bias = sum[a] / converged;
        EXPECT_LT(std::fabs(bias), 0.01) << a;
        EXPECT_NEAR(std::sqrt(squares[a] / converged - bias * bias) / bound, 1.0, 0.05) << a;
    }
    EXPECT_NEAR(photons / converged / 1000.0, 1.0, 0.015);
}

TEST(FitBox, FindsTheLikelihoodsMaximumAndItsBoundsWithOrWithoutTheWidth) {
    // Also with a neighbour's light in a corner, which the model does not know of: with a fixed
    // width the fit then takes Newton steps after the first few.
    std::mt19937 rng(11);
    for (bool fitSigma : {false, true}) {
        for (int g : {5, 7, 9, -7, -9}) {
            const bool neighbour = g < 0;
            g = neighbour ? -g : g;
            if (neighbour && fitSigma) {
                continue;  // Fisher scoring alone: it may crawl there for more than 50 steps
            }
            const std::vector<double> truth = {g / 2.0 - 0.3, g / 2.0 - 0.8, 2000, 8, 1.2};
            std::vector<double> box = poissonBox(truth, g, rng);
            if (neighbour) {
                const auto other = poissonBox({g - 0.5, 0.0, 3000, 1e-9, 1.2}, g, rng);
                for (int p = 0; p < g * g; ++p) {
                    box[p] += other[p];
                }
            }
            const BoxFit result = fit(box, g, fitSigma ? 1.0 : 1.2, fitSigma);
            const int params = fitSigma ? 5 : 4;
            ASSERT_EQ(result.status, kConverged) << g << " " << fitSigma;
            if (neighbour) {
                // Newton steps after four of Fisher scoring: 5 here, where Fisher scoring alone
                // takes 7 (g = 7) and 6.
                EXPECT_GT(result.iterations, 4) << g;
                EXPECT_LE(result.iterations, 6) << g;
            }
            std::vector<double> theta(result.params, result.params + 5);
            theta[4] = fitSigma ? theta[4] : 1.2;
            // No small move of any parameter raises the likelihood: the derivatives are right.
            const double best = logLikelihood(box, g, theta);
            for (int k = 0; k < params; ++k) {
                for (double move : {-1e-3, 1e-3}) {
                    auto moved = theta;
                    moved[k] += move * std::fmax(1.0, std::fabs(theta[k]));
                    EXPECT_LT(logLikelihood(box, g, moved), best) << g << " " << k;
                }
            }
            const std::vector<double> bounds = boundsAt(theta, g, params);
            for (int k = 0; k < params; ++k) {
                EXPECT_NEAR(result.crlb[k] / bounds[k], 1.0, 1e-5) << g << " " << k;
            }
            double ratio = 0.0;
            for (int p = 0; p < g * g; ++p) {
                const double mu = expected(theta, p % g, p / g);
                ratio += box[p] > 0 ? mu - box[p] + box[p] * std::log(box[p] / mu) : mu;
            }
            EXPECT_NEAR(result.logLikelihoodRatio, 2.0 * ratio, 1e-9 * ratio);
        }
    }
}

TEST(FitBox, ReportsWhatIsNoSpot) {
    const int g = 7;
    std::vector<double> box(g * g, 0.0);
    EXPECT_EQ(fit(box, g, 1.3).status, kNotASpot);  // no photons
    box.assign(g * g, -5.0);
    EXPECT_EQ(fit(box, g, 1.3).status, kNotASpot);  // below zero counts as none
    // Photons all in one corner, rising out of the box: the spot lies outside.
    for (int p = 0; p < g * g; ++p) {
        box[p] = std::exp(1.5 * (p % g + p / g));
    }
    const BoxFit outside = fit(box, g, 1.0);
    EXPECT_EQ(outside.status, kNotASpot);
    EXPECT_TRUE(std::isnan(outside.params[0]) && std::isnan(outside.crlb[3]) &&
                std::isnan(outside.logLikelihoodRatio));
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL}) {
        box.assign(g * g, 10.0);
        box[24] = bad;
        const BoxFit result = fit(box, g, 1.3);
        EXPECT_EQ(result.status, kNotFinite);
        EXPECT_TRUE(std::isnan(result.params[1]) && std::isnan(result.crlb[0]));
    }
}

TEST(FitBox, CountsValuesBelowZeroAsZero) {
    std::mt19937 rng(2);
    std::vector<double> box = poissonBox({3.1, 2.8, 800, 1, 1.3}, 7, rng);
    std::vector<double> negative = box;
    for (int p : {0, 6, 13, 48}) {
        box[p] = 0.0;
        negative[p] = -7.5;
    }
    const BoxFit zero = fit(box, 7, 1.3);
    const BoxFit below = fit(negative, 7, 1.3);
    ASSERT_EQ(zero.status, kConverged);
    EXPECT_EQ(std::memcmp(&zero, &below, sizeof zero), 0);
    // Pixels with no photons add 2 mu to the ratio.
    const std::vector<double> theta(zero.params, zero.params + 5);
    double ratio = 0.0;
    for (int p = 0; p < 49; ++p) {
        const double mu = expected({theta[0], theta[1], theta[2], theta[3], 1.3}, p % 7, p / 7);
        ratio += box[p] > 0 ? mu - box[p] + box[p] * std::log(box[p] / mu) : mu;
    }
    EXPECT_NEAR(zero.logLikelihoodRatio, 2.0 * ratio, 1e-9 * ratio);
}

// Whether no small move of any parameter (ten times the convergence tolerance) raises the
// likelihood, the background kept at or above its least value (1e-8 of the power of two at or
// above the box's largest value).
bool atLikelihoodsMaximum(const std::vector<double>& box, int g, const BoxFit& result, double sigma,
                          int params, const std::vector<double>& read = {}) {
    int exponent = 0;
    double largest = 0.0;
    for (int p = 0; p < g * g; ++p) {
        largest = std::fmax(largest, box[p] + (read.empty() ? 0.0 : read[p]));
    }
    const double mantissa = std::frexp(largest, &exponent);
    const double least = 1e-8 * std::ldexp(1.0, exponent - (mantissa == 0.5 ? 1 : 0));
    std::vector<double> theta(result.params, result.params + 5);
    theta[4] = params == 5 ? theta[4] : sigma;
    const double best = logLikelihood(box, g, theta, read);
    for (int k = 0; k < params; ++k) {
        for (double move : {-1e-3, 1e-3}) {
            auto moved = theta;
            moved[k] += move * std::fmax(1.0, std::fabs(theta[k]));
            if (k == 3 && moved[3] < least) {
                moved[3] = least;
            }
            if (logLikelihood(box, g, moved, read) > best + 1e-12 * std::fabs(best)) {
                return false;
            }
        }
    }
    return true;
}

TEST(FitBox, ConvergesOnlyAtTheMaximumWithTheBackgroundAtItsLeast) {
    // A hot pixel of 100 photons on nothing: the maximum holds the background at its least and
    // puts 101.4 photons in a spot of width 1.3 centred on it.
    const int g = 7;
    std::vector<double> box(g * g, 0.0);
    box[3 + g * 3] = 100.0;
    const BoxFit hot = fit(box, g, 1.3);
    ASSERT_EQ(hot.status, kConverged);
    EXPECT_NEAR(hot.params[2], 101.43, 0.01);
    EXPECT_LT(hot.params[3], 1e-5);
    EXPECT_TRUE(atLikelihoodsMaximum(box, g, hot, 1.3, 4));
    // Bright spots near the box's edge on little background, with and without the width: many
    // end with the background at its least, and every one converges, at the maximum (with the
    // width, a Newton step taken far from it would send a few in a thousand out of the box).
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    for (double background : {0.05, 0.3}) {
        for (bool fitSigma : {false, true}) {
            int atLeast = 0;
            for (int k = 0; k < (fitSigma ? 4000 : 400); ++k) {
                const std::vector<double> truth = {5.0 + offset(rng), 3 + offset(rng), 1000,
                                                   background, 1.3};
                box = poissonBox(truth, g, rng);
                const BoxFit result = fit(box, g, fitSigma ? 1.0 : 1.3, fitSigma);
                ASSERT_EQ(result.status, kConverged) << background << " " << fitSigma << " " << k;
                atLeast += result.params[3] < 1e-4;
                ASSERT_TRUE(atLikelihoodsMaximum(box, g, result, 1.3, fitSigma ? 5 : 4))
                    << background << " " << fitSigma << " " << k;
            }
            EXPECT_GT(atLeast, background < 0.1 ? 100 : 10) << background << " " << fitSigma;
        }
    }
    // Faint spots with the width fitted, which Fisher scoring alone leaves still moving now
    // and then, and Newton steps taken far from the maximum send out of the box: all converge.
    int notConverged = 0;
    for (int k = 0; k < 20000; ++k) {
        box = poissonBox({3 + offset(rng), 3 + offset(rng), 200, 5, 1.3}, g, rng);
        notConverged += fit(box, g, 1.0, true).status != kConverged;
    }
    EXPECT_EQ(notConverged, 0);
}

TEST(FitBox, ASingularInformationIsNoSpot) {
    // A hot pixel on a flat background, the width fitted: the width collapses onto the pixel,
    // where the position is no longer known at all.
    const int g = 7;
    for (double background : {10.0, 0.0}) {
        std::vector<double> box(g * g, background);
        box[3 + g * 3] += 100.0;
        const BoxFit result = fit(box, g, 1.3, true);
        EXPECT_EQ(result.status, kNotASpot) << background << " " << result.params[4];
        EXPECT_TRUE(std::isnan(result.crlb[0]));
    }
}

TEST(FitBox, FitsABoxInAnyUnitAlike) {
    // Poisson maximum likelihood is equivariant in scale: counts times c give photons and
    // background times c, the same position and width, bounds on photons and background times
    // sqrt(c) and on the rest over sqrt(c), and the ratio times c.
    std::mt19937 rng(23);
    const int g = 7;
    const std::vector<double> spot = poissonBox({3.2, 2.9, 1000, 10, 1.3}, g, rng);
    const std::vector<double> flat(g * g, 10.0);
    for (bool fitSigma : {false, true}) {
        const int params = fitSigma ? 5 : 4;
        const BoxFit one = fit(spot, g, 1.3, fitSigma);
        ASSERT_EQ(one.status, kConverged);
        for (double c : {0x1p-1000, 1e-300, 3.0, 1e13, 1e150, 1e200, 1e300}) {
            std::vector<double> scaled = spot;
            std::vector<double> flatScaled = flat;
            for (int p = 0; p < g * g; ++p) {
                scaled[p] *= c;
                flatScaled[p] *= c;
            }
            const BoxFit other = fit(scaled, g, 1.3, fitSigma);
            ASSERT_EQ(other.status, kConverged) << c;
            for (int k = 0; k < params; ++k) {
                const bool amount = k == 2 || k == 3;
                EXPECT_NEAR(other.params[k] / (amount ? c : 1.0), one.params[k],
                            1e-9 * std::fabs(one.params[k]))
                    << c << " " << k;
                EXPECT_NEAR(other.crlb[k] / (amount ? std::sqrt(c) : 1.0 / std::sqrt(c)),
                            one.crlb[k], 1e-7 * one.crlb[k])
                    << c << " " << k;
            }
            EXPECT_NEAR(other.logLikelihoodRatio / c, one.logLikelihoodRatio,
                        1e-7 * one.logLikelihoodRatio)
                << c;
            // A flat box holds no spot in any unit.
            EXPECT_EQ(fit(flatScaled, g, 1.3, fitSigma).status, kNotASpot) << c;
        }
        // Below the least unit (subnormal values) and on no background, which goes to its
        // least: whatever is fitted stays above 0 when scaled back.
        std::vector<double> tiny = poissonBox({3.2, 2.9, 1000, 0.0, 1.3}, g, rng);
        for (double& value : tiny) {
            value = std::ldexp(value, -1070);
        }
        const BoxFit least = fit(tiny, g, 1.3, fitSigma);
        if (least.status <= kStillMoving) {
            EXPECT_TRUE(least.params[2] > 0.0 && least.params[3] > 0.0);
        }
    }
}

TEST(FitBox, WithReadVarianceMaximisesTheCameraLikelihoodAtItsBound) {
    // Each pixel's read variance: the estimate maximises sum(c log(mu + r) - (mu + r)) with
    // c = max(d + r, 0), the bounds are those of sum(J J' / (mu + r)), the ratio is the
    // definition's, with and without the width; and over many boxes the spread of x is the
    // bound's. A pixel of infinite read variance, near the spot and of a wild value, is left
    // out of all of them.
    std::mt19937 rng(29);
    const int g = 7;
    for (bool fitSigma : {false, true}) {
        const int params = fitSigma ? 5 : 4;
        std::vector<double> read = readVarianceBox(g, rng);
        std::vector<double> box = cameraBox({3.3, 2.6, 600, 4, 1.3}, g, read, rng);
        read[2 + 3 * g] = INFINITY;
        box[2 + 3 * g] = 1e9;
        const BoxFit result = fit(box, g, fitSigma ? 1.0 : 1.3, fitSigma, read);
        ASSERT_EQ(result.status, kConverged) << fitSigma;
        EXPECT_TRUE(atLikelihoodsMaximum(box, g, result, 1.3, params, read)) << fitSigma;
        std::vector<double> theta(result.params, result.params + 5);
        theta[4] = fitSigma ? theta[4] : 1.3;
        const std::vector<double> bounds = boundsAt(theta, g, params, read);
        for (int k = 0; k < params; ++k) {
            EXPECT_NEAR(result.crlb[k] / bounds[k], 1.0, 1e-5) << fitSigma << " " << k;
        }
        double ratio = 0.0;
        for (int p = 0; p < g * g; ++p) {
            const double m = expected(theta, p % g, p / g) + read[p];
            const double c = std::fmax(box[p] + read[p], 0.0);
            ratio += std::isinf(m) ? 0.0 : c > 0 ? m - c + c * std::log(c / m) : m;
        }
        EXPECT_NEAR(result.logLikelihoodRatio, 2.0 * ratio, 1e-9 * ratio) << fitSigma;
    }
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    for (auto [photons, background] : {std::pair{1000.0, 10.0}, std::pair{200.0, 5.0}}) {
        const int boxes = 3000;
        double squares = 0.0;
        double bounds = 0.0;
        int converged = 0;
        for (int k = 0; k < boxes; ++k) {
            const std::vector<double> read = readVarianceBox(g, rng);
            const std::vector<double> truth = {3 + offset(rng), 3 + offset(rng), photons,
                                               background, 1.3};
            const BoxFit result = fit(cameraBox(truth, g, read, rng), g, 1.3, false, read);
            if (result.status != kConverged) {
                continue;
            }
            ++converged;
            squares += (result.params[0] - truth[0]) * (result.params[0] - truth[0]);
            bounds += std::pow(boundsAt(truth, g, 4, read)[0], 2);
        }
        EXPECT_GE(converged, 0.99 * boxes) << photons;
        EXPECT_NEAR(std::sqrt(squares / bounds), 1.0, 0.05) << photons;
    }
}

TEST(FitBoxes, GiveTheSameFitsOnAnyNumberOfThreadsFromSingleOrDoubleBoxes) {
    std::mt19937 rng(5);
    const int g = 7;
    const int count = 300;
    std::vector<double> doubles;
    for (int k = 0; k < count; ++k) {
        const std::vector<double> truth = {3.2, 2.9, 50.0 + 10 * (k % 40), 5.0 + k % 7, 1.3};
        const auto box = poissonBox(truth, g, rng);
        doubles.insert(doubles.end(), box.begin(), box.end());
    }
    doubles[49 * 3 + 4] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<float> singles(doubles.begin(), doubles.end());
    auto fitAll = [&](bool single, int threads) {
        std::vector<double> out(count * 12);
        const FitTargets targets{out.data(), out.data() + 5 * count, out.data() + 10 * count,
                                 out.data() + 11 * count};
        const SpotModel model{g, 1.3, true};
        if (single) {
            fitBoxes(BoxSet<float>{singles.data(), count, {}}, model, targets, threads);
        } else {
            fitBoxes(BoxSet<double>{doubles.data(), count, {}}, model, targets, threads);
        }
        return out;
    };
    const std::vector<double> serial = fitAll(false, 1);
    EXPECT_EQ(serial[11 * count + 3], kNotFinite);
    for (auto [single, threads] : {std::pair{false, 3}, std::pair{true, 1}, std::pair{true, 4}}) {
        const std::vector<double> other = fitAll(single, threads);
        EXPECT_EQ(std::memcmp(other.data(), serial.data(), serial.size() * sizeof(double)), 0)
            << single << " " << threads;
    }
}

template <class... Arrays>
std::vector<standin::ArrayPtr> args(Arrays... arrays) {
    std::vector<standin::ArrayPtr> list;
    (list.push_back(std::move(arrays)), ...);
    return list;
}

standin::CallResult callSpotFit(int nlhs, const std::vector<standin::ArrayPtr>& inputs) {
    std::vector<const mxArray*> raw;
    for (const auto& input : inputs) {
        raw.push_back(input.get());
    }
    return standin::call(mexFunction, "spotFit", nlhs, raw);
}

TEST(SpotFitEntry, ChecksItsArgumentsInOrder) {
    using standin::makeArray;
    using standin::makeScalar;
    const auto ok = [] { return makeArray(mxDOUBLE_CLASS, {5, 5, 2}); };
    struct Case {
        std::vector<standin::ArrayPtr> inputs;
        const char* identifier;
    };
    std::vector<Case> cases;
    cases.push_back({args(), "spotFit:WrongNumberOfInputs"});
    cases.push_back({args(makeArray(mxINT16_CLASS, {5, 5}), makeScalar(1), makeScalar(1),
                          makeScalar(1), makeScalar(1)),
                     "spotFit:WrongNumberOfInputs"});
    cases.push_back({args(makeArray(mxINT16_CLASS, {2, 5}), makeScalar(NAN)), "spotFit:WrongType"});
    cases.push_back(
        {args(makeArray(mxDOUBLE_CLASS, {5, 5}, mxCOMPLEX), makeScalar(1)), "spotFit:WrongType"});
    cases.push_back({args(ok(), makeArray(mxDOUBLE_CLASS, {1, 3})), "spotFit:WrongType"});
    cases.push_back({args(ok(), makeArray(mxDOUBLE_CLASS, {2, 1})), "spotFit:WrongType"});
    cases.push_back({args(ok(), standin::makeText("a")), "spotFit:WrongType"});
    cases.push_back(
        {args(ok(), makeScalar(1), makeArray(mxCELL_CLASS, {1, 1})), "spotFit:WrongType"});
    cases.push_back(
        {args(makeArray(mxSINGLE_CLASS, {5, 4}), makeScalar(NAN)), "spotFit:WrongSize"});
    cases.push_back({args(makeArray(mxSINGLE_CLASS, {2, 2}), makeScalar(1)), "spotFit:WrongSize"});
    cases.push_back(
        {args(makeArray(mxDOUBLE_CLASS, {5, 5, 2, 2}), makeScalar(1)), "spotFit:WrongSize"});
    for (double sigma : {0.0, -1.0, 5.01, double(NAN), double(INFINITY)}) {
        cases.push_back({args(ok(), makeScalar(sigma)), "spotFit:BadSigma"});
    }
    // The read variance's checks come after all of those.
    cases.push_back({args(ok(), makeScalar(0), makeScalar(0), makeArray(mxINT16_CLASS, {1, 1})),
                     "spotFit:BadSigma"});
    cases.push_back({args(ok(), makeScalar(1), makeScalar(0), makeArray(mxINT16_CLASS, {1, 1})),
                     "spotFit:WrongType"});
    cases.push_back({args(ok(), makeScalar(1), makeScalar(0), makeArray(mxDOUBLE_CLASS, {5, 5})),
                     "spotFit:WrongSize"});
    cases.push_back(
        {args(ok(), makeScalar(1), makeScalar(0), makeArray(mxSINGLE_CLASS, {5, 5, 2, 1, 2})),
         "spotFit:WrongSize"});
    cases.push_back(
        {args(ok(), makeScalar(1), makeScalar(0), makeArray(mxDOUBLE_CLASS, {25, 1, 2})),
         "spotFit:WrongSize"});
    for (double bad : {-1e-300, double(NAN), -double(INFINITY)}) {
        std::vector<double> values(50, 1.0);
        values[49] = bad;
        cases.push_back({args(ok(), makeScalar(1), makeScalar(0),
                              standin::makeFilled<double>(mxDOUBLE_CLASS, {5, 5, 2}, values)),
                         "spotFit:BadVariance"});
    }
    for (const Case& c : cases) {
        const auto result = callSpotFit(1, c.inputs);
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.identifier, c.identifier) << result.message;
        EXPECT_EQ(result.arraysAtError, 0u) << c.identifier;
    }
    // Accepted: sigma equal to g, a logical fitSigma, and no boxes at all.
    std::vector<standin::ArrayPtr> inputs;
    inputs.push_back(makeArray(mxSINGLE_CLASS, {5, 5, 0}));
    inputs.push_back(makeScalar(5));
    inputs.push_back(makeArray(mxLOGICAL_CLASS, {1, 1}));
    const auto result = callSpotFit(4, inputs);
    ASSERT_FALSE(result.failed) << result.message;
    EXPECT_EQ(standin::dimsOf(result.outputs[0].get()), (std::vector<size_t>{0, 4}));
    EXPECT_EQ(result.strayArrays, 0u);
    // A read variance of 0, as a scalar or an array of either class, is no read variance at
    // all, bit for bit; one that is not changes the fits.
    std::mt19937 rng(31);
    std::vector<double> values;
    for (int k = 0; k < 20; ++k) {
        const auto box = poissonBox({3.1, 2.8, 400.0 + 50 * k, 6, 1.3}, 7, rng);
        values.insert(values.end(), box.begin(), box.end());
    }
    auto fitted = [&](standin::ArrayPtr variance) {
        std::vector<standin::ArrayPtr> in;
        in.push_back(standin::makeFilled<double>(mxDOUBLE_CLASS, {7, 7, 20}, values));
        in.push_back(makeScalar(1.3));
        in.push_back(makeScalar(0));
        if (variance != nullptr) {
            in.push_back(std::move(variance));
        }
        const auto out = callSpotFit(4, in);
        EXPECT_FALSE(out.failed) << out.message;
        std::vector<double> all;
        for (int k = 0; k < 4 && !out.failed; ++k) {
            const auto* data = static_cast<const double*>(mxGetData(out.outputs[k].get()));
            all.insert(all.end(), data, data + mxGetNumberOfElements(out.outputs[k].get()));
        }
        return all;
    };
    const std::vector<double> plain = fitted(nullptr);
    ASSERT_EQ(plain.size(), 20u * 10);
    for (int form = 0; form < 3; ++form) {
        const std::vector<double> same =
            fitted(form == 0 ? makeScalar(0)
                             : makeArray(form == 1 ? mxSINGLE_CLASS : mxDOUBLE_CLASS, {7, 7, 20}));
        ASSERT_EQ(same.size(), plain.size());
        EXPECT_EQ(std::memcmp(same.data(), plain.data(), plain.size() * sizeof(double)), 0) << form;
    }
    EXPECT_NE(fitted(makeScalar(2.25)), plain);
    // A read variance for every pixel of every box: each box is fitted with its own.
    std::vector<float> read;
    for (int k = 0; k < 20; ++k) {
        const auto box = readVarianceBox(7, rng);
        read.insert(read.end(), box.begin(), box.end());
    }
    const std::vector<double> each =
        fitted(standin::makeFilled<float>(mxSINGLE_CLASS, {7, 7, 20}, read));
    ASSERT_EQ(each.size(), plain.size());
    std::vector<double> work(fitWorkLength(7));
    for (int k = 0; k < 20; ++k) {
        const ReadVariance own{read.data() + 49 * k, true, true};
        const BoxFit alone =
            fitBox(values.data() + 49 * k, own, SpotModel{7, 1.3, false}, work.data());
        EXPECT_EQ(each[k], alone.params[0]) << k;
    }

    // No boxes of the largest side: empty outputs, no work memory sought for that side.
    inputs[0] = makeArray(mxSINGLE_CLASS, {2147483647, 2147483647, 0});
    inputs[1] = makeScalar(1.3);
    const auto huge = callSpotFit(4, inputs);
    ASSERT_FALSE(huge.failed) << huge.message;
    EXPECT_EQ(standin::dimsOf(huge.outputs[3].get()), (std::vector<size_t>{0, 1}));
}

}  // namespace
