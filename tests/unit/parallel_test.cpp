#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "failing_allocations.h"
#include "parallel.h"

namespace {

// Sets SPOT_THREADS, or removes it when `text` is null.
void setThreadCap(const char* text) {
#if defined(_WIN32)
    _putenv_s("SPOT_THREADS", text != nullptr ? text : "");
#else
    if (text != nullptr) {
        setenv("SPOT_THREADS", text, 1);
    } else {
        unsetenv("SPOT_THREADS");
    }
#endif
}

TEST(ThreadCap, WholeNumbersWithWhiteSpaceCapAndAnythingElseIsIgnored) {
    for (const char* three : {"3", " 3", "3 ", "\t3\n", "+3", "03"}) {
        EXPECT_EQ(parallel::threadCapFrom(three), 3) << '"' << three << '"';
    }
    for (const char* ignored : {"", " ", "0", "-3", "3.0", "3x", "x3", "3 4", "+", "1e2"}) {
        EXPECT_EQ(parallel::threadCapFrom(ignored), 0) << '"' << ignored << '"';
    }
    EXPECT_EQ(parallel::threadCapFrom(nullptr), 0);
    EXPECT_EQ(parallel::threadCapFrom("64"), 64);
    EXPECT_EQ(parallel::threadCapFrom("65"), 64);
    EXPECT_EQ(parallel::threadCapFrom("99999999999999999999999"), 64);
}

TEST(ThreadCap, LowersTheCoresButNeverRaisesThem) {
    setThreadCap(nullptr);
    const int cores = parallel::threadLimit();
    setThreadCap(" 1 ");
    EXPECT_EQ(parallel::threadLimit(), 1);
    EXPECT_EQ(parallel::threadsFor(1000000, 1), 1);
    setThreadCap("1000");
    EXPECT_EQ(parallel::threadLimit(), cores);
    setThreadCap("1.5");
    EXPECT_EQ(parallel::threadLimit(), cores);
    setThreadCap(nullptr);
}

TEST(ForSlices, ASliceWhoseThreadCannotStartRunsOnTheCaller) {
    SKIP_WITHOUT_FAILING_ALLOCATIONS();
    // std::thread needs memory for its state: without it, it throws std::bad_alloc.
    for (int failures = 0; failures <= 3; ++failures) {
        std::vector<int> runs(4);
        std::vector<int64_t> covered(4);
        failing_allocations::failNext = failures;
        parallel::forSlices(4, 1001, [&](int part, int64_t begin, int64_t end) {
            ++runs[part];
            covered[part] = end - begin;
        });
        failing_allocations::failNext = 0;
        EXPECT_EQ(runs, (std::vector<int>{1, 1, 1, 1})) << failures;
        EXPECT_EQ(covered, (std::vector<int64_t>{251, 250, 250, 250})) << failures;
    }
}

}  // namespace
