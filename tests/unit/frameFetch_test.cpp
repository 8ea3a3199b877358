#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#endif

#include "guarded_copy.h"
#include "recording.h"
#include "recording_files.h"
#include "standin_host.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

using standin::ArrayPtr;
using standin::elementsOf;
using standin::makeArray;

standin::CallResult fetch(const mxArray* index, const mxArray* path, int nlhs = 2) {
    return standin::call(mexFunction, "frameFetch", nlhs, {index, path});
}

standin::CallResult fetch(double index, const std::string& path, int nlhs = 2) {
    const ArrayPtr indexArray = standin::makeScalar(index);
    const ArrayPtr pathArray = standin::makeText(path);
    return fetch(indexArray.get(), pathArray.get(), nlhs);
}

// The call succeeded as the host sees it and left nothing behind.
void expectClean(const standin::CallResult& result) {
    ASSERT_FALSE(result.failed) << result.message;
    EXPECT_TRUE(result.slotGuardsIntact);
    EXPECT_EQ(result.scratchLeft, 0u);
    EXPECT_EQ(result.strayArrays, 0u);
    EXPECT_EQ(result.badFrees, 0u);
    EXPECT_EQ(result.undersizedOutputs, 0u);
    EXPECT_EQ(result.unwrittenOutputs, 0u);
}

std::vector<size_t> dims(const ArrayPtr& array) {
    return standin::dimsOf(array.get());
}

double frameCountOf(const standin::CallResult& result) {
    EXPECT_EQ(mxGetClassID(result.outputs[1].get()), mxDOUBLE_CLASS);
    EXPECT_EQ(dims(result.outputs[1]), (std::vector<size_t>{1, 1}));
    return *elementsOf<double>(result.outputs[1].get());
}

void expectEmptyFrame(const standin::CallResult& result) {
    EXPECT_EQ(mxGetClassID(result.outputs[0].get()), mxUINT16_CLASS);
    EXPECT_EQ(dims(result.outputs[0]), (std::vector<size_t>{0, 0}));
}

// The frame holds pixelValue(x, y, k) at element (x, y).
void expectFrame(const standin::CallResult& result, uint32_t width, uint32_t height, uint32_t k) {
    ASSERT_EQ(dims(result.outputs[0]), (std::vector<size_t>{width, height}));
    EXPECT_EQ(mxGetClassID(result.outputs[0].get()), mxUINT16_CLASS);
    const uint16_t* pixels = elementsOf<uint16_t>(result.outputs[0].get());
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            ASSERT_EQ(pixels[x + static_cast<size_t>(width) * y], pixelValue(x, y, k))
                << x << "," << y;
        }
    }
}

TEST(FrameFetchEntry, ArgumentErrorsEndTheCall) {
    const std::string usage = "Usage: [frame, frameCount] = frameFetch(frameIndex, path)\n";
    const std::string pathType = "path must be a character array.\n";
    const std::string indexType = "frameIndex must be a real numeric scalar.\n";
    const ArrayPtr zero = standin::makeScalar(0);
    const ArrayPtr path = standin::makeText("none.rec");
    for (const auto& inputs : std::vector<std::vector<const mxArray*>>{
             {}, {zero.get()}, {zero.get(), path.get(), path.get()}}) {
        auto result = standin::call(mexFunction, "frameFetch", 2, inputs);
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.identifier, "MATLAB:WrongNumberOfInputs");
        EXPECT_EQ(result.message, usage);
    }
    std::vector<ArrayPtr> badIndices;
    badIndices.push_back(standin::makeText("1"));
    badIndices.push_back(makeArray(mxCELL_CLASS, {1, 1}));
    badIndices.push_back(makeArray(mxDOUBLE_CLASS, {1, 1}, mxCOMPLEX));
    badIndices.push_back(standin::makeSparse(1, 1));
    badIndices.push_back(makeArray(mxDOUBLE_CLASS, {1, 2}));
    badIndices.push_back(makeArray(mxDOUBLE_CLASS, {0, 0}));
    for (const auto& index : badIndices) {
        auto result = fetch(index.get(), path.get());
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.identifier, "frameFetch:WrongType");
        EXPECT_EQ(result.message, indexType);
        EXPECT_EQ(result.arraysAtError, 0u);
        // The path is checked first.
        result = fetch(index.get(), zero.get());
        EXPECT_EQ(result.message, pathType);
    }
    auto result = fetch(zero.get(), badIndices[1].get());
    EXPECT_EQ(result.identifier, "frameFetch:WrongType");
    EXPECT_EQ(result.message, pathType);
}

