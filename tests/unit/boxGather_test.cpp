#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "boxes.h"
#include "failing_allocations.h"
#include "reserved_memory.h"
#include "standin_host.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

using standin::ArrayPtr;
using standin::elementsOf;
using standin::makeArray;
using standin::makeFilled;

const double kInf = std::numeric_limits<double>::infinity();

// A stack whose every pixel tells where it is: value = x + 1000 * y + 1e6 * z.
std::vector<float> labelledStack(int32_t rows, int32_t cols, int32_t frames) {
    std::vector<float> stack(static_cast<size_t>(rows) * cols * frames);
    for (int32_t z = 0; z < frames; ++z) {
        for (int32_t y = 0; y < cols; ++y) {
            for (int32_t x = 0; x < rows; ++x) {
                stack[x + rows * (y + static_cast<size_t>(cols) * z)] =
                    static_cast<float>(x + 1000 * y + 1000000 * z);
            }
        }
    }
    return stack;
}

struct Cut {
    std::vector<float> box;
    float x0;
    float y0;
};

Cut cutOne(const std::vector<float>& stack, int32_t rows, int32_t cols, int32_t g, double x,
           double y, double z) {
    Cut cut{std::vector<float>(static_cast<size_t>(g) * g), -1, -1};
    cutBox(stack.data(), 0, g, rows, cols, &x, &y, &z, cut.box.data(), &cut.x0, &cut.y0);
    return cut;
}

// Corner by the documented integer recipe, for positions well inside the 32-bit range.
int64_t referenceStart(double position, int32_t g, int32_t length) {
    const auto half = static_cast<int64_t>(std::floor(g * 0.5 + 0.5));
    int64_t start = static_cast<int64_t>(std::floor(position + 0.5)) + 1 - half;
    if (start < 0) {
        start = 0;
    }
    if (start + g - 1 > length - 1) {
        start = length - g;
    }
    return start;
}

TEST(CutBox, PlacesRoundsAndClampsAsDocumented) {
    const int32_t rows = 30;
    const int32_t cols = 20;
    const auto stack = labelledStack(rows, cols, 4);
    EXPECT_EQ(cutOne(stack, rows, cols, 5, 10.0, 10.0, 0).x0, 8);  // rows 8 to 12
    EXPECT_EQ(cutOne(stack, rows, cols, 4, 10.0, 10.0, 0).x0, 9);  // even: rows 9 to 12
    EXPECT_EQ(cutOne(stack, rows, cols, 4, 9.5, 10.0, 0).x0, 9);   // halves round up
    EXPECT_EQ(cutOne(stack, rows, cols, 4, 9.49, 10.0, 0).x0, 8);
    EXPECT_EQ(cutOne(stack, rows, cols, 5, -7.0, 10.0, 0).x0, 0);
    EXPECT_EQ(cutOne(stack, rows, cols, 5, rows + 40.0, 10.0, 0).x0, rows - 5);
    EXPECT_EQ(cutOne(stack, rows, cols, 5, kInf, -kInf, 0).x0, rows - 5);
    EXPECT_EQ(cutOne(stack, rows, cols, 5, kInf, -kInf, 0).y0, 0);
    EXPECT_EQ(cutOne(stack, rows, cols, 5, 1e300, 1e12, 0).y0, cols - 5);
    EXPECT_EQ(cutOne(stack, rows, cols, 5, -1e300, 3e9, 0).x0, 0);

    // g = 1: the single pixel (rx, ry); corners are rx and ry.
    Cut pixel = cutOne(stack, rows, cols, 1, 6.5, 3.2, 0);
    EXPECT_EQ(pixel.x0, 7);
    EXPECT_EQ(pixel.y0, 3);
    EXPECT_EQ(pixel.box[0], 7 + 1000 * 3);

    // Z = 2.9 reads frame 2; element (a, b) is stack element (x0 + a, y0 + b, z).
    Cut framed = cutOne(stack, rows, cols, 3, 29.0, 0.0, 2.9);
    EXPECT_EQ(framed.x0, 27);
    EXPECT_EQ(framed.y0, 0);
    EXPECT_EQ(framed.box[0], 27 + 2000000);
    EXPECT_EQ(framed.box[2 + 3 * 1], 29 + 1000 + 2000000);
    EXPECT_EQ(framed.box[8], 29 + 2000 + 2000000);

    // A box as large as the frame is the frame.
    Cut whole = cutOne(stack, rows, rows, rows, 3.0, 100.0, 0);
    EXPECT_EQ(whole.box, std::vector<float>(stack.begin(), stack.begin() + rows * rows));
}

