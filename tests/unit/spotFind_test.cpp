#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "failing_allocations.h"
#include "find.h"

namespace {

// The filtered frame straight from the definition: w = (h - m) / q over the window, summed
// with the border replicated, pixel by pixel.
std::vector<double> filteredByDefinition(const std::vector<double>& frame, int rows, int cols,
                                         double sigma) {
    const int r = static_cast<int>(std::ceil(3 * sigma));
    const int n = 2 * r + 1;
    std::vector<double> h(n * n);
    double mean = 0.0;
    for (int j = -r; j <= r; ++j) {
        for (int i = -r; i <= r; ++i) {
            h[(i + r) + n * (j + r)] = std::exp(-(i * i + j * j) / (2 * sigma * sigma)) /
                                       (2 * 3.14159265358979323846 * sigma * sigma);
            mean += h[(i + r) + n * (j + r)] / (n * n);
        }
    }
    double q = 0.0;
    for (double value : h) {
        q += (value - mean) * (value - mean);
    }
    std::vector<double> out(rows * cols);
    for (int y = 0; y < cols; ++y) {
        for (int x = 0; x < rows; ++x) {
            double s = 0.0;
            for (int j = -r; j <= r; ++j) {
                for (int i = -r; i <= r; ++i) {
                    const int xi = std::min(std::max(x + i, 0), rows - 1);
                    const int yj = std::min(std::max(y + j, 0), cols - 1);
                    s += (h[(i + r) + n * (j + r)] - mean) / q * frame[xi + rows * yj];
                }
            }
            out[x + rows * y] = s;
        }
    }
    return out;
}

std::vector<Candidate> find(const std::vector<double>& stack, int rows, int cols, int frames,
                            double sigma, double threshold, int threads = 1) {
    return findSpots(Stack<double>{stack.data(), rows, cols, frames}, makeSpotFilter(sigma),
                     threshold, threads);
}

// The candidates of a frame by the definition: S by filteredByDefinition (of the frame over
// 2^64, and back, which is exact, so that the sums of the largest values do not overflow), and
// each pixel above the four neighbours before it in column-major order and at least the four
// after. findSpots must give the same pixels in the same order, each S within rounding of the
// definition's: 1e-9 of the largest magnitude in its window.
void expectTheDefinition(const std::vector<double>& frame, int rows, int cols, double sigma,
                         int threads = 1) {
    const int r = static_cast<int>(std::ceil(3 * sigma));
    std::vector<double> scaled = frame;
    for (double& value : scaled) {
        value = std::ldexp(value, -64);
    }
    const std::vector<double> s = filteredByDefinition(scaled, rows, cols, sigma);
    const auto found = find(frame, rows, cols, 1, sigma, -HUGE_VAL, threads);
    size_t next = 0;
    for (int y = 0; y < cols; ++y) {
        for (int x = 0; x < rows; ++x) {
            auto at = [&](int dx, int dy) {
                const int i = x + dx;
                const int j = y + dy;
                return i < 0 || j < 0 || i >= rows || j >= cols ? -HUGE_VAL : s[i + rows * j];
            };
            const double v = s[x + rows * y];
            const bool peak = v > at(-1, 0) && v > at(-1, -1) && v > at(0, -1) && v > at(1, -1) &&
                              v >= at(1, 0) && v >= at(1, 1) && v >= at(0, 1) && v >= at(-1, 1);
            if (!peak) {
                continue;
            }
            const double strength = std::ldexp(v, 64);
            double largest = 0.0;
            for (int j = std::max(y - r, 0); j <= std::min(y + r, cols - 1); ++j) {
                for (int i = std::max(x - r, 0); i <= std::min(x + r, rows - 1); ++i) {
                    largest = std::max(largest, std::fabs(frame[i + rows * j]));
                }
            }
            ASSERT_LT(next, found.size()) << sigma;
            EXPECT_EQ(found[next].x, x) << sigma;
            EXPECT_EQ(found[next].y, y) << sigma;
            if (std::isinf(strength)) {
                EXPECT_EQ(found[next].strength, strength);  // beyond the largest double
            } else {
                EXPECT_NEAR(found[next].strength, strength, 1e-9 * largest + 1e-12)
                    << x << " " << y;
            }
            ++next;
        }
    }
    EXPECT_EQ(next, found.size()) << sigma;
}

TEST(FindSpots, FilterAndMaximaFollowTheDefinitionToTheBorders) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> noise(0.0, 30.0);
    const int rows = 23;
    const int cols = 17;
    for (double sigma : {0.6, 1.3, 2.5}) {
        std::vector<double> frame(rows * cols);
        for (double& value : frame) {
            value = 100 + noise(rng);
        }
        frame[0] += 400;                // a spot in the corner
        frame[rows * cols - 2] += 300;  // and one on the far edge
        expectTheDefinition(frame, rows, cols, sigma);
        EXPECT_EQ(find(frame, rows, cols, 1, sigma, -1e300).front().x, 0);  // the corner spot
    }
}

