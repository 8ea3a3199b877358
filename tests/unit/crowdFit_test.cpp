#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "crowd.h"
#include "independent_model.h"
#include "maximise.h"
#include "standin_host.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

constexpr double kSigma = 1.3;

// Expected photons of region pixel p (i + g j) for theta = background, then x, y and photons
// of each emitter.
independent::PixelModel jointModel(int g) {
    return [g](const std::vector<double>& theta, int p) {
        double mu = theta[0];
        for (size_t e = 1; e + 2 < theta.size(); e += 3) {
            mu += theta[e + 2] * independent::share(p % g, theta[e], kSigma) *
                  independent::share(p / g, theta[e + 1], kSigma);
        }
        return mu;
    };
}

// Bit-for-bit equality of the fields (the structs' padding is not compared).
bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameEmitter(const EmitterFit& a, const EmitterFit& b) {
    return sameBits(a.x, b.x) && sameBits(a.y, b.y) && sameBits(a.photons, b.photons) &&
           sameBits(a.crlb[0], b.crlb[0]) && sameBits(a.crlb[1], b.crlb[1]) &&
           sameBits(a.crlb[2], b.crlb[2]) && sameBits(a.z, b.z) && sameBits(a.crlb[3], b.crlb[3]) &&
           a.status == b.status;
}

bool sameRegion(const RegionFit& a, const RegionFit& b) {
    bool same = a.emitters == b.emitters && a.status == b.status &&
                sameBits(a.background, b.background) &&
                sameBits(a.backgroundCrlb, b.backgroundCrlb) &&
                sameBits(a.logLikelihoodRatio, b.logLikelihoodRatio);
    for (int e = 0; e < a.emitters && same; ++e) {
        same = sameEmitter(a.emitter[e], b.emitter[e]);
    }
    return same;
}

std::vector<double> poissonRegion(const std::vector<double>& theta, int g, std::mt19937& rng) {
    const auto model = jointModel(g);
    std::vector<double> region(g * g);
    for (int p = 0; p < g * g; ++p) {
        region[p] = std::poisson_distribution<int>(model(theta, p))(rng);
    }
    return region;
}

RegionFit fit(const std::vector<double>& region, int g, const std::vector<double>& starts,
              const std::vector<double>& read = {}) {
    std::vector<double> work(regionWorkLength(g));
    const ReadVariance variance{read.empty() ? nullptr : read.data(), false, true};
    return fitRegion(region.data(), variance, RegionModel{g, kSigma, kMaxEmitters}, starts.data(),
                     static_cast<int>(starts.size() / 2), work.data());
}

// The fit's parameters in the independent model's order.
std::vector<double> thetaOf(const RegionFit& result) {
    std::vector<double> theta = {result.background};
    for (int e = 0; e < result.emitters; ++e) {
        if (result.emitter[e].status <= kStillMoving) {
            const EmitterFit& emitter = result.emitter[e];
            theta.insert(theta.end(), {emitter.x, emitter.y, emitter.photons});
        }
    }
    return theta;
}