TEST(CutBox, MatchesReferenceOnRandomPositionsOddAndEvenSizes) {
    std::mt19937 rng(2024);
    for (int32_t g = 1; g <= 15; ++g) {
        const int32_t rows = g + static_cast<int32_t>(rng() % 20);
        const int32_t cols = g + static_cast<int32_t>(rng() % 20);
        const int32_t frames = 1 + static_cast<int32_t>(rng() % 3);
        const auto stack = labelledStack(rows, cols, frames);
        const int64_t n = 40;
        std::vector<double> x(n), y(n), z(n);
        std::uniform_real_distribution<double> spread(-8.0, rows + 8.0);
        for (int64_t i = 0; i < n; ++i) {
            x[i] = spread(rng);
            y[i] = spread(rng) * cols / rows;
            z[i] = std::uniform_real_distribution<double>(-0.99, frames - 0.01)(rng);
        }
        std::vector<float> boxes(static_cast<size_t>(g) * g * n, -1.0f);
        std::vector<float> cornerX(n), cornerY(n);
        for (int64_t i = 0; i < n; ++i) {
            cutBox(stack.data(), i, g, rows, cols, x.data(), y.data(), z.data(), boxes.data(),
                   cornerX.data(), cornerY.data());
        }
        // All boxes at once, on any number of threads (64: more threads than points).
        for (int threads : {1, 2, 3, 64}) {
            std::vector<float> together(boxes.size(), -1.0f);
            std::vector<float> togetherX(n), togetherY(n);
            cutBoxes({stack.data(), rows, cols, x.data(), y.data(), z.data()},
                     {together.data(), togetherX.data(), togetherY.data(), g}, n, threads);
            ASSERT_EQ(together, boxes) << g << " on " << threads;
            ASSERT_EQ(togetherX, cornerX);
            ASSERT_EQ(togetherY, cornerY);
        }
        for (int64_t i = 0; i < n; ++i) {
            const int64_t x0 = referenceStart(x[i], g, rows);
            const int64_t y0 = referenceStart(y[i], g, cols);
            const auto frame = static_cast<int64_t>(z[i]);
            ASSERT_EQ(cornerX[i], x0) << "g " << g << " x " << x[i];
            ASSERT_EQ(cornerY[i], y0) << "g " << g << " y " << y[i];
            for (int32_t b = 0; b < g; ++b) {
                for (int32_t a = 0; a < g; ++a) {
                    ASSERT_EQ(boxes[a + g * (b + static_cast<size_t>(g) * i)],
                              stack[(x0 + a) + rows * ((y0 + b) + cols * frame)]);
                }
            }
        }
    }
}

