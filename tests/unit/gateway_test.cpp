#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "gateway.h"
#include "standin_host.h"

using standin::call;
using standin::makeArray;

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

TEST(ScalarRule, TruncatesTowardZeroAndSaturatesWithoutUndefinedConversions) {
    EXPECT_EQ(gateway::truncateToInt32(10.9), 10);
    EXPECT_EQ(gateway::truncateToInt32(-10.9), -10);
    EXPECT_EQ(gateway::truncateToInt32(0.7), 0);
    EXPECT_EQ(gateway::truncateToInt32(-0.7), 0);
    EXPECT_EQ(gateway::truncateToInt32(std::nan("")), 0);
    EXPECT_EQ(gateway::truncateToInt32(HUGE_VAL), kMax);
    EXPECT_EQ(gateway::truncateToInt32(-HUGE_VAL), kMin);
    EXPECT_EQ(gateway::truncateToInt32(3e9), kMax);
    EXPECT_EQ(gateway::truncateToInt32(-3e9), kMin);
    EXPECT_EQ(gateway::truncateToInt32(2147483646.9), kMax - 1);
    EXPECT_EQ(gateway::truncateToInt32(2147483647.5), kMax);
    EXPECT_EQ(gateway::truncateToInt32(-2147483648.9), kMin);
    EXPECT_EQ(gateway::truncateToInt32(-2147483647.9), kMin + 1);
}

TEST(ScalarRule, ReadsTheFirstElementOfAnyNumericClass) {
    auto int16s = standin::makeFilled<int16_t>(mxINT16_CLASS, {1, 2}, {-7, 9});
    auto singles = standin::makeFilled<float>(mxSINGLE_CLASS, {2, 1}, {5.99f, 1.0f});
    auto logicals = standin::makeFilled<bool>(mxLOGICAL_CLASS, {1, 1}, {true});
    EXPECT_EQ(gateway::readScalarInt32(int16s.get()), -7);
    EXPECT_EQ(gateway::readScalarInt32(singles.get()), 5);
    EXPECT_EQ(gateway::readScalarInt32(logicals.get()), 1);
}

// Entry used by the tests below: reads the shape of input 0 and returns its dimensions.
void shapeEntry(int nlhs, mxArray* plhs[], int, const mxArray* prhs[]) {
    const gateway::Shape shape = gateway::readShape(prhs[0]);
    mxArray* out = gateway::createOutputMatrix(1, 5, mxDOUBLE_CLASS, gateway::Fill::kZero);
    double* values = static_cast<double*>(mxGetData(out));
    values[0] = shape.count;
    for (int k = 0; k < 3; ++k) {
        values[k + 1] = shape.dims[k];
    }
    values[4] = static_cast<double>(shape.elements);
    gateway::storeOutput(nlhs, plhs, 0, out);
}

TEST(Shape, ReadsDimensionsAndRefusesOnesBeyond32Bits) {
    auto fourD = makeArray(mxSINGLE_CLASS, {2, 3, 4, 5});
    auto result = call(shapeEntry, "probe", 1, {fourD.get()});
    ASSERT_FALSE(result.failed) << result.message;
    const double* v = standin::elementsOf<double>(result.outputs[0].get());
    EXPECT_EQ(v[0], 4);
    EXPECT_EQ(v[1], 2);
    EXPECT_EQ(v[2], 3);
    EXPECT_EQ(v[3], 4);
    EXPECT_EQ(v[4], 120);

    auto row = makeArray(mxSINGLE_CLASS, {1, 7});
    result = call(shapeEntry, "probe", 1, {row.get()});
    v = standin::elementsOf<double>(result.outputs[0].get());
    EXPECT_EQ(v[0], 2);
    EXPECT_EQ(v[3], 1);  // dimensions past the last read as 1
    EXPECT_EQ(v[4], 7);

    const size_t tooLong = size_t{1} << 31;
    auto huge = makeArray(mxSINGLE_CLASS, {3, tooLong, 0});
    result = call(shapeEntry, "probe", 1, {huge.get()});
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.identifier, "probe:DimensionTooLarge");
    EXPECT_EQ(result.message, "Array dimensions must each be less than 2^31.\n");
    EXPECT_EQ(result.arraysAtError, 0u);

    auto longest = makeArray(mxSINGLE_CLASS, {tooLong - 1, 0});
    result = call(shapeEntry, "probe", 1, {longest.get()});
    ASSERT_FALSE(result.failed);
    EXPECT_EQ(standin::elementsOf<double>(result.outputs[0].get())[1], 2147483647.0);
}

void twoOutputEntry(int nlhs, mxArray* plhs[], int, const mxArray*[]) {
    gateway::storeOutput(nlhs, plhs, 0,
                         gateway::createOutputMatrix(2, 3, mxUINT16_CLASS, gateway::Fill::kZero));
    gateway::storeOutput(nlhs, plhs, 1,
                         gateway::createOutputMatrix(1, 1, mxSINGLE_CLASS, gateway::Fill::kZero));
}

TEST(Outputs, AreStoredOnlyInSlotsTheCallerHasAndNeverLeak) {
    for (int nlhs = 0; nlhs <= 2; ++nlhs) {
        auto result = call(twoOutputEntry, "probe", nlhs, {});
        ASSERT_FALSE(result.failed);
        EXPECT_TRUE(result.slotGuardsIntact) << nlhs;
        EXPECT_EQ(result.strayArrays, 0u) << nlhs;
        ASSERT_EQ(result.outputs.size(), nlhs > 1 ? 2u : 1u);
        EXPECT_EQ(mxGetClassID(result.outputs[0].get()), mxUINT16_CLASS);
        EXPECT_EQ(standin::dimsOf(result.outputs[0].get()), (std::vector<size_t>{2, 3}));
    }
}