TEST(FrameFetchEntry, IndexMustBeFiniteAndPathOneRowWithoutNul) {
    RecordingFolder folder;
    const std::string file = folder.write("m.rec", headerOf(2, 3, 2));
    for (double index : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        auto result = fetch(index, file);
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.identifier, "frameFetch:WrongType");
        EXPECT_EQ(result.message, "frameIndex must be finite.\n");
        EXPECT_EQ(result.arraysAtError, 0u);
    }
    // The host's copy of this path would stop at the NUL and name m.rec.
    auto result = fetch(0, file + std::string("\0junk", 5));
    EXPECT_EQ(result.identifier, "frameFetch:WrongType");
    EXPECT_EQ(result.message, "path must not contain a NUL character.\n");
    EXPECT_EQ(result.scratchLeft, 0u);
    const ArrayPtr zero = standin::makeScalar(0);
    for (const auto& dims : std::vector<std::vector<size_t>>{{2, 3}, {1, 2, 3}}) {
        const ArrayPtr block = makeArray(mxCHAR_CLASS, dims);
        result = fetch(zero.get(), block.get());
        EXPECT_EQ(result.identifier, "frameFetch:WrongType");
        EXPECT_EQ(result.message, "path must be a single row of characters.\n");
    }
}

TEST(FrameFetchEntry, LibraryFailuresPrintOneLineAndReturnEmptyFrames) {
    RecordingFolder folder;
    RecordingHeader header = headerOf(3, 4, 2);
    const std::string file = folder.write("three.rec", header);

    auto result = fetch(0, folder.path("missing.rec"));
    expectClean(result);
    EXPECT_EQ(result.printed, "DCIMG_ERR=0x80000101 @ dcimg_open\n");
    expectEmptyFrame(result);
    EXPECT_EQ(frameCountOf(result), 0);

    for (double index : {3.0, -1.0, 1e10}) {
        result = fetch(index, file);
        expectClean(result);
        EXPECT_EQ(result.printed, "DCIMG_ERR=0x80000104 @ dcimg_lockframe\n") << index;
        expectEmptyFrame(result);
        EXPECT_EQ(frameCountOf(result), 3);
    }

    result = fetch(0, folder.writeBytes("damaged.rec", {'F', 'R', 'A', 'M', 'E', 'R', 'E', 'X'}));
    expectClean(result);
    EXPECT_EQ(result.printed, "DCIMG_ERR=0x80000102 @ dcimg_open\n");
    result = fetch(0, folder.write("cut.rec", header, 5));
    EXPECT_EQ(result.printed, "DCIMG_ERR=0x80000103 @ dcimg_open\n");
    EXPECT_EQ(frameCountOf(result), 0);
}

TEST(FrameFetchEntry, ErrorLinesShowTheCodeInEightUpperCaseHexDigits) {
    auto entry = [](int, mxArray*[], int, const mxArray*[]) {
        printDcimgError(static_cast<int32_t>(0x8000ABCDu), "dcimg_open");
        printDcimgError(-1, "dcimg_lockframe");
    };
    EXPECT_EQ(standin::call(entry, "frameFetch", 1, {}).printed,
              "DCIMG_ERR=0x8000ABCD @ dcimg_open\nDCIMG_ERR=0xFFFFFFFF @ dcimg_lockframe\n");
}