TEST(FindSpots, FollowTheDefinitionWhateverTheValuesMagnitudes) {
    // Two huge finite pixels, up to the top of the range, or single precision's largest value
    // used as a marker: S stays that of the definition outside their windows too, and a spot
    // far below them is still found.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> noise(0.0, 30.0);
    const int rows = 60;
    const int cols = 9;
    for (double huge : {1e20, 3.4028234663852886e38, 1e308}) {
        std::vector<double> frame(rows * cols);
        for (double& value : frame) {
            value = 100 + noise(rng);
        }
        frame[5 + rows * 4] = huge;
        frame[6 + rows * 4] = huge;
        frame[48 + rows * 4] += 500;
        expectTheDefinition(frame, rows, cols, 1.3);
        const auto found = find(frame, rows, cols, 1, 1.3, 100);
        EXPECT_TRUE(std::any_of(found.begin(), found.end(), [](const Candidate& c) {
            return c.x == 48 && c.y == 4;
        })) << huge;
    }
}

TEST(FindSpots, ThroughTheCameraMapsAsOnTheFrameInPhotons) {
    // Each pixel's offset and gain, as maps or single values: the candidates of the frame in
    // photons, (count - offset) / gain, bit for bit; and with a gain so small that the photons
    // near the top of the range, those of the definition still.
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> counts(100, 160);
    std::uniform_real_distribution<double> spread(0.0, 1.0);
    const int rows = 37;
    const int cols = 29;
    std::vector<uint16_t> frame(rows * cols);
    std::vector<double> offset(rows * cols);
    std::vector<double> gain(rows * cols);
    for (int p = 0; p < rows * cols; ++p) {
        frame[p] = static_cast<uint16_t>(counts(rng));
        offset[p] = 95 + 10 * spread(rng);
        gain[p] = 1.8 + 0.4 * spread(rng);
    }
    frame[12 + rows * 15] = 4000;
    // A column at its offsets holds photons near 0: as the spike leaves its windows, the sum
    // has to be taken afresh for the rounding it carried to go.
    for (int x = 0; x < rows; ++x) {
        frame[x + rows * 20] = static_cast<uint16_t>(std::lround(offset[x + rows * 20]));
    }
    frame[10 + rows * 20] = 65000;
    for (int form = 0; form < 4; ++form) {
        CameraMaps camera;
        camera.offset = form % 2 == 0 ? offset.data() : offset.data() + 7;
        camera.offsetMap = form % 2 == 0;
        camera.gain = form < 2 ? gain.data() : gain.data() + 3;
        camera.gainMap = form < 2;
        std::vector<double> photons(rows * cols);
        for (int p = 0; p < rows * cols; ++p) {
            const double o = camera.offset[camera.offsetMap ? p : 0];
            const double g = camera.gain[camera.gainMap ? p : 0];
            photons[p] = (frame[p] - o) / g;
        }
        const auto through = findSpots(Stack<uint16_t>{frame.data(), rows, cols, 1, camera},
                                       makeSpotFilter(1.3), 5, 3);
        const auto plain = find(photons, rows, cols, 1, 1.3, 5);
        ASSERT_EQ(through.size(), plain.size()) << form;
        ASSERT_GT(plain.size(), 3u);
        for (size_t k = 0; k < plain.size(); ++k) {
            EXPECT_EQ(through[k].x, plain[k].x);
            EXPECT_EQ(through[k].y, plain[k].y);
            EXPECT_EQ(through[k].strength, plain[k].strength) << form << " " << k;
        }
    }
    const double tiny = 1e-300;
    CameraMaps camera;
    camera.offset = offset.data();
    camera.offsetMap = true;
    camera.gain = &tiny;
    std::vector<double> photons(rows * cols);
    for (int p = 0; p < rows * cols; ++p) {
        photons[p] = (frame[p] - offset[p]) / tiny;
    }
    const auto huge = findSpots(Stack<uint16_t>{frame.data(), rows, cols, 1, camera},
                                makeSpotFilter(1.3), -HUGE_VAL, 1);
    const auto definition = find(photons, rows, cols, 1, 1.3, -HUGE_VAL);
    ASSERT_EQ(huge.size(), definition.size());
    expectTheDefinition(photons, rows, cols, 1.3);
    for (size_t k = 0; k < huge.size(); ++k) {
        EXPECT_EQ(huge[k].x, definition[k].x);
        EXPECT_NEAR(huge[k].strength, definition[k].strength,
                    1e-9 * std::fabs(definition[k].strength));
    }
}