// Fills `written` of the 3-by-4-by-2 output it makes unfilled.
int64_t written = 0;
void partlyFilledEntry(int nlhs, mxArray* plhs[], int, const mxArray*[]) {
    const int32_t dims[3] = {3, 4, 2};
    mxArray* out = gateway::createOutput(3, dims, mxSINGLE_CLASS, gateway::Fill::kUnfilled);
    std::fill(standin::elementsOf<float>(out), standin::elementsOf<float>(out) + written, 2.5f);
    gateway::storeOutput(nlhs, plhs, 0, out);
}

TEST(Outputs, AreTheModulesOwnAndUnfilledWhereNothingIsLeftUnwritten) {
    // A zeros.m or builtin.m of the user's, whatever it answers, is never called: no host
    // function is.
    for (const char* name : {"zeros", "builtin"}) {
        standin::shadowFunction(name, standin::UserAnswer::kUserVariable);
        for (int64_t count : {0, 23, 24}) {
            written = count;
            auto result = call(partlyFilledEntry, "probe", 1, {});
            ASSERT_FALSE(result.failed);
            EXPECT_EQ(result.hostCalls, 0u);
            EXPECT_EQ(result.userCalls, 0u);
            EXPECT_EQ(result.strayArrays, 0u);
            EXPECT_EQ(result.scratchLeft, 0u);
            const mxArray* out = result.outputs[0].get();
            EXPECT_EQ(standin::dimsOf(out), (std::vector<size_t>{3, 4, 2}));
            EXPECT_EQ(mxGetClassID(out), mxSINGLE_CLASS);
            EXPECT_TRUE(standinArrayIsUnshared(out));
            // Unfilled storage is poisoned: what the module left unwritten shows.
            EXPECT_EQ(result.unwrittenOutputs, count < 24 ? 1u : 0u) << count;
        }
        standin::unshadowAll();
    }
    // Outputs the caller did not ask for are destroyed.
    auto result = call(twoOutputEntry, "probe", 0, {});
    EXPECT_EQ(result.strayArrays, 0u);
    EXPECT_EQ(result.outputs.size(), 1u);
}

TEST(Values, AnyRealNumericClassReadsAsDoubles) {
    auto int16s = standin::makeFilled<int16_t>(mxINT16_CLASS, {3, 1}, {-3, 0, 32767});
    auto uint64s = standin::makeFilled<uint64_t>(mxUINT64_CLASS, {2, 1}, {1u << 20, 7});
    auto doubles = standin::makeFilled<double>(mxDOUBLE_CLASS, {2, 1}, {0.5, -2.25});
    auto complexes = makeArray(mxDOUBLE_CLASS, {2, 1}, mxCOMPLEX);
    auto text = standin::makeText("ab");
    const size_t before = standin::liveBlocks();

    gateway::Scratch scratch;
    const double* values = gateway::readAsDoubles(int16s.get(), 3, &scratch);
    EXPECT_EQ(values, scratch.get());
    EXPECT_EQ(values[0], -3.0);
    EXPECT_EQ(values[2], 32767.0);
    values = gateway::readAsDoubles(uint64s.get(), 2, &scratch);
    EXPECT_EQ(values[0], 1048576.0);
    values = gateway::readAsDoubles(doubles.get(), 2, &scratch);
    EXPECT_EQ(scratch, nullptr);  // read in place
    EXPECT_EQ(values[1], -2.25);
    EXPECT_EQ(standin::liveBlocks(), before);

    EXPECT_TRUE(gateway::isRealNumeric(int16s.get()));
    EXPECT_FALSE(gateway::isRealNumeric(complexes.get()));
    EXPECT_FALSE(gateway::isRealNumeric(standin::makeSparse(2, 2).get()));
    EXPECT_FALSE(gateway::isRealNumeric(text.get()));
    EXPECT_FALSE(gateway::isRealNumeric(makeArray(mxLOGICAL_CLASS, {1, 1}).get()));
    EXPECT_FALSE(gateway::isRealNumeric(makeArray(mxCELL_CLASS, {1, 1}).get()));
}

void throwingEntry(int, mxArray*[], int nrhs, const mxArray*[]) {
    gateway::runGuarded([&] {
        if (nrhs == 0) {
            throw std::bad_alloc();
        }
        if (nrhs == 1) {
            throw std::out_of_range("index 9 past the end");
        }
        gateway::raiseError("probe:Own", "host error %d\n", nrhs);
    });
}

TEST(Guard, TurnsEscapingExceptionsIntoHostErrorsButLetsHostErrorsThrough) {
    auto result = call(throwingEntry, "probe", 1, {});
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.identifier, "probe:OutOfMemory");
    EXPECT_EQ(result.message, "Out of memory.\n");

    auto one = standin::makeScalar(1);
    result = call(throwingEntry, "probe", 1, {one.get()});
    EXPECT_EQ(result.identifier, "probe:InternalError");
    EXPECT_EQ(result.message, "Internal error: index 9 past the end\n");

    result = call(throwingEntry, "probe", 1, {one.get(), one.get()});
    EXPECT_EQ(result.identifier, "probe:Own");
    EXPECT_EQ(result.message, "host error 2\n");
}

TEST(Errors, BareMessagesHaveNoIdentifier) {
    auto entry = [](int, mxArray*[], int, const mxArray*[]) {
        gateway::raiseError(nullptr, "Plain %s!\n", "words");
    };
    auto result = call(entry, "probe", 1, {});
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.identifier, "");
    EXPECT_EQ(result.message, "Plain words!\n");
}

}  // namespace
