#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "mosaic.h"
#include "reserved_memory.h"
#include "standin_host.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

using standin::ArrayPtr;
using standin::elementsOf;
using standin::makeFilled;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Pixel of a coordinate as the renderer documents it: floor, then clamp to the grid.
int64_t referenceIndex(float coordinate, int32_t size) {
    const double floored = std::floor(static_cast<double>(coordinate));
    if (std::isnan(floored) || floored <= 0) {
        return 0;
    }
    return floored >= size - 1 ? size - 1 : static_cast<int64_t>(floored);
}

std::vector<uint16_t> referenceCounts(int32_t sizeX, int32_t sizeY, const std::vector<float>& x,
                                      const std::vector<float>& y) {
    std::vector<uint32_t> wide(static_cast<size_t>(sizeX) * sizeY);
    for (size_t i = 0; i < x.size(); ++i) {
        ++wide[referenceIndex(x[i], sizeX) + sizeX * referenceIndex(y[i], sizeY)];
    }
    std::vector<uint16_t> counts(wide.size());
    for (size_t k = 0; k < wide.size(); ++k) {
        counts[k] = static_cast<uint16_t>(std::min<uint32_t>(wide[k], 65535));
    }
    return counts;
}

std::vector<uint16_t> binned(int32_t sizeX, int32_t sizeY, const std::vector<float>& x,
                             const std::vector<float>& y, int threads = 1) {
    std::vector<uint16_t> counts(static_cast<size_t>(sizeX) * sizeY);
    binPoints(sizeX, sizeY, static_cast<int64_t>(x.size()), x.data(), y.data(), counts.data(),
              threads);
    return counts;
}

struct Equalised {
    std::vector<uint16_t> counts;
    std::vector<float> levels;
};

Equalised equalised(std::vector<uint16_t> counts, int threads = 1) {
    std::vector<float> levels(counts.size());
    equalizeCounts(counts.data(), levels.data(), static_cast<int64_t>(counts.size()), threads);
    return {counts, levels};
}

// Level of each pixel by sorting: the rank of its count among the non-empty pixels, spread
// over 0 to 1023 with the documented single-precision operations.
std::vector<float> referenceLevels(const std::vector<uint16_t>& counts) {
    std::vector<uint16_t> nonEmpty;
    for (uint16_t c : counts) {
        if (c != 0) {
            nonEmpty.push_back(c);
        }
    }
    std::sort(nonEmpty.begin(), nonEmpty.end());
    const auto total = static_cast<int64_t>(nonEmpty.size());
    std::vector<float> levels(counts.size());
    for (size_t k = 0; k < counts.size(); ++k) {
        if (counts[k] == 0) {
            continue;
        }
        const auto atMost = static_cast<float>(
            std::upper_bound(nonEmpty.begin(), nonEmpty.end(), counts[k]) - nonEmpty.begin());
        levels[k] = atMost == static_cast<float>(total)
                        ? 1023.0f
                        : ((atMost - 1.0f) * 1023.0f) / static_cast<float>(total - 1);
    }
    return levels;
}

TEST(BinPoints, ClampsAndFloorsEdgeCoordinates) {
    const std::vector<float> x = {-3.7f, 2.999f, 15.0f, kInf, kNaN, -kInf, 9.99f, 3e30f};
    const std::vector<float> y = {0.5f, 0.5f, 0.5f, 1.5f, 1.5f, 1.5f, kNaN, 2.0f};
    const auto counts = binned(10, 3, x, y);
    auto at = [&](int ix, int iy) { return counts[ix + 10 * iy]; };
    EXPECT_EQ(at(0, 0), 1);  // -3.7
    EXPECT_EQ(at(2, 0), 1);  // 2.999
    EXPECT_EQ(at(9, 0), 2);  // sizeX + 5, and 9.99 with a NaN y
    EXPECT_EQ(at(9, 1), 1);  // +inf
    EXPECT_EQ(at(0, 1), 2);  // NaN and -inf
    EXPECT_EQ(at(9, 2), 1);  // 3e30
    EXPECT_EQ(counts, referenceCounts(10, 3, x, y));
}