TEST(FitRegion, RecoversTwoEmittersAtTheirJointBoundsAndMaximisesTheLikelihood) {
    // 11x11 regions, two spots of 1000 photons 2 pixels apart on 10 a pixel, started from the
    // whole pixels they fall on as spotFind gives them.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    const int g = 11;
    const int regions = 1000;
    double squares[2] = {};
    double boundSum[2] = {};
    int converged = 0;
    for (int k = 0; k < regions; ++k) {
        const double x = 4.0 + offset(rng);
        const double y = 5.0 + offset(rng);
        const std::vector<double> truth = {10, x, y, 1000, x + 2.0, y, 1000};
        const std::vector<double> region = poissonRegion(truth, g, rng);
        const RegionFit result =
            fit(region, g, {std::round(x), std::round(y), std::round(x + 2), std::round(y)});
        ASSERT_EQ(result.emitters, 2);  // no emitter is added where none is
        if (result.status != kConverged) {
            continue;
        }
        ++converged;
        for (int e = 0; e < 2; ++e) {
            const double error = result.emitter[e].x - truth[1 + 3 * e];
            squares[e] += error * error;
            boundSum[e] += result.emitter[e].crlb[0];
        }
        if (k < 20) {
            // The bounds are the independent model's at the fit, no small move of a parameter
            // raises the likelihood, and the ratio is twice the likelihood's distance from the
            // saturated model.
            const auto model = jointModel(g);
            const std::vector<double> theta = thetaOf(result);
            const std::vector<double> bounds = independent::bounds(model, theta, g * g, 7);
            EXPECT_NEAR(result.backgroundCrlb / bounds[0], 1.0, 1e-5);
            for (int e = 0; e < 2; ++e) {
                for (int q = 0; q < 3; ++q) {
                    EXPECT_NEAR(result.emitter[e].crlb[q] / bounds[1 + 3 * e + q], 1.0, 1e-5);
                }
            }
            const double best = independent::logLikelihood(region, model, theta);
            for (int p = 0; p < 7; ++p) {
                for (double move : {-1e-3, 1e-3}) {
                    auto moved = theta;
                    moved[p] += move * std::fmax(1.0, std::fabs(theta[p]));
                    EXPECT_LT(independent::logLikelihood(region, model, moved), best) << p;
                }
            }
            double ratio = 0.0;
            for (int p = 0; p < g * g; ++p) {
                const double mu = model(theta, p);
                const double c = region[p];
                ratio += c > 0 ? mu - c + c * std::log(c / mu) : mu;
            }
            EXPECT_NEAR(result.logLikelihoodRatio, 2.0 * ratio, 1e-9 * ratio);
        }
    }
    EXPECT_GE(converged, 0.99 * regions);
    for (int e = 0; e < 2; ++e) {
        const double spread = std::sqrt(squares[e] / converged);
        EXPECT_LT(spread / (boundSum[e] / converged), 1.10) << e;
        EXPECT_GT(spread / (boundSum[e] / converged), 0.90) << e;
    }
}

TEST(FitRegion, FitsEachEmittersDepthAtTheMaximumWithTheJointBounds) {
    // Two spots 2 px apart, one above focus and one below, with the widths of depth curves:
    // theta = background, then x, y, photons and z of each.
    const DepthCalibration lens{{1.3, 1.25},   {-250, 250},  {450, 440},
                                {0.05, -0.05}, {0.02, 0.03}, {-700, 700}};
    const int g = 13;
    const auto width = [&](int axis, double z) {
        const double u = (z - lens.c[axis]) / lens.d[axis];
        return lens.sigma0[axis] *
               std::sqrt(1 + u * u + lens.a[axis] * u * u * u + lens.b[axis] * u * u * u * u);
    };
    const independent::PixelModel model = [&](const std::vector<double>& theta, int p) {
        double mu = theta[0];
        for (size_t e = 1; e + 3 < theta.size(); e += 4) {
            mu += theta[e + 2] * independent::share(p % g, theta[e], width(0, theta[e + 3])) *
                  independent::share(p / g, theta[e + 1], width(1, theta[e + 3]));
        }
        return mu;
    };
    std::mt19937 rng(8);
    const std::vector<double> truth = {8, 5.2, 6.1, 2500, -320, 7.0, 7.5, 1800, 280};
    std::vector<double> region(g * g);
    for (int p = 0; p < g * g; ++p) {
        region[p] = std::poisson_distribution<int>(model(truth, p))(rng);
    }
    std::vector<double> work(regionWorkLength(g));
    const std::vector<double> starts = {5, 6, 7, 8};
    RegionModel joint{g, 1.3, kMaxEmitters, &lens, roundDepth(lens)};
    const RegionFit result =
        fitRegion(region.data(), ReadVariance{}, joint, starts.data(), 2, work.data());
    ASSERT_EQ(result.status, kConverged);
    ASSERT_EQ(result.emitters, 2);
    std::vector<double> theta = {result.background};
    for (int e = 0; e < 2; ++e) {
        const EmitterFit& emitter = result.emitter[e];
        theta.insert(theta.end(), {emitter.x, emitter.y, emitter.photons, emitter.z});
        EXPECT_NEAR(emitter.z, truth[4 + 4 * e], 4 * emitter.crlb[3]);
    }
    const double best = independent::logLikelihood(region, model, theta);
    for (size_t k = 0; k < theta.size(); ++k) {
        for (double move : {-1e-3, 1e-3}) {
            auto moved = theta;
            moved[k] += move * std::fmax(1.0, std::fabs(theta[k]));
            EXPECT_LT(independent::logLikelihood(region, model, moved), best) << k;
        }
    }
    const std::vector<double> bounds = independent::bounds(model, theta, g * g, 9);
    for (int e = 0; e < 2; ++e) {
        for (int q = 0; q < 4; ++q) {
            EXPECT_NEAR(result.emitter[e].crlb[q] / bounds[1 + 4 * e + q], 1.0, 1e-3) << e << q;
        }
    }
    EXPECT_NEAR(result.backgroundCrlb / bounds[0], 1.0, 1e-3);
    // With the range cut to +-200 nm, the emitter below it ends held at its low end, which the
    // steps from the start near 0 reach without passing.
    DepthCalibration narrow = lens;
    narrow.zRange[0] = -200;
    narrow.zRange[1] = 200;
    joint.depth = &narrow;
    joint.startDepth = roundDepth(narrow);
    const RegionFit held =
        fitRegion(region.data(), ReadVariance{}, joint, starts.data(), 2, work.data());
    EXPECT_EQ(held.emitter[0].status, kOutsideDepth);
    EXPECT_EQ(held.emitter[0].z, -200.0);
    EXPECT_EQ(held.emitter[1].status, kOutsideDepth);
    EXPECT_EQ(held.emitter[1].z, 200.0);
}