TEST(FindSpots, ATallFrameTakesMemoryByWhatAThreadNeeds) {
    SKIP_WITHOUT_FAILING_ALLOCATIONS();
    // A frame of one column at the widest sigma: no thread takes 2r + 1 copies of its length,
    // nor any memory without a column to filter.
    std::mt19937 rng(8);
    std::uniform_real_distribution<double> noise(0.0, 30.0);
    std::vector<double> tall(200000);
    for (double& value : tall) {
        value = noise(rng);
    }
    tall[100000] += 5000;
    failing_allocations::failFrom = 16 << 20;
    std::vector<std::vector<Candidate>> results;
    for (int threads : {1, 2, 8}) {
        try {
            results.push_back(find(tall, 200000, 1, 1, 20.0, 10, threads));
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << "more than 16 MB sought on " << threads << " threads";
        }
    }
    failing_allocations::failFrom = SIZE_MAX;
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[0].empty());
    for (const auto& result : results) {
        ASSERT_EQ(result.size(), results[0].size());
        for (size_t k = 0; k < result.size(); ++k) {
            EXPECT_EQ(result[k].x, results[0][k].x);
            EXPECT_EQ(result[k].strength, results[0][k].strength);
        }
    }
    // And what it finds is the definition's, on a shorter one.
    tall.resize(3000);
    expectTheDefinition(tall, 3000, 1, 20.0, 8);
}

TEST(FindSpots, EqualNeighboursAndNaNs) {
    // Offset and background cancel: a spot of N photons reads about 0.97 N at sigma 1.3.
    std::vector<double> frame(15 * 15, 250.0);
    const double edge = std::sqrt(2.0) * 1.3;
    for (int p = 0; p < 15 * 15; ++p) {
        auto share = [&](int i) {
            return 0.5 * (std::erf((i - 6.5) / edge) - std::erf((i - 7.5) / edge));
        };
        frame[p] += 1000 * share(p % 15) * share(p / 15);
    }
    auto found = find(frame, 15, 15, 1, 1.3, 100);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].strength / 1000, 0.97, 0.01);
    // A candidate that just reaches the threshold is one.
    EXPECT_EQ(find(frame, 15, 15, 1, 1.3, found[0].strength).size(), 1u);
    frame.assign(15 * 15, 250.0);
    frame[7 + 15 * 7] += 1000;
    // Two equal pixels side by side, along either axis: the later in column-major order wins.
    frame[8 + 15 * 7] += 1000;
    found = find(frame, 15, 15, 1, 1.3, 100);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].x, 7);
    // A NaN or infinity anywhere in the window: no candidate there, nor beside it.
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), HUGE_VAL}) {
        std::vector<double> spoiled = frame;
        spoiled[3 + 15 * 7] = bad;
        const auto left = find(spoiled, 15, 15, 1, 1.3, -1e300);
        EXPECT_FALSE(left.empty());
        for (const Candidate& c : left) {  // the window reaches 4 pixels, and one beside that
            EXPECT_TRUE(std::abs(c.x - 3) > 5 || std::abs(c.y - 7) > 5) << bad;
        }
    }
}