TEST(CutBox, ReachesPast2To31ElementsInStackAndBoxes) {
    const int32_t rows = 50000;
    const int32_t cols = 50000;  // 2.5e9 pixels in one frame
    const size_t pixels = static_cast<size_t>(rows) * cols;
    const int32_t g = 15;
    const int64_t n = 10000000;  // 2.25e9 box elements
    const size_t boxElements = static_cast<size_t>(g) * g * n;
    ReservedMemory stack(pixels * sizeof(float));
    ReservedMemory boxes(boxElements * sizeof(float));
    if (!stack.ok() || !boxes.ok()) {
        GTEST_SKIP() << "cannot reserve address space";
    }
    float* pixel = stack.as<float>();
    pixel[pixels - 1] = 7.0f;                                             // last pixel
    pixel[(rows - 15) + static_cast<size_t>(rows) * (cols - 15)] = 5.0f;  // the box's first
    std::vector<double> x(n, 0.0), y(n, 0.0), z(n, 0.0);
    x[n - 1] = rows - 1;
    y[n - 1] = 1e9;
    std::vector<float> cornerX(n), cornerY(n);
    cutBox(stack.as<float>(), n - 1, g, rows, cols, x.data(), y.data(), z.data(), boxes.as<float>(),
           cornerX.data(), cornerY.data());
    EXPECT_EQ(cornerX[n - 1], rows - 15);
    EXPECT_EQ(cornerY[n - 1], cols - 15);
    EXPECT_EQ(boxes.as<float>()[boxElements - 1], 7.0f);
    EXPECT_EQ(boxes.as<float>()[boxElements - g * g], 5.0f);
}

// ---- the entry, through the stand-in host ----

ArrayPtr column(std::vector<double> values) {
    const size_t n = values.size();
    return makeFilled<double>(mxDOUBLE_CLASS, {n, 1}, values);
}

struct Inputs {
    ArrayPtr x = column({5, 2});
    ArrayPtr y = column({5, 9});
    ArrayPtr z = column({0, 1});
    ArrayPtr boxsize = standin::makeScalar(3);
    ArrayPtr data = [] {
        const auto values = labelledStack(12, 10, 2);
        return makeFilled<float>(mxSINGLE_CLASS, {12, 10, 2}, values);
    }();

    standin::CallResult call(int nlhs = 3, int count = 5) const {
        std::vector<const mxArray*> raw = {x.get(), y.get(), z.get(), boxsize.get(), data.get()};
        raw.resize(static_cast<size_t>(count), data.get());
        return standin::call(mexFunction, "boxGather", nlhs, raw);
    }
};

void expectFailure(const standin::CallResult& result, const std::string& identifier,
                   const std::string& message) {
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.identifier, identifier);
    EXPECT_EQ(result.message, message);
    EXPECT_EQ(result.arraysAtError, 0u) << "no output may exist when a check fails";
    EXPECT_EQ(result.scratchLeft, 0u);
}

const std::string kDims = "boxGather:WrongDimensions";
const std::string kRange = "boxGather:InputOutofRange";

TEST(BoxGatherEntry, WrongInputCountGivesUsageWithKeywordLines) {
    Inputs in;
    for (int count : {0, 4, 6}) {
        auto result = in.call(3, count);
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.identifier, "MATLAB:WrongNumberOfInputs");
        const std::string& usage = result.message;
        EXPECT_EQ(usage.rfind("Usage: boxGather(xpostitions,ypositions,zpositions, boxsize,data)\n"
                              "$Rev: ",
                              0),
                  0u);
        const auto date = usage.find("$\n$Date: ");
        const auto author = usage.find("$\n$Author: ");
        const auto url = usage.find("$\n$HeadURL: ");
        EXPECT_TRUE(date != std::string::npos && date < author && author < url) << usage;
        EXPECT_EQ(usage.substr(usage.size() - 2), " $");  // the last line has no newline
    }
}