TEST(FitRegion, AddsAnEmitterWhereASecondSpotIsAndRarelyWhereNoneIs) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    const int g = 11;
    // A second spot of 600 photons 3 pixels from the one started from.
    int added = 0;
    for (int k = 0; k < 200; ++k) {
        const double x = 4.0 + offset(rng);
        const double y = 5.0 + offset(rng);
        const std::vector<double> truth = {10, x, y, 1500, x + 3.0, y + 0.5, 600};
        const RegionFit result = fit(poissonRegion(truth, g, rng), g, {4, 5});
        if (result.emitters == 2 && result.status == kConverged) {
            ++added;
            EXPECT_NEAR(result.emitter[1].x, x + 3.0, 0.5);
            EXPECT_NEAR(result.emitter[1].y, y + 0.5, 0.5);
            EXPECT_NEAR(result.emitter[0].x, x, 0.3);
        }
    }
    EXPECT_GE(added, 196);
    // One spot on its background: an emitter is added about as often as the test's
    // significance of 0.001 says (and less, since it is tried only on excess light).
    int falselyAdded = 0;
    const int regions = 20000;
    for (int k = 0; k < regions; ++k) {
        const double x = 5.0 + offset(rng);
        const double y = 5.0 + offset(rng);
        const RegionFit result = fit(poissonRegion({10, x, y, 1000}, g, rng), g, {5, 5});
        falselyAdded += result.emitters > 1;
    }
    EXPECT_LE(falselyAdded, 0.002 * regions);
    // Where a pixel holds a photon or two, as often too: 300 photons on 2 a pixel, over enough
    // regions to tell 10 in 10,000 from 14.
    const int dimRegions = 150000;
    std::vector<float> dim;
    std::vector<double> starts;
    std::vector<int64_t> first = {0};
    for (int k = 0; k < dimRegions; ++k) {
        const double x = 6.0 + offset(rng);
        const double y = 6.0 + offset(rng);
        const std::vector<double> region = poissonRegion({2, x, y, 300}, 13, rng);
        dim.insert(dim.end(), region.begin(), region.end());
        starts.insert(starts.end(), {std::round(x), std::round(y)});
        first.push_back(k + 1);
    }
    const RegionSet<float> set{dim.data(), dimRegions, ReadVariance{nullptr, false, false},
                               starts.data(), first.data()};
    int dimAdded = 0;
    for (const RegionFit& result : fitRegions(set, RegionModel{13, kSigma, kMaxEmitters}, 2)) {
        dimAdded += result.emitters > 1;
    }
    EXPECT_LE(dimAdded, 0.001 * dimRegions) << dimAdded;
}