TEST(BinPoints, MatchesReferenceOnRandomPointsIncludingOutliers) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        const int32_t sizeX = 1 + static_cast<int32_t>(rng() % 40);
        const int32_t sizeY = 1 + static_cast<int32_t>(rng() % 40);
        std::uniform_real_distribution<float> spread(-5.0f, 45.0f);
        std::vector<float> x(1 + rng() % 3000);
        std::vector<float> y(x.size());
        for (size_t i = 0; i < x.size(); ++i) {
            x[i] = spread(rng);
            y[i] = spread(rng);
            if (rng() % 50 == 0) {
                (rng() % 2 ? x : y)[i] = rng() % 2 ? kNaN : -kInf;
            }
        }
        EXPECT_EQ(binned(sizeX, sizeY, x, y), referenceCounts(sizeX, sizeY, x, y)) << round;
    }
}

TEST(BinPoints, CountsSaturateInsteadOfWrapping) {
    const std::vector<float> x(70000, 1.5f);
    const std::vector<float> y(70000, 0.25f);
    EXPECT_EQ(binned(2, 1, std::vector<float>(x.begin(), x.begin() + 65535), y)[1], 65535);
    EXPECT_EQ(binned(2, 1, std::vector<float>(x.begin(), x.begin() + 65536), y)[1], 65535);
    EXPECT_EQ(binned(2, 1, x, y)[1], 65535);
}

TEST(BinPoints, AnyThreadCountGivesTheSerialCounts) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> spread(-5.0f, 45.0f);
    // Few pixels for many points (an image per thread), many pixels for few (a band of rows
    // per thread), and a single row that has more threads than rows.
    for (const auto& size : std::vector<std::pair<int32_t, int32_t>>{{6, 4}, {40, 37}, {9, 1}}) {
        std::vector<float> x(size.first * size.second > 100 ? 3000 : 40000);
        std::vector<float> y(x.size());
        for (size_t i = 0; i < x.size(); ++i) {
            x[i] = i % 97 == 0 ? kNaN : spread(rng);
            y[i] = i % 89 == 0 ? -kInf : spread(rng);
        }
        const auto serial = binned(size.first, size.second, x, y);
        ASSERT_EQ(serial, referenceCounts(size.first, size.second, x, y));
        for (int threads : {2, 3, 7, 64}) {
            EXPECT_EQ(binned(size.first, size.second, x, y, threads), serial)
                << size.first << "x" << size.second << " on " << threads;
        }
    }
    // A pixel that saturates only in the sum of the threads' counts, and one that saturates
    // within one thread's.
    std::vector<float> x(140000, 0.5f);
    std::fill(x.begin() + 70000, x.end(), 1.5f);
    const std::vector<float> y(x.size(), 0.0f);
    for (int threads : {2, 3, 4}) {
        ASSERT_EQ(countImagesFor(2, 140000, threads), threads) << "not the threaded path";
        EXPECT_EQ(binned(2, 1, x, y, threads), (std::vector<uint16_t>{65535, 65535}));
        EXPECT_EQ(binned(2, 1, std::vector<float>(x.begin() + 60000, x.end()), y, threads),
                  (std::vector<uint16_t>{10000, 65535}));
    }
}

TEST(BinPoints, ThreadsImagesMergeSaturatingAndEveryOneCounts) {
    // Pixel by pixel: saturation in the running total, in one image, across images; a pixel
    // only the last image has.
    for (int threads : {1, 2, 3, 8}) {
        std::vector<uint16_t> total = {65000, 1, 0, 7, 0};
        const std::vector<uint16_t> images = {1000, 2, 65535, 0,     0,    // image 0
                                              0,    3, 1,     65535, 0,    // image 1
                                              5,    0, 9,     0,     42};  // image 2, the last
        std::vector<int64_t> histogram(kCountHistogramLength);
        mergeCountImages(total.data(), images.data(), 3, 5, threads, histogram.data());
        EXPECT_EQ(total, (std::vector<uint16_t>{65535, 6, 65535, 65535, 42})) << threads;
        // The merged counts are tallied, the last image's included.
        EXPECT_EQ(histogram[65535], 3);
        EXPECT_EQ(histogram[6] + histogram[42], 2);
    }
    // Each thread counts into an image of its own only where the image is small beside the
    // points.
    EXPECT_EQ(countImagesFor(1024, 4 * 1024 * 3, 4), 4);
    EXPECT_EQ(countImagesFor(1025, 4 * 1024 * 3, 4), 1);
    EXPECT_EQ(countImagesFor(1024, 4 * 1024 * 3, 1), 1);
}