TEST(BoxGatherEntry, EachCheckInTableOrder) {
    Inputs in;
    in.data = makeArray(mxDOUBLE_CLASS, {12, 10});
    in.x = column({});
    expectFailure(in.call(), "boxGather:WrongPrecision",
                  "data must be comprised of single floats\n");

    in = Inputs();
    in.x = column({});
    in.y = column({});
    expectFailure(in.call(), kDims, "X coordinate array is empty.\n");
    in.x = column({1});
    expectFailure(in.call(), kDims, "Y coordinate array is empty.\n");
    in.y = column({1});
    in.z = column({});
    expectFailure(in.call(), kDims, "Z coordinate array is empty.\n");

    in = Inputs();
    in.x = makeFilled<double>(mxDOUBLE_CLASS, {1, 5}, {1, 2, 3, 4, 5});
    in.y = makeFilled<double>(mxDOUBLE_CLASS, {1, 5}, {1, 2, 3, 4, 5});
    expectFailure(in.call(), kDims, "X should be a 1 dimensional array.\n");
    in.x = makeArray(mxDOUBLE_CLASS, {2, 1, 2});
    expectFailure(in.call(), kDims, "X should be a 1 dimensional array.\n");
    in.x = column({1, 2, 3, 4, 5});
    expectFailure(in.call(), kDims, "Y should be a 1 dimensional array.\n");
    in.y = column({1, 2, 3, 4, 5});
    in.z = makeArray(mxDOUBLE_CLASS, {5, 2});
    expectFailure(in.call(), kDims, "Z should be a 1 dimensional array.\n");

    in = Inputs();
    in.z = column({0, 0, 0});
    expectFailure(in.call(), "boxGather:DimensionMismatch",
                  "Size of X and Y and Z coordinates must match.\n");
    in.z = column({0, 0});
    in.y = column({1});
    expectFailure(in.call(), "boxGather:DimensionMismatch",
                  "Size of X and Y and Z coordinates must match.\n");

    in = Inputs();
    in.boxsize = makeFilled<double>(mxDOUBLE_CLASS, {1, 2}, {3, 3});
    expectFailure(in.call(), kDims,
                  "boxsize should be a single value specifying the szxsz region size.\n");
    in.boxsize = makeArray(mxDOUBLE_CLASS, {0, 0});
    expectFailure(in.call(), kDims,
                  "boxsize should be a single value specifying the szxsz region size.\n");

    in.boxsize = makeArray(mxDOUBLE_CLASS, {1, 1, 2});
    expectFailure(in.call(), kDims,
                  "boxsize should be a single value specifying the szxsz region size.\n");

    in = Inputs();
    in.data = makeArray(mxSINGLE_CLASS, {12, 10, 2, 2});
    expectFailure(in.call(), kDims, "data should be a 3 dimensional array not 4.\n");
    // Neither a complex stack nor a boxsize the host cannot read as a number.
    in.data = makeArray(mxSINGLE_CLASS, {12, 10}, mxCOMPLEX);
    expectFailure(in.call(), "boxGather:WrongPrecision",
                  "data must be comprised of single floats\n");
    for (mxClassID bad : {mxCELL_CLASS, mxSTRUCT_CLASS, mxFUNCTION_CLASS}) {
        in = Inputs();
        in.boxsize = makeArray(bad, {1, 1});
        expectFailure(in.call(), "boxGather:WrongPrecision",
                      "boxsize must be a real numeric value.\n");
    }
    in.boxsize = makeArray(mxDOUBLE_CLASS, {1, 1}, mxCOMPLEX);
    expectFailure(in.call(), "boxGather:WrongPrecision", "boxsize must be a real numeric value.\n");
    in.boxsize = standin::makeSparse(1, 1);  // MATLAB would read its first nonzero element
    expectFailure(in.call(), "boxGather:WrongPrecision", "boxsize must be a real numeric value.\n");
    // A stack with no frames has no frame a position could name.
    in = Inputs();
    in.data = makeArray(mxSINGLE_CLASS, {12, 10, 0});
    expectFailure(in.call(), kRange, "data holds no frames.\n");

    for (double bad : {0.9, 0.0, -3.0, std::nan("")}) {
        in = Inputs();
        in.boxsize = standin::makeScalar(bad);
        expectFailure(in.call(), kRange, "boxsize must be a positive integer.\n");
    }
    for (double bad : {13.0, 11.0, kInf, 1e12}) {  // 12 rows, 10 columns
        in = Inputs();
        in.boxsize = standin::makeScalar(bad);
        expectFailure(in.call(), kRange, "data size must be bigger than boxsize\n");
    }
}