TEST(FitRegion, PlacesASpotCentredBeyondTheEdgeThatLightsIt) {
    // A bright spot centred 0.7 pixels past the region's left edge beside one inside: fitted
    // beyond the edge, it leaves the other unbiased, at its bound; a spot further out than the
    // reach lights nothing, and the emitter started for it is dropped.
    std::mt19937 rng(4);
    const int g = 9;
    double squares = 0.0;
    double sum = 0.0;
    int beyond = 0;
    const int regions = 400;
    for (int k = 0; k < regions; ++k) {
        const std::vector<double> truth = {10, -1.2, 4.2, 4000, 3.3, 4.0, 1500};
        const RegionFit result = fit(poissonRegion(truth, g, rng), g, {0, 4, 3, 4});
        ASSERT_EQ(result.status, kConverged);
        const EmitterFit& inside = result.emitter[1];
        ASSERT_EQ(inside.status, kConverged);
        beyond += result.emitter[0].status == kConverged && result.emitter[0].x < -0.5;
        const double error = inside.x - 3.3;
        sum += error;
        squares += error * error / (inside.crlb[0] * inside.crlb[0]);
    }
    EXPECT_GE(beyond, 0.95 * regions);
    EXPECT_LT(std::fabs(sum / regions), 0.02);
    EXPECT_LT(std::sqrt(squares / regions), 1.15);
    const RegionFit far = fit(poissonRegion({10, 4.3, 4.0, 1500}, g, rng), g, {0, 4, 4, 4});
    EXPECT_EQ(far.emitter[0].status, kNotASpot);
    EXPECT_EQ(far.emitter[1].status, kConverged);
}

TEST(FitRegion, DropsWhatVanishesOrCannotBeToldApartAndReportsRegionsThatFail) {
    std::mt19937 rng(9);
    const int g = 9;
    const std::vector<double> region = poissonRegion({5, 4.2, 3.9, 2000}, g, rng);
    // Two starts on one spot: the dimmer goes, the other fits the spot.
    const RegionFit twice = fit(region, g, {4, 4, 4, 4});
    ASSERT_EQ(twice.emitters, 2);
    const int kept = twice.emitter[0].status == kConverged ? 0 : 1;
    EXPECT_EQ(twice.emitter[kept].status, kConverged);
    EXPECT_EQ(twice.emitter[1 - kept].status, kNotASpot);
    EXPECT_TRUE(std::isnan(twice.emitter[1 - kept].x) &&
                std::isnan(twice.emitter[1 - kept].crlb[2]));
    EXPECT_NEAR(twice.emitter[kept].x, 4.2, 0.2);
    const RegionFit once = fit(region, g, {4, 4});
    EXPECT_TRUE(sameEmitter(once.emitter[0], twice.emitter[kept]));
    EXPECT_EQ(once.logLikelihoodRatio, twice.logLikelihoodRatio);
    // Five starts on one spot and a second spot beside it: four go, and their rows leave no
    // room for an emitter to be added.
    std::vector<double> pair = region;
    const std::vector<double> other = poissonRegion({0, 6.5, 6.0, 1500}, g, rng);
    for (int p = 0; p < g * g; ++p) {
        pair[p] += other[p];
    }
    const RegionFit full = fit(pair, g, {4, 4, 4, 4, 4, 4, 4, 4, 4, 4});
    EXPECT_EQ(full.emitters, kMaxEmitters);
    EXPECT_EQ(full.emitter[0].status + full.emitter[1].status + full.emitter[2].status +
                  full.emitter[3].status + full.emitter[4].status,
              4 * kNotASpot);
    EXPECT_EQ(fit(pair, g, {4, 4}).emitters, 2);
    // No photons, and a NaN: every emitter of the region says so.
    const RegionFit empty = fit(std::vector<double>(g * g, 0.0), g, {4, 4, 1, 1});
    EXPECT_EQ(empty.status, kNotASpot);
    EXPECT_EQ(empty.emitter[1].status, kNotASpot);
    std::vector<double> bad = region;
    bad[40] = NAN;
    const RegionFit notFinite = fit(bad, g, {4, 4, 1, 1});
    EXPECT_EQ(notFinite.emitter[0].status, kNotFinite);
    EXPECT_EQ(notFinite.emitter[1].status, kNotFinite);
    EXPECT_TRUE(std::isnan(notFinite.logLikelihoodRatio));
}