TEST(FrameFetchEntry, ReturnsTheFrameAndTheFullFrameCount) {
    RecordingFolder folder;
    RecordingHeader header = headerOf(70000, 3, 2);
    const std::string file = folder.write("long.rec", header);
    for (double index : {0.0, 69999.9, 4464.0}) {
        auto result = fetch(index, file);
        expectClean(result);
        EXPECT_EQ(result.printed, "");
        EXPECT_EQ(frameCountOf(result), 70000);
        expectFrame(result, 3, 2, static_cast<uint32_t>(index));
    }
    // Finite indices truncate toward zero; a logical index is a number too.
    auto result = fetch(-0.9, file);
    expectFrame(result, 3, 2, 0);
    const ArrayPtr yes = standin::makeFilled<bool>(mxLOGICAL_CLASS, {1, 1}, {true});
    const ArrayPtr path = standin::makeText(file);
    result = fetch(yes.get(), path.get());
    expectFrame(result, 3, 2, 1);
    // Only the slots the caller has are filled.
    result = fetch(2, file, 0);
    expectClean(result);
    ASSERT_EQ(result.outputs.size(), 1u);
    expectFrame(result, 3, 2, 2);
}

TEST(FrameFetchEntry, LargeFramesComeOutWidthByHeight) {
    RecordingFolder folder;
    const std::string file = folder.write("large.rec", headerOf(2, 2048, 1024));
    for (bool octave : {false, true}) {
        standin::playOctave(octave);
        auto result = fetch(1, file);
        standin::playOctave(false);
        expectClean(result);
        EXPECT_EQ(result.hostCalls, 0u);
        expectFrame(result, 2048, 1024, 1);  // the first column is the first image row
    }
}

TEST(FrameFetchEntry, PixelsThatLookLikeUnwrittenStorageAreStillWritten) {
    // Found by fuzzing: a frame of 0xA5A5 pixels, the very bytes unfilled outputs start with.
    RecordingFolder folder;
    std::vector<unsigned char> bytes = {'F', 'R', 'A', 'M', 'E', 'R', 'E', 'C', 1, 0, 0,
                                        0,   1,   0,   0,   0,   4,   0,   0,   0, 2, 0,
                                        0,   0,   8,   0,   0,   0,   0,   0,   0, 0};
    bytes.resize(bytes.size() + 16, 0xA5);
    auto result = fetch(0, folder.writeBytes("poison.rec", bytes));
    expectClean(result);
    EXPECT_EQ(elementsOf<uint16_t>(result.outputs[0].get())[7], 0xA5A5);
}

TEST(FrameFetchEntry, PaddedRowsAreFollowedAndNarrowRowsRefused) {
    RecordingFolder folder;
    RecordingHeader header = headerOf(2, 5, 3);
    for (uint32_t padding : {1u, 2u, 6u}) {
        header.rowBytes = 10 + padding;
        auto result = fetch(1, folder.write("padded.rec", header));
        expectClean(result);
        expectFrame(result, 5, 3, 1);
    }
    header.rowBytes = 9;
    auto result = fetch(0, folder.write("narrow.rec", header));
    expectClean(result);
    EXPECT_EQ(result.printed, "frameFetch: frame rows of 9 bytes cannot hold 5 16-bit pixels\n");
    expectEmptyFrame(result);
    EXPECT_EQ(frameCountOf(result), 2);
}

TEST(FrameFetchEntry, ManyCallsLeaveNoFileOrMemoryBehind) {
    RecordingFolder folder;
    RecordingHeader header = headerOf(2, 8, 4);
    const std::string file = folder.write("repeat.rec", header);
    const std::string missing = folder.path("missing.rec");
    const size_t blocks = standin::liveBlocks();
    const int files = openFileCount();
    for (int k = 0; k < 10000; ++k) {
        auto result = fetch(k % 3, k % 7 == 0 ? missing : file);
        ASSERT_FALSE(result.failed);
        ASSERT_EQ(result.scratchLeft, 0u);
        ASSERT_EQ(result.badFrees, 0u);
        ASSERT_EQ(result.strayArrays, 0u);
    }
    EXPECT_EQ(openFileCount(), files);
    EXPECT_EQ(standin::liveBlocks(), blocks);
}