TEST(BoxGatherEntry, FirstFailingCheckWins) {
    Inputs in;
    in.data = makeArray(mxDOUBLE_CLASS, {2, 2, 2, 2});  // fails 2 and 11
    in.x = column({});                                  // fails 3
    in.boxsize = standin::makeScalar(0);                // fails 12
    expectFailure(in.call(), "boxGather:WrongPrecision",
                  "data must be comprised of single floats\n");
    in.data = makeArray(mxSINGLE_CLASS, {2, 2, 2, 2});
    expectFailure(in.call(), kDims, "X coordinate array is empty.\n");
    in.x = column({1, 2});
    in.boxsize = makeArray(mxDOUBLE_CLASS, {1, 2});  // fails 10, before 11
    expectFailure(in.call(), kDims,
                  "boxsize should be a single value specifying the szxsz region size.\n");
    in.boxsize = standin::makeScalar(0);
    expectFailure(in.call(), kDims, "data should be a 3 dimensional array not 4.\n");
    in.data = makeArray(mxSINGLE_CLASS, {2, 2});
    expectFailure(in.call(), kRange, "boxsize must be a positive integer.\n");
    // The checks on positions come after check 14.
    in.boxsize = standin::makeScalar(3);
    in.x = makeFilled<char16_t>(mxCHAR_CLASS, {2, 1}, {u'a', u'b'});
    expectFailure(in.call(), kRange, "data size must be bigger than boxsize\n");
}

TEST(BoxGatherEntry, PositionsMustBeRealNumericFramesAndNotNaN) {
    const std::string numeric = "X, Y and Z must be real numeric arrays.\n";
    // Char, logical, cell, struct, complex and sparse, in each of X, Y and Z.
    const std::vector<std::function<ArrayPtr()>> makers = {
        [] {
            return makeArray(mxCHAR_CLASS, {2, 1});
        },
        [] {
            return makeArray(mxLOGICAL_CLASS, {2, 1});
        },
        [] {
            return makeArray(mxCELL_CLASS, {2, 1});
        },
        [] {
            return makeArray(mxSTRUCT_CLASS, {2, 1});
        },
        [] {
            return makeArray(mxDOUBLE_CLASS, {2, 1}, mxCOMPLEX);
        },
        [] { return standin::makeSparse(2, 1); }};
    for (const auto& make : makers) {
        for (ArrayPtr Inputs::*position : {&Inputs::x, &Inputs::y, &Inputs::z}) {
            Inputs in;
            in.*position = make();
            expectFailure(in.call(), "boxGather:WrongPrecision", numeric);
        }
    }

    Inputs in;
    in.z = column({0, 2});
    expectFailure(in.call(), kRange, "Z must hold frame indices from 0 to 1.\n");
    in.z = column({-1, 0});
    expectFailure(in.call(), kRange, "Z must hold frame indices from 0 to 1.\n");
    in.z = column({-0.99, 1.99});  // truncated toward zero: frames 0 and 1
    EXPECT_FALSE(in.call().failed);
    in.z = column({std::nan(""), 0});
    expectFailure(in.call(), kRange, "Z must hold frame indices from 0 to 1.\n");
    // Single frame data: only frame 0 exists. Converted positions are released on failure too.
    in.data = makeFilled<float>(mxSINGLE_CLASS, {12, 10}, labelledStack(12, 10, 1));
    in.z = makeFilled<float>(mxSINGLE_CLASS, {2, 1}, {0.0f, 1.0f});
    expectFailure(in.call(), kRange, "Z must hold frame indices from 0 to 0.\n");

    in = Inputs();
    in.x = makeFilled<float>(mxSINGLE_CLASS, {2, 1}, {1.0f, std::nanf("")});
    expectFailure(in.call(), kRange, "X and Y must not be NaN.\n");
    in.x = column({1, 1});
    in.y = column({std::nan(""), 1});
    expectFailure(in.call(), kRange, "X and Y must not be NaN.\n");
    in.z = column({0, 5});  // the frame check comes first
    expectFailure(in.call(), kRange, "Z must hold frame indices from 0 to 1.\n");
}