TEST(FitRegions, GiveEachRegionItsOwnReadVarianceAndTheSameFitsOnAnyThreadCount) {
    // Pixel 20 of each region, beside the emitters, carries no information: its value (here a
    // wild one) is never read.
    std::mt19937 rng(13);
    std::uniform_real_distribution<double> offset(-0.5, 0.5);
    std::uniform_real_distribution<double> readNoise(0.5, 9.0);
    const int g = 9;
    const int count = 40;
    std::vector<float> regions;
    std::vector<double> read;
    std::vector<double> starts;
    std::vector<int64_t> first = {0};
    for (int k = 0; k < count; ++k) {
        const double x = 3.0 + offset(rng);
        const std::vector<double> region =
            poissonRegion({8, x, 4.0, 900, x + 2.5, 4.5, 700}, g, rng);
        for (int p = 0; p < g * g; ++p) {
            read.push_back(readNoise(rng));
            regions.push_back(static_cast<float>(
                region[p] + std::normal_distribution<double>(0, std::sqrt(read.back()))(rng)));
        }
        read[k * g * g + 20] = INFINITY;
        regions[k * g * g + 20] = 1e7f;
        // Every third region from one start only.
        starts.insert(starts.end(), {3, 4});
        if (k % 3 != 0) {
            starts.insert(starts.end(), {6, 4});
        }
        first.push_back(static_cast<int64_t>(starts.size() / 2));
    }
    const ReadVariance variance{read.data(), false, true};
    const RegionSet<float> set{regions.data(), count, variance, starts.data(), first.data()};
    const RegionModel model{g, kSigma, kMaxEmitters};
    const std::vector<RegionFit> one = fitRegions(set, model, 1);
    const std::vector<RegionFit> two = fitRegions(set, model, 2);
    ASSERT_EQ(one.size(), static_cast<size_t>(count));
    std::vector<double> work(regionWorkLength(g));
    int converged = 0;
    for (int k = 0; k < count; ++k) {
        EXPECT_TRUE(sameRegion(one[k], two[k])) << k;
        const ReadVariance own{read.data() + k * g * g, false, true};
        const RegionFit alone =
            fitRegion(regions.data() + k * g * g, own, model, starts.data() + 2 * first[k],
                      static_cast<int>(first[k + 1] - first[k]), work.data());
        EXPECT_TRUE(sameRegion(one[k], alone)) << k;
        std::vector<float> other(regions.begin() + k * g * g, regions.begin() + (k + 1) * g * g);
        other[20] = -3.0f;
        EXPECT_TRUE(
            sameRegion(alone, fitRegion(other.data(), own, model, starts.data() + 2 * first[k],
                                        static_cast<int>(first[k + 1] - first[k]), work.data())))
            << k;
        converged += one[k].status == kConverged && one[k].emitters == 2;
    }
    EXPECT_GE(converged, count - 2);  // those from one start gained the second emitter
}

template <class... Arrays>
std::vector<standin::ArrayPtr> args(Arrays... arrays) {
    std::vector<standin::ArrayPtr> inputs;
    (inputs.push_back(std::move(arrays)), ...);
    return inputs;
}

standin::CallResult callCrowdFit(int nlhs, const std::vector<standin::ArrayPtr>& inputs) {
    std::vector<const mxArray*> raw;
    for (const auto& input : inputs) {
        raw.push_back(input.get());
    }
    return standin::call(mexFunction, "crowdFit", nlhs, raw);
}

TEST(CrowdFitEntry, ListsEmittersRegionByRegionInTheOrderOfTheirStarts) {
    std::mt19937 rng(21);
    const int g = 9;
    std::vector<double> values;
    for (double x : {2.2, 6.1}) {
        const std::vector<double> region = poissonRegion({5, x, 4, 1200, 4.5, 6.3, 900}, g, rng);
        values.insert(values.end(), region.begin(), region.end());
    }
    // Region 2's start first, and region 1's in the opposite order of its spots; region 2 has
    // none for its second spot.
    const std::vector<double> table = {2, 1, 1, 6, 4, 2, 4, 6, 4};
    const auto result =
        callCrowdFit(4, args(standin::makeFilled<double>(mxDOUBLE_CLASS, {9, 9, 2}, values),
                             standin::makeFilled<double>(mxDOUBLE_CLASS, {3, 3}, table),
                             standin::makeScalar(kSigma)));
    ASSERT_FALSE(result.failed) << result.message;
    const auto* params = static_cast<const double*>(mxGetData(result.outputs[0].get()));
    const auto* status = static_cast<const double*>(mxGetData(result.outputs[3].get()));
    ASSERT_EQ(mxGetM(result.outputs[0].get()), 4u);  // three starts and one added
    ASSERT_EQ(mxGetM(result.outputs[2].get()), 2u);
    const double region[4] = {1, 1, 2, 2};
    const double x[4] = {4.5, 2.2, 6.1, 4.5};
    const double y[4] = {6.3, 4, 4, 6.3};
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(params[r], region[r]);
        EXPECT_NEAR(params[r + 4], x[r], 0.3) << r;
        EXPECT_NEAR(params[r + 8], y[r], 0.3) << r;
        EXPECT_EQ(status[r], kConverged);
    }
    EXPECT_EQ(params[16], params[17]);  // one background per region
    EXPECT_EQ(params[18], params[19]);
    EXPECT_NE(params[16], params[18]);
}