TEST(FindSpots, OrderIsFrameColumnRowOnAnyNumberOfThreads) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> noise(0.0, 50.0);
    for (int frames : {1, 2, 7}) {
        std::vector<double> stack(40 * 33 * frames);
        for (double& value : stack) {
            value = noise(rng);
        }
        const auto serial = find(stack, 40, 33, frames, 1.1, 5);
        ASSERT_GT(serial.size(), 10u);
        for (size_t k = 1; k < serial.size(); ++k) {
            const auto& a = serial[k - 1];
            const auto& b = serial[k];
            EXPECT_LT(std::tie(a.frame, a.y, a.x), std::tie(b.frame, b.y, b.x));
        }
        for (int threads : {2, 3, 8}) {
            const auto parallel = find(stack, 40, 33, frames, 1.1, 5, threads);
            ASSERT_EQ(parallel.size(), serial.size());
            for (size_t k = 0; k < serial.size(); ++k) {
                EXPECT_EQ(parallel[k].strength, serial[k].strength);
                EXPECT_EQ(std::tie(parallel[k].frame, parallel[k].y, parallel[k].x),
                          std::tie(serial[k].frame, serial[k].y, serial[k].x));
            }
        }
    }
}

TEST(FindSpots, TheKernelsForWiderVectorsGiveTheSameBits) {
    // Frames of every type through maps or not, with a NaN, values whose running sums are
    // taken afresh, and sides that leave partial batches and vectors: the same candidates, to
    // the bit, from the baseline kernels and from the wider ones, on one thread or several.
    if (!allowWideKernels(true)) {
        GTEST_SKIP() << "this CPU has no wider kernels";
    }
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> noise(0.0, 60.0);
    const int rows = 37;
    const int cols = 23;
    const int frames = 3;
    std::vector<double> values(rows * cols * frames);
    for (double& value : values) {
        value = 100.0 + noise(rng);
    }
    values[5 + rows * 7] = 1e12;  // leaves windows far smaller behind it
    std::vector<double> offset(rows * cols);
    std::vector<double> gain(rows * cols);
    for (int k = 0; k < rows * cols; ++k) {
        offset[k] = 90.0 + 0.1 * noise(rng);
        gain[k] = 1.5 + 0.01 * noise(rng);
    }
    const CameraMaps maps{offset.data(), gain.data(), true, true};
    const SpotFilter filter = makeSpotFilter(1.3);
    auto same = [&](auto stack, int threads) {
        allowWideKernels(false);
        const std::vector<Candidate> baseline = findSpots(stack, filter, 10.0, threads);
        allowWideKernels(true);
        const std::vector<Candidate> wide = findSpots(stack, filter, 10.0, threads);
        ASSERT_EQ(baseline.size(), wide.size());
        ASSERT_GT(baseline.size(), 20u);
        for (size_t k = 0; k < wide.size(); ++k) {
            EXPECT_EQ(std::memcmp(&baseline[k].strength, &wide[k].strength, sizeof(double)), 0);
            EXPECT_EQ(std::tie(baseline[k].frame, baseline[k].y, baseline[k].x),
                      std::tie(wide[k].frame, wide[k].y, wide[k].x));
        }
    };
    std::vector<uint16_t> counts(values.size());
    std::vector<float> singles(values.size());
    for (size_t k = 0; k < values.size(); ++k) {
        counts[k] = static_cast<uint16_t>(std::min(values[k], 65535.0));
        singles[k] = static_cast<float>(values[k]);
    }
    singles[11 + rows * 3] = NAN;
    for (int threads : {1, 3}) {
        same(Stack<double>{values.data(), rows, cols, frames}, threads);
        same(Stack<double>{values.data(), rows, cols, frames, maps}, threads);
        same(Stack<uint16_t>{counts.data(), rows, cols, frames}, threads);
        same(Stack<uint16_t>{counts.data(), rows, cols, frames, maps}, threads);
        same(Stack<float>{singles.data(), rows, cols, frames, maps}, threads);
    }
}

}  // namespace