TEST(BinPoints, IndexesImagesBeyond2To31Pixels) {
    const int32_t sizeX = 65536;
    const int32_t sizeY = 40000;  // 2.6e9 pixels
    const size_t pixels = static_cast<size_t>(sizeX) * sizeY;
    ReservedMemory image(pixels * sizeof(uint16_t));
    if (!image.ok()) {
        GTEST_SKIP() << "cannot reserve address space";
    }
    const std::vector<float> x = {65535.5f, 70000.0f, 12.0f, 0.0f};
    const std::vector<float> y = {39999.2f, 1e9f, 39000.5f, 0.0f};
    binPoints(sizeX, sizeY, 4, x.data(), y.data(), image.as<uint16_t>());
    EXPECT_EQ(image.as<uint16_t>()[pixels - 1], 2);
    EXPECT_EQ(image.as<uint16_t>()[12 + static_cast<size_t>(sizeX) * 39000], 1);
    EXPECT_EQ(image.as<uint16_t>()[0], 1);
}

TEST(EqualizeCounts, DocumentedExamples) {
    // Ten single points: every non-empty pixel at the top.
    auto e = equalised({1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1});
    for (size_t k = 0; k < e.levels.size(); ++k) {
        EXPECT_EQ(e.levels[k], k == 5 ? 0.0f : 1023.0f);
        EXPECT_EQ(e.counts[k], k == 5 ? 0 : 1023);
    }
    // Counts 1, 1, 2, 3.
    e = equalised({1, 0, 2, 1, 3});
    EXPECT_EQ(e.levels, (std::vector<float>{341.0f, 0.0f, 682.0f, 341.0f, 1023.0f}));
    EXPECT_EQ(e.counts, (std::vector<uint16_t>{341, 0, 682, 341, 1023}));
    // One non-empty pixel gets the top level, not 0/0.
    e = equalised({0, 0, 7, 0});
    EXPECT_EQ(e.levels, (std::vector<float>{0.0f, 0.0f, 1023.0f, 0.0f}));
    EXPECT_EQ(e.counts, (std::vector<uint16_t>{0, 0, 1023, 0}));
    // Nothing counted: nothing changes.
    e = equalised({0, 0, 0});
    EXPECT_EQ(e.levels, std::vector<float>(3, 0.0f));
    EXPECT_EQ(e.counts, std::vector<uint16_t>(3, 0));
}

TEST(EqualizeCounts, MatchesRankReferenceForSmallAndLargeCounts) {
    std::mt19937 rng(777);
    for (int round = 0; round < 30; ++round) {
        const uint32_t ceiling = round < 15 ? 1022u : 65535u;
        std::vector<uint16_t> counts(50 + rng() % 2000);
        for (auto& c : counts) {
            // Mostly empty or small, with a tail up to the ceiling.
            const uint32_t pick = rng() % 10;
            c = static_cast<uint16_t>(pick < 4   ? 0
                                      : pick < 8 ? 1 + rng() % 5
                                                 : rng() % (ceiling + 1));
        }
        const auto e = equalised(counts);
        const auto levels = referenceLevels(counts);
        ASSERT_EQ(e.levels, levels) << round;
        for (size_t k = 0; k < counts.size(); ++k) {
            ASSERT_EQ(e.counts[k], static_cast<uint16_t>(levels[k])) << round << " " << k;
        }
        // The largest count present always reaches the top level.
        const auto top = std::max_element(counts.begin(), counts.end()) - counts.begin();
        EXPECT_EQ(e.counts[top], 1023) << round;
    }
}

TEST(EqualizeCounts, MostCrowdedPixelsGetExactlyTheTopLevel) {
    // From 16402 non-empty pixels on, (M - 1) * 1023 / (M - 1) in single precision can miss
    // 1023 on either side; the rest of the scale keeps the formula.
    int missed = 0;
    for (int nonEmpty = 16402; nonEmpty < 16502; ++nonEmpty) {
        std::vector<uint16_t> counts(static_cast<size_t>(nonEmpty) + 1, 1);
        counts[0] = 0;
        counts[5] = 3;
        counts[7] = 2;
        const auto e = equalised(counts);
        const auto m = static_cast<float>(nonEmpty - 1);
        missed += (m * 1023.0f) / m != 1023.0f;
        ASSERT_EQ(e.levels[5], 1023.0f) << nonEmpty;
        ASSERT_EQ(e.counts[5], 1023) << nonEmpty;
        ASSERT_EQ(e.levels[7], ((static_cast<float>(nonEmpty - 1) - 1.0f) * 1023.0f) / m);
        ASSERT_EQ(e.levels[1], ((static_cast<float>(nonEmpty - 2) - 1.0f) * 1023.0f) / m);
        ASSERT_LE(*std::max_element(e.levels.begin(), e.levels.end()), 1023.0f);
    }
    EXPECT_GT(missed, 0) << "the range no longer exercises the rounding it is meant to";
}