TEST(CrowdFitEntry, ChecksItsArgumentsInOrder) {
    using standin::makeArray;
    using standin::makeScalar;
    const auto ok = [] { return makeArray(mxDOUBLE_CLASS, {5, 5, 2}); };
    const auto start = [](std::vector<double> row) {
        return standin::makeFilled<double>(mxDOUBLE_CLASS, {1, 3}, row);
    };
    struct Case {
        std::vector<standin::ArrayPtr> inputs;
        const char* identifier;
    };
    std::vector<Case> cases;
    cases.push_back({args(ok(), start({1, 2, 2})), "crowdFit:WrongNumberOfInputs"});
    cases.push_back({args(makeArray(mxINT16_CLASS, {5, 5}), start({1, 2, 2}), makeScalar(1)),
                     "crowdFit:WrongType"});
    cases.push_back({args(ok(), standin::makeText("abc"), makeScalar(1)), "crowdFit:WrongType"});
    cases.push_back(
        {args(ok(), start({1, 2, 2}), makeArray(mxDOUBLE_CLASS, {1, 2})), "crowdFit:WrongType"});
    cases.push_back({args(makeArray(mxDOUBLE_CLASS, {5, 4}), start({1, 2, 2}), makeScalar(1)),
                     "crowdFit:WrongSize"});
    cases.push_back({args(makeArray(mxDOUBLE_CLASS, {5, 5, 2, 2}), start({1, 2, 2}), makeScalar(1)),
                     "crowdFit:WrongSize"});
    cases.push_back(
        {args(ok(), makeArray(mxDOUBLE_CLASS, {2, 2}), makeScalar(1)), "crowdFit:WrongSize"});
    for (double sigma : {0.0, 5.5, double(NAN)}) {
        cases.push_back({args(ok(), start({1, 2, 2}), makeScalar(sigma)), "crowdFit:BadSigma"});
    }
    for (std::vector<double> row : std::vector<std::vector<double>>{{0, 2, 2},
                                                                    {3, 2, 2},
                                                                    {1.5, 2, 2},
                                                                    {NAN, 2, 2},
                                                                    {1, -0.6, 2},
                                                                    {1, 2, 4.6},
                                                                    {1, 2, NAN}}) {
        cases.push_back({args(ok(), start(row), makeScalar(1)), "crowdFit:BadStarts"});
    }
    cases.push_back(
        {args(ok(),
              standin::makeFilled<double>(mxDOUBLE_CLASS, {6, 3}, std::vector<double>(18, 2.0)),
              makeScalar(1)),
         "crowdFit:TooManyStarts"});
    cases.push_back({args(ok(), start({1, 2, 2}), makeScalar(1), makeArray(mxDOUBLE_CLASS, {5, 5})),
                     "crowdFit:WrongSize"});
    cases.push_back(
        {args(ok(), start({1, 2, 2}), makeScalar(1), makeScalar(-1)), "crowdFit:BadVariance"});
    cases.push_back(
        {args(ok(), makeArray(mxDOUBLE_CLASS, {3, 0}), makeScalar(1)), "crowdFit:WrongSize"});
    for (const Case& c : cases) {
        const auto result = callCrowdFit(4, c.inputs);
        EXPECT_TRUE(result.failed) << c.identifier;
        EXPECT_EQ(result.identifier, c.identifier) << result.message;
        EXPECT_EQ(result.arraysAtError, 0u) << c.identifier;
    }
    // Accepted: no starts at all (0-by-0 or 0-by-3), and regions without starts.
    for (size_t columns : {0, 3}) {
        const auto result =
            callCrowdFit(4, args(ok(), makeArray(mxDOUBLE_CLASS, {0, columns}), makeScalar(1)));
        ASSERT_FALSE(result.failed) << result.message;
        EXPECT_EQ(mxGetM(result.outputs[0].get()), 0u);
        EXPECT_EQ(mxGetN(result.outputs[0].get()), 5u);
        EXPECT_EQ(mxGetM(result.outputs[2].get()), 2u);
    }
}

}  // namespace