TEST(BoxGatherEntry, ReturnsBoxesAndCornersForAnyNumericPositions) {
    Inputs in;
    in.boxsize = standin::makeScalar(3.99);  // taken as 3
    in.x = makeFilled<int16_t>(mxINT16_CLASS, {3, 1}, {5, 2, 11});
    in.y = makeFilled<float>(mxSINGLE_CLASS, {3, 1},
                             {5.5f, 9.0f, -std::numeric_limits<float>::infinity()});
    in.z = makeFilled<uint8_t>(mxUINT8_CLASS, {3, 1}, {0, 1, 1});
    for (int role = 0; role < 8; ++role) {
        const int nlhs = role % 4;
        // As MATLAB, then as Octave: neither is asked for an output by a call of its own.
        standin::playOctave(role >= 4);
        auto result = in.call(nlhs);
        standin::playOctave(false);
        ASSERT_FALSE(result.failed) << result.message;
        EXPECT_TRUE(result.slotGuardsIntact);
        EXPECT_EQ(result.strayArrays, 0u);
        EXPECT_EQ(result.scratchLeft, 0u);
        EXPECT_EQ(result.unwrittenOutputs, 0u);
        EXPECT_EQ(result.hostCalls, 0u);
        ASSERT_EQ(result.outputs.size(), static_cast<size_t>(nlhs > 1 ? nlhs : 1));
        const mxArray* boxes = result.outputs[0].get();
        EXPECT_EQ(mxGetClassID(boxes), mxSINGLE_CLASS);
        EXPECT_EQ(standin::dimsOf(boxes), (std::vector<size_t>{3, 3, 3}));
        const float* b = elementsOf<float>(boxes);
        EXPECT_EQ(b[0], 4 + 1000 * 5);                  // (5, 5.5) -> corner (4, 5)
        EXPECT_EQ(b[9], 1 + 1000 * 7 + 1000000);        // (2, 9) -> corner (1, 7), frame 1
        EXPECT_EQ(b[18 + 8], 11 + 1000 * 2 + 1000000);  // (11, -inf) -> corner (9, 0)
        if (nlhs == 3) {
            for (int k : {1, 2}) {
                EXPECT_EQ(mxGetClassID(result.outputs[k].get()), mxSINGLE_CLASS);
                EXPECT_EQ(standin::dimsOf(result.outputs[k].get()), (std::vector<size_t>{3, 1}));
            }
            const float* x0 = elementsOf<float>(result.outputs[1].get());
            const float* y0 = elementsOf<float>(result.outputs[2].get());
            EXPECT_EQ(std::vector<float>(x0, x0 + 3), (std::vector<float>{4, 1, 9}));
            EXPECT_EQ(std::vector<float>(y0, y0 + 3), (std::vector<float>{5, 7, 0}));
        }
    }
}

TEST(BoxGatherEntry, PositionsWithoutMemoryToConvertThemFailAsOutOfMemory) {
    SKIP_WITHOUT_FAILING_ALLOCATIONS();
    // The doubles of 1000 positions: larger than anything the host allocates for a call.
    Inputs in;
    in.x = makeFilled<int16_t>(mxINT16_CLASS, {1000, 1}, std::vector<int16_t>(1000, 5));
    in.y = column(std::vector<double>(1000, 5.0));
    in.z = column(std::vector<double>(1000, 0.0));
    failing_allocations::failFrom = 1000 * sizeof(double);
    auto result = in.call();
    failing_allocations::failFrom = SIZE_MAX;
    expectFailure(result, "boxGather:OutOfMemory", "Out of memory.\n");
}

TEST(BoxGatherEntry, RefusesDimensionsBeyond32Bits) {
    Inputs in;
    in.data = makeArray(mxSINGLE_CLASS, {12, size_t{1} << 32, 0});
    auto result = in.call();
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.identifier, "boxGather:DimensionTooLarge");
}

}  // namespace