TEST(EqualizeCounts, AnyThreadCountGivesTheSerialLevels) {
    std::mt19937 rng(4242);
    std::vector<uint16_t> counts(5003);
    for (auto& c : counts) {
        c = static_cast<uint16_t>(rng() % 3 == 0 ? 1 + rng() % 2000 : 0);
    }
    counts[17] = 65535;
    const auto serial = equalised(counts);
    for (int threads : {2, 3, 8, 64}) {
        const auto threaded = equalised(counts, threads);
        EXPECT_EQ(threaded.levels, serial.levels) << threads;
        EXPECT_EQ(threaded.counts, serial.counts) << threads;
    }
    // More threads than pixels.
    EXPECT_EQ(equalised({0, 3, 1}, 8).counts, (std::vector<uint16_t>{0, 1023, 0}));
}

TEST(EqualizeCounts, TheHistogramTalliedWhileBinningGivesTheSameLevels) {
    // Serial (many pixels), and threads with images of their own (few), one pixel saturated.
    for (const auto& size : std::vector<std::pair<int32_t, int32_t>>{{300, 200}, {3, 2}}) {
        std::mt19937 rng(size.first);
        std::uniform_real_distribution<float> spread(0.0f, 3.0f * size.first);
        std::vector<float> x(300000, 0.5f);
        std::vector<float> y(x.size(), 0.5f);
        for (size_t i = 70000; i < x.size(); ++i) {
            x[i] = spread(rng);
            y[i] = spread(rng);
        }
        for (int threads : {1, 3}) {
            std::vector<int64_t> histogram(kCountHistogramLength);
            std::vector<uint16_t> counts(static_cast<size_t>(size.first) * size.second);
            binPoints(size.first, size.second, static_cast<int64_t>(x.size()), x.data(), y.data(),
                      counts.data(), threads, histogram.data());
            const auto passed = equalised(counts);
            std::vector<float> levels(counts.size());
            equalizeCounts(counts.data(), levels.data(), static_cast<int64_t>(counts.size()),
                           threads, histogram.data());
            EXPECT_EQ(counts, passed.counts) << size.first << " on " << threads;
            EXPECT_EQ(levels, passed.levels) << size.first << " on " << threads;
        }
    }
}

TEST(EqualizeCounts, LargestCountsAroundTheFirstTableLengthGetTheirLevels) {
    // The tables first have 4096 entries, for counts up to 4095.
    for (uint16_t largest : {4095, 4096, 4097}) {
        const std::vector<uint16_t> counts = {0, 1, largest, 3, 2, largest, 1, 4094};
        for (int threads : {1, 3}) {
            const auto e = equalised(counts, threads);
            EXPECT_EQ(e.levels, referenceLevels(counts)) << largest << " on " << threads;
        }
    }
}

TEST(EqualizeCounts, SaturatedPixelsEqualiseLikeAnyOther) {
    const std::vector<float> x = [] {
        std::vector<float> v(65536 + 3, 0.5f);  // pixel 0 saturates
        v[65536] = 1.5f;
        v[65537] = 2.5f;
        v[65538] = 2.5f;
        return v;
    }();
    const auto e = equalised(binned(4, 1, x, std::vector<float>(x.size(), 0.0f)));
    EXPECT_EQ(e.counts, (std::vector<uint16_t>{1023, 0, 511, 0}));
    EXPECT_EQ(e.levels[2], 511.5f);
}

struct Call {
    int nlhs;
    std::vector<ArrayPtr> inputs;
    standin::CallResult operator()() const {
        std::vector<const mxArray*> raw;
        for (const auto& input : inputs) {
            raw.push_back(input.get());
        }
        return standin::call(mexFunction, "dotMosaic", nlhs, raw);
    }
};

ArrayPtr singles(std::vector<float> values, bool row = false) {
    const size_t n = values.size();
    return makeFilled<float>(mxSINGLE_CLASS,
                             row ? std::vector<size_t>{1, n} : std::vector<size_t>{n, 1}, values);
}

std::vector<ArrayPtr> inputs(double sizeX, double sizeY, ArrayPtr x, ArrayPtr y, double flag) {
    std::vector<ArrayPtr> in;
    in.push_back(standin::makeScalar(sizeX));
    in.push_back(standin::makeScalar(sizeY));
    in.push_back(std::move(x));
    in.push_back(std::move(y));
    in.push_back(standin::makeScalar(flag));
    return in;
}