TEST(CopyFrameRows, PacksRowsFromAnyRowLengthOnAnyNumberOfThreads) {
    // Three rows of two pixels, rows 7 bytes apart: odd strides leave rows unaligned.
    const std::vector<unsigned char> source = {1, 0, 2, 0, 9, 9, 9, 3, 0, 4, 0,
                                               9, 9, 9, 5, 1, 6, 1, 9, 9, 9};
    FrameRecord frame{};
    frame.pixels = source.data();
    frame.width = 2;
    frame.height = 3;
    for (int threads : {1, 2, 3, 5}) {  // 5: more threads than rows
        std::vector<uint16_t> out(6);
        frame.rowBytes = 7;
        copyFrameRows(frame, out.data(), threads);
        EXPECT_EQ(out, (std::vector<uint16_t>{1, 2, 3, 4, 261, 262})) << threads;
        frame.rowBytes = 4;  // packed
        copyFrameRows(frame, out.data(), threads);
        EXPECT_EQ(out, (std::vector<uint16_t>{1, 2, 0x0909, 0x0309, 0x0400, 0x0900})) << threads;
    }
}

#if !defined(_WIN32)
// A bus error handler of the test's own, as the host has one: counts and leaves the access.
sigjmp_buf hostResume;
volatile int hostHandlerRuns = 0;
void hostHandler(int, siginfo_t*, void*) {
    hostHandlerRuns = hostHandlerRuns + 1;
    siglongjmp(hostResume, 1);
}
#endif

TEST(CopyFrameRows, AFileThatShrinksUnderTheCopyFailsItOnAnyThread) {
    RecordingFolder folder;
    const std::string file = folder.write("shrinks.rec", headerOf(2, 1024, 64));
    const DcimgHandle handle = openRecording(file.c_str());
    ASSERT_NE(handle, nullptr);
    int32_t count = 0;
    FrameRecord frame{};
    ASSERT_TRUE(lockFrame(handle, 1, &count, &frame));
    std::vector<uint16_t> out(1024 * 64);
    EXPECT_TRUE(copyFrameRows(frame, out.data(), 2));
    std::error_code refused;  // Windows does not shrink a mapped file
    std::filesystem::resize_file(file, 32, refused);
    if (!refused) {
        for (int threads : {1, 3}) {
            EXPECT_FALSE(copyFrameRows(frame, out.data(), threads)) << threads;
        }
#if !defined(_WIN32)
        // Blocked in the calling thread (and so in those it starts), a bus error would end
        // the process: the copy unblocks it, and the thread's mask is back afterwards.
        sigset_t busError;
        sigset_t before;
        sigemptyset(&busError);
        sigaddset(&busError, SIGBUS);
        pthread_sigmask(SIG_BLOCK, &busError, &before);
        for (int threads : {1, 3}) {
            EXPECT_FALSE(copyFrameRows(frame, out.data(), threads)) << threads;
        }
        sigset_t after;
        pthread_sigmask(SIG_SETMASK, &before, &after);
        EXPECT_EQ(sigismember(&after, SIGBUS), 1);
#endif
    }
#if !defined(_WIN32)
    // Any other bus error, here one outside a guarded copy, goes to the handler that was there
    // before the guard, and that handler is back when the guard goes.
    struct sigaction host {};
    struct sigaction before {};
    host.sa_sigaction = hostHandler;
    host.sa_flags = SA_SIGINFO;
    sigaction(SIGBUS, &host, &before);
    {
        const BusErrorGuard guard;
        if (sigsetjmp(hostResume, 1) == 0) {
            const volatile uint16_t lost = static_cast<const volatile uint16_t*>(frame.pixels)[0];
            (void)lost;
        }
    }
    struct sigaction after {};
    sigaction(SIGBUS, &before, &after);
    EXPECT_EQ(hostHandlerRuns, 1);
    EXPECT_EQ(after.sa_sigaction, hostHandler);
#endif
    closeRecording(handle);
}

#if defined(_WIN32)
TEST(RecordingPath, GoesToTheMakersLibraryInTheLocalCodePage) {
    if (GetACP() != 1252) {
        GTEST_SKIP() << "the expected bytes are those of Windows-1252";
    }
    EXPECT_EQ(toLocalCodePage("r\xC3\xA9sum\xC3\xA9.rec"), "r\xE9sum\xE9.rec");
    EXPECT_EQ(toLocalCodePage("\xE6\x98\xBE.rec"), "");  // no place for it in that page
}
#endif

}  // namespace