void expectError(const standin::CallResult& result, const std::string& message) {
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.identifier, "");
    EXPECT_EQ(result.message, message);
    EXPECT_EQ(result.arraysAtError, 0u) << "no output may exist when a check fails";
    EXPECT_EQ(result.scratchLeft, 0u);
}

TEST(DotMosaicEntry, ChecksRunInOrderWithExactMessages) {
    const std::string count = "Must input sizeX,sizeY,X,Y,UseHistEqual!\n";
    const std::string single = "Array inputs must be comprised of single floats!\n";
    const std::string shortY = "Y must have at least as many elements as X!\n";
    const std::string size = "sizeX and sizeY must be at least 1!\n";

    expectError(Call{1, {}}(), count);
    auto six = inputs(4, 4, singles({1}), singles({1}), 0);
    six.push_back(standin::makeScalar(0));
    expectError(Call{1, std::move(six)}(), count);
    std::vector<ArrayPtr> four;
    four.push_back(standin::makeScalar(4));
    four.push_back(standin::makeScalar(4));
    four.push_back(standin::makeScalar(1));  // a double X would fail later checks too
    four.push_back(standin::makeScalar(1));
    expectError(Call{1, std::move(four)}(), count);

    expectError(Call{1, inputs(4, 4, standin::makeScalar(1), singles({1}), 0)}(), single);
    expectError(Call{1, inputs(4, 4, singles({1}), standin::makeScalar(1), 0)}(), single);
    // Class before length, length before size.
    expectError(Call{1, inputs(0, 4, singles({1, 2}), standin::makeScalar(1), 0)}(), single);
    expectError(Call{1, inputs(0, 4, singles({1, 2}), singles({1}), 0)}(), shortY);
    expectError(Call{1, inputs(0, 4, singles({1}), singles({1}), 0)}(), size);
    expectError(Call{1, inputs(4, 0.9, singles({1}), singles({1}), 0)}(), size);
    expectError(Call{1, inputs(std::nan(""), 4, singles({1}), singles({1}), 0)}(), size);
    expectError(Call{1, inputs(-HUGE_VAL, 4, singles({}), singles({}), 0)}(), size);
}

TEST(DotMosaicEntry, ReturnsCountsAndZeroLevelsInTheSlotsAsked) {
    for (int nlhs = 0; nlhs <= 2; ++nlhs) {
        // sizeX 10.9 truncates to 10; a 1-by-N row counts every point; 0.7 means no equalising.
        auto result = Call{nlhs, inputs(10.9, 3, singles({1.5f, 1.5f, 9.2f, -1}, true),
                                        singles({0, 0, 2.5f, 1, 99}), 0.7)}();
        ASSERT_FALSE(result.failed) << result.message;
        EXPECT_TRUE(result.slotGuardsIntact);
        EXPECT_EQ(result.strayArrays, 0u);
        EXPECT_EQ(result.scratchLeft, 0u);
        ASSERT_EQ(result.outputs.size(), nlhs == 2 ? 2u : 1u);
        const mxArray* counts = result.outputs[0].get();
        EXPECT_EQ(mxGetClassID(counts), mxUINT16_CLASS);
        EXPECT_EQ(standin::dimsOf(counts), (std::vector<size_t>{10, 3}));
        std::vector<uint16_t> expected(30);
        expected[1] = 2;
        expected[9 + 20] = 1;
        expected[0 + 10] = 1;
        EXPECT_EQ(
            std::vector<uint16_t>(elementsOf<uint16_t>(counts), elementsOf<uint16_t>(counts) + 30),
            expected);
        if (nlhs == 2) {
            const mxArray* levels = result.outputs[1].get();
            EXPECT_EQ(mxGetClassID(levels), mxSINGLE_CLASS);
            EXPECT_EQ(standin::dimsOf(levels), (std::vector<size_t>{10, 3}));
            EXPECT_EQ(std::count(elementsOf<float>(levels), elementsOf<float>(levels) + 30, 0.0f),
                      30);
        }
    }
}

TEST(DotMosaicEntry, EqualisesIntoBothOutputsOrIntoTheOnlyOne) {
    // Counts 1, 1, 2 and 3 in four pixels of a 3-by-2 image.
    const std::vector<float> x = {0, 1, 2, 2, 0, 0, 0};
    const std::vector<float> y = {0, 0, 0, 0, 1, 1, 1};
    for (int role = 0; role < 4; ++role) {
        // As MATLAB, then as Octave: neither is asked for an output by a call of its own.
        const int nlhs = 1 + role % 2;
        standin::playOctave(role >= 2);
        auto result = Call{nlhs, inputs(3, 2, singles(x), singles(y), -2)}();
        standin::playOctave(false);
        ASSERT_FALSE(result.failed) << result.message;
        EXPECT_EQ(result.hostCalls, 0u);
        EXPECT_EQ(result.scratchLeft, 0u) << "equalisation tables must be released";
        const uint16_t* counts = elementsOf<uint16_t>(result.outputs[0].get());
        EXPECT_EQ(std::vector<uint16_t>(counts, counts + 6),
                  (std::vector<uint16_t>{341, 341, 682, 1023, 0, 0}));
        if (nlhs == 2) {
            const float* levels = elementsOf<float>(result.outputs[1].get());
            EXPECT_EQ(std::vector<float>(levels, levels + 6),
                      (std::vector<float>{341, 341, 682, 1023, 0, 0}));
        }
    }
    // No points: both images stay zero.
    auto result = Call{2, inputs(2, 2, singles({}), singles({}), 1)}();
    ASSERT_FALSE(result.failed);
    EXPECT_EQ(elementsOf<uint16_t>(result.outputs[0].get())[0], 0);
    EXPECT_EQ(elementsOf<float>(result.outputs[1].get())[3], 0.0f);
}

TEST(DotMosaicEntry, RefusesDimensionsBeyond32Bits) {
    auto x = standin::makeArray(mxSINGLE_CLASS, {size_t{1} << 31, 0});
    auto result = Call{1, inputs(4, 4, std::move(x), singles({}), 0)}();
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.identifier, "dotMosaic:DimensionTooLarge");
    EXPECT_EQ(result.arraysAtError, 0u);
    // Sizes that would truncate to 2^31 - 1 and be allocated.
    for (double size : {HUGE_VAL, 3e9, 2147483648.0}) {
        for (bool first : {true, false}) {
            result =
                Call{1, inputs(first ? size : 4, first ? 4 : size, singles({}), singles({}), 0)}();
            EXPECT_EQ(result.identifier, "dotMosaic:DimensionTooLarge") << size;
            EXPECT_EQ(result.message, "Array dimensions must each be less than 2^31.\n");
            EXPECT_EQ(result.arraysAtError, 0u);
        }
    }
}

TEST(DotMosaicEntry, ScalarsOfTheWrongKindAndComplexPointsAreRefused) {
    std::vector<ArrayPtr> wrong;
    wrong.push_back(standin::makeArray(mxCELL_CLASS, {1, 1}));
    wrong.push_back(standin::makeArray(mxSTRUCT_CLASS, {1, 1}));
    wrong.push_back(standin::makeArray(mxFUNCTION_CLASS, {1, 1}));
    wrong.push_back(standin::makeArray(mxDOUBLE_CLASS, {0, 0}));
    wrong.push_back(standin::makeArray(mxDOUBLE_CLASS, {1, 1}, mxCOMPLEX));
    for (const auto& bad : wrong) {
        for (size_t slot : {0, 1, 4}) {
            auto in = inputs(4, 4, singles({1}), singles({1}), 0);
            in[slot] = standin::makeArray(mxGetClassID(bad.get()), standin::dimsOf(bad.get()),
                                          mxIsComplex(bad.get()) ? mxCOMPLEX : mxREAL);
            const auto result = Call{1, std::move(in)}();
            EXPECT_TRUE(result.failed);
            EXPECT_EQ(result.identifier, "dotMosaic:WrongType") << slot;
            EXPECT_EQ(result.message,
                      "sizeX, sizeY and UseHistEqual must be real numeric scalars.\n");
            EXPECT_EQ(result.arraysAtError, 0u);
        }
    }
    // MATLAB reads a sparse array's first nonzero element as its scalar value.
    auto sparse = inputs(4, 4, singles({1}), singles({1}), 0);
    sparse[4] = standin::makeSparse(1, 1);
    EXPECT_EQ((Call{1, std::move(sparse)}().identifier), "dotMosaic:WrongType");
    // The class check still comes first; complex coordinates fail it.
    auto in = inputs(4, 4, singles({1}), singles({1}), 0);
    in[0] = standin::makeArray(mxCELL_CLASS, {1, 1});
    in[3] = standin::makeArray(mxSINGLE_CLASS, {1, 1}, mxCOMPLEX);
    expectError(Call{1, std::move(in)}(), "Array inputs must be comprised of single floats!\n");
}

}  // namespace
