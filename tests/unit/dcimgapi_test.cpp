#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#if defined(__unix__)
#include <sys/stat.h>
#endif
#if defined(__linux__)
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "dcimg.h"
#include "recording_files.h"
#include "standin_dcimgapi/standin_codes.h"

namespace {

using namespace standin_dcimg;

int32_t openFile(const std::string& path, DcimgHandle* handle) {
    OpenRecord record{};
    record.size = sizeof record;
    record.path = path.c_str();
    const int32_t result = dcimg_open(&record);
    *handle = record.handle;
    return result;
}

int32_t lock(DcimgHandle handle, int32_t index, FrameRecord* frame) {
    *frame = FrameRecord{};
    frame->size = sizeof *frame;
    frame->frameIndex = index;
    return dcimg_lockframe(handle, frame);
}

// Whether a file whose name holds `name` is mapped into this process; false where that
// cannot be told.
bool isMapped(const std::string& name) {
#if defined(__linux__)
    std::ifstream maps("/proc/self/maps");
    const std::string mapped((std::istreambuf_iterator<char>(maps)),
                             std::istreambuf_iterator<char>());
    return mapped.find(name) != std::string::npos;
#else
    (void)name;
    return false;
#endif
}

uint16_t pixelAt(const FrameRecord& frame, int x, int y) {
    const auto* bytes =
        static_cast<const unsigned char*>(frame.pixels) + y * frame.rowBytes + 2 * x;
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

TEST(StandinLibrary, ReadsPackedAndPaddedFrames) {
    RecordingFolder folder;
    for (uint32_t padding : {0u, 3u, 6u}) {
        const std::string file = folder.write("frames.rec", headerOf(3, 5, 4, 10 + padding));
        InitRecord init{};
        init.size = sizeof init;
        ASSERT_EQ(dcimg_init(&init), kSuccess);
        DcimgHandle handle = nullptr;
        ASSERT_EQ(openFile(file, &handle), kSuccess);
        int32_t count = -1;
        EXPECT_EQ(dcimg_getparaml(handle, DCIMG_IDPARAML_NUMBEROF_FRAME, &count), kSuccess);
        EXPECT_EQ(count, 3);
        FrameRecord frame;
        for (int k : {2, 0, 1}) {
            ASSERT_EQ(lock(handle, k, &frame), kSuccess);
            EXPECT_EQ(frame.width, 5);
            EXPECT_EQ(frame.height, 4);
            EXPECT_EQ(frame.rowBytes, static_cast<int32_t>(10 + padding));
            for (int y = 0; y < 4; ++y) {
                for (int x = 0; x < 5; ++x) {
                    ASSERT_EQ(pixelAt(frame, x, y), pixelValue(x, y, k)) << padding;
                }
            }
        }
        EXPECT_EQ(dcimg_close(handle), kSuccess);
        EXPECT_EQ(dcimg_close(handle), kUnknownHandle);
    }
}

TEST(StandinLibrary, RefusesMissingDamagedAndShortFiles) {
    RecordingFolder folder;
    DcimgHandle handle = nullptr;
    EXPECT_EQ(openFile(folder.path("missing.rec"), &handle), kNoFile);
    EXPECT_EQ(openFile(folder.path(""), &handle), kNoFile);  // the folder itself
#if defined(__linux__)
    // A regular file that cannot be mapped cannot be read either.
    if (std::filesystem::exists("/sys/devices/system/cpu/online")) {
        EXPECT_EQ(openFile("/sys/devices/system/cpu/online", &handle), kNoFile);
    }
#endif
#if defined(__unix__)
    // A pipe nobody writes to would block a plain open() forever.
    ASSERT_EQ(mkfifo(folder.path("pipe.rec").c_str(), 0600), 0);
    EXPECT_EQ(openFile(folder.path("pipe.rec"), &handle), kNoFile);
#endif
    EXPECT_EQ(openFile(folder.writeBytes("empty.rec", {}), &handle), kNotRecording);
    EXPECT_EQ(openFile(folder.writeBytes("short.rec", {'F', 'R', 'A', 'M', 'E'}), &handle),
              kNotRecording);

    auto damaged = [&](RecordingHeader header) {
        return openFile(folder.write("damaged.rec", header), &handle);
    };
    RecordingHeader header;
    header.magic = "FRAMEREX";
    EXPECT_EQ(damaged(header), kNotRecording);
    header = RecordingHeader();
    header.version = 2;
    EXPECT_EQ(damaged(header), kNotRecording);
    for (uint32_t RecordingHeader::*field :
         {&RecordingHeader::width, &RecordingHeader::height, &RecordingHeader::rowBytes}) {
        header = RecordingHeader();
        header.frames = 0;
        header.rowBytes = 2;
        header.*field = 0x80000000u;  // beyond 32-bit signed
        EXPECT_EQ(damaged(header), kNotRecording);
    }
    header = RecordingHeader();
    header.frames = 0;
    header.width = 0;
    EXPECT_EQ(damaged(header), kNotRecording);

    // Shorter than announced, by one byte or by far; products that overflow 64 bits too.
    EXPECT_EQ(openFile(folder.write("cut.rec", headerOf(4, 3, 2), 1), &handle), kTruncated);
    std::vector<unsigned char> forged = {'F', 'R', 'A', 'M', 'E', 'R', 'E', 'C', 1, 0, 0, 0};
    for (int field = 0; field < 4; ++field) {
        forged.insert(forged.end(), {0xFF, 0xFF, 0xFF, 0x7F});
    }
    forged.resize(40, 0);
    EXPECT_EQ(openFile(folder.writeBytes("forged.rec", forged), &handle), kTruncated);

    // A recording without frames opens; it has no frame to lock.
    header = RecordingHeader();
    header.frames = 0;
    ASSERT_EQ(openFile(folder.write("none.rec", header), &handle), kSuccess);
    int32_t count = -1;
    EXPECT_EQ(dcimg_getparaml(handle, DCIMG_IDPARAML_NUMBEROF_FRAME, &count), kSuccess);
    EXPECT_EQ(count, 0);
    FrameRecord frame;
    EXPECT_EQ(lock(handle, 0, &frame), kFrameOutOfRange);
    EXPECT_EQ(dcimg_close(handle), kSuccess);
}

TEST(StandinLibrary, ChecksRecordsHandlesIndicesAndParameters) {
    RecordingFolder folder;
    RecordingHeader header;
    header.frames = 2;
    const std::string file = folder.write("two.rec", header);

    InitRecord init{};
    init.size = 12;
    EXPECT_EQ(dcimg_init(&init), kRecordSize);
    EXPECT_EQ(dcimg_init(nullptr), kRecordSize);
    OpenRecord open{};
    open.size = 16;
    open.path = file.c_str();
    EXPECT_EQ(dcimg_open(&open), kRecordSize);
    EXPECT_EQ(dcimg_open(nullptr), kRecordSize);
    open.size = sizeof open;
    open.path = nullptr;
    EXPECT_EQ(dcimg_open(&open), kNoFile);

    DcimgHandle handle = nullptr;
    ASSERT_EQ(openFile(file, &handle), kSuccess);
    FrameRecord frame{};
    frame.size = 48;
    EXPECT_EQ(dcimg_lockframe(handle, &frame), kRecordSize);
    EXPECT_EQ(dcimg_lockframe(handle, nullptr), kRecordSize);
    EXPECT_EQ(lock(handle, -1, &frame), kFrameOutOfRange);
    EXPECT_EQ(lock(handle, 2, &frame), kFrameOutOfRange);
    EXPECT_EQ(lock(handle, 1, &frame), kSuccess);
    int32_t value = 0;
    EXPECT_EQ(dcimg_getparaml(handle, 3, &value), kUnsupported);
    EXPECT_EQ(dcimg_getparaml(handle, DCIMG_IDPARAML_NUMBEROF_FRAME, nullptr), kUnsupported);

    int local = 0;
    for (DcimgHandle stranger : {DcimgHandle{nullptr}, DcimgHandle{&local}}) {
        EXPECT_EQ(dcimg_getparaml(stranger, DCIMG_IDPARAML_NUMBEROF_FRAME, &value), kUnknownHandle);
        EXPECT_EQ(lock(stranger, 0, &frame), kUnknownHandle);
        EXPECT_EQ(dcimg_close(stranger), kUnknownHandle);
    }
    EXPECT_EQ(dcimg_close(handle), kSuccess);
    EXPECT_EQ(lock(handle, 0, &frame), kUnknownHandle);
}

TEST(StandinLibrary, FileShrinkingAfterOpenFailsTheLock) {
    RecordingFolder folder;
    const std::string file = folder.write("shrinks.rec", headerOf(3, 4, 1));
    DcimgHandle handle = nullptr;
    ASSERT_EQ(openFile(file, &handle), kSuccess);
    // Windows refuses to shrink a file that is mapped; then the frame is still all there.
    std::error_code refused;
    std::filesystem::resize_file(file, 40, refused);
    FrameRecord frame;
    EXPECT_EQ(lock(handle, 0, &frame), kSuccess);
    EXPECT_EQ(lock(handle, 2, &frame), refused ? kSuccess : kTruncated);
    EXPECT_EQ(dcimg_close(handle), kSuccess);
#if !defined(_WIN32)
    EXPECT_FALSE(refused);
#endif
}

TEST(StandinLibrary, ReopeningSeesTheFileAsItIsNow) {
    // The mapping of a closed recording may be kept for its next opening: a file changed or
    // shrunk since must be read as it is now, and a deleted one must not stay mapped.
    RecordingFolder folder;
    const std::string file = folder.write("again.rec", headerOf(3, 4, 2));
    DcimgHandle handle = nullptr;
    FrameRecord frame;
    ASSERT_EQ(openFile(file, &handle), kSuccess);
    ASSERT_EQ(lock(handle, 2, &frame), kSuccess);
    ASSERT_EQ(dcimg_close(handle), kSuccess);

    RecordingHeader longer = headerOf(5, 4, 2);
    folder.write("again.rec", longer);  // same file, rewritten longer
    ASSERT_EQ(openFile(file, &handle), kSuccess);
    int32_t frames = 0;
    EXPECT_EQ(dcimg_getparaml(handle, DCIMG_IDPARAML_NUMBEROF_FRAME, &frames), kSuccess);
    EXPECT_EQ(frames, 5);
    ASSERT_EQ(lock(handle, 4, &frame), kSuccess);
    EXPECT_EQ(pixelAt(frame, 3, 1), pixelValue(3, 1, 4));
    ASSERT_EQ(dcimg_close(handle), kSuccess);

    std::filesystem::resize_file(file, 32 + 16);  // the header now overstates it
    EXPECT_EQ(openFile(file, &handle), kTruncated);

    folder.write("again.rec", longer);
    ASSERT_EQ(openFile(file, &handle), kSuccess);
    std::filesystem::remove(file);
    ASSERT_EQ(dcimg_close(handle), kSuccess);
    EXPECT_FALSE(isMapped("again.rec")) << "a deleted recording stays mapped";
}

TEST(StandinLibrary, AKeptMappingGoesAtTheNextOpenOfAnyPathAndWithTheLibrary) {
#if defined(__linux__)
    RecordingFolder folder;
    const std::string file = folder.write("kept.rec", headerOf(2, 4, 2));
    DcimgHandle handle = nullptr;
    ASSERT_EQ(openFile(file, &handle), kSuccess);
    ASSERT_EQ(dcimg_close(handle), kSuccess);
    ASSERT_TRUE(isMapped("kept.rec"));
    // Deleted after it was read: gone at the next open, even of a file that is not there.
    std::filesystem::remove(file);
    EXPECT_EQ(openFile(folder.path("missing.rec"), &handle), kNoFile);
    EXPECT_FALSE(isMapped("kept.rec"));

    // A copy of the library of its own, so that closing it unloads it.
    const std::string copy = folder.path("libdcimgapi-copy.so");
    std::filesystem::copy_file(DCIMGAPI_FILE, copy);
    void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto open = reinterpret_cast<int32_t (*)(OpenRecord*)>(dlsym(library, "dcimg_open"));
    const auto close = reinterpret_cast<int32_t (*)(DcimgHandle)>(dlsym(library, "dcimg_close"));
    OpenRecord record{};
    record.size = sizeof record;
    const std::string unloaded = folder.write("unloaded.rec", headerOf(2, 4, 2));
    record.path = unloaded.c_str();
    ASSERT_EQ(open(&record), kSuccess);
    ASSERT_EQ(close(record.handle), kSuccess);
    ASSERT_TRUE(isMapped("unloaded.rec"));
    ASSERT_EQ(dlclose(library), 0);
    EXPECT_FALSE(isMapped("unloaded.rec")) << "unloading the library leaves a recording mapped";
#else
    GTEST_SKIP() << "only POSIX systems keep a mapping";
#endif
}

#if defined(__linux__)
// The program's own pread, which the library's calls reach first: a camera writing a frame,
// then its count, into `cameraFile` at the very moment the library next reads a file.
std::string cameraFile;
extern "C" __attribute__((visibility("default"))) ssize_t pread(int descriptor, void* buffer,
                                                                size_t bytes, off_t offset) {
    if (!cameraFile.empty()) {
        std::FILE* out = std::fopen(cameraFile.c_str(), "r+b");
        const std::vector<unsigned char> frame(64 * 32 * 2, 9);
        const unsigned char count[4] = {2, 0, 0, 0};
        std::fseek(out, 0, SEEK_END);
        std::fwrite(frame.data(), 1, frame.size(), out);
        std::fseek(out, 12, SEEK_SET);
        std::fwrite(count, 1, sizeof count, out);
        std::fclose(out);
        cameraFile.clear();
    }
    return static_cast<ssize_t>(syscall(SYS_pread64, descriptor, buffer, bytes, offset));
}
#endif

TEST(StandinLibrary, AFrameCountedAsTheRecordingOpensIsThere) {
#if defined(__linux__)
    RecordingFolder folder;
    const std::string file = folder.write("appended.rec", headerOf(1, 64, 32));
    cameraFile = file;
    DcimgHandle handle = nullptr;
    ASSERT_EQ(openFile(file, &handle), kSuccess);
    EXPECT_TRUE(cameraFile.empty()) << "the camera did not write";
    int32_t count = 0;
    EXPECT_EQ(dcimg_getparaml(handle, DCIMG_IDPARAML_NUMBEROF_FRAME, &count), kSuccess);
    FrameRecord frame;
    EXPECT_EQ(lock(handle, count - 1, &frame), kSuccess);
    EXPECT_EQ(count, 2);
    dcimg_close(handle);
#else
    GTEST_SKIP() << "the library's reads are seen only on Linux here";
#endif
}

TEST(StandinLibrary, OpensPathsBeyondAsciiInUtf8) {
    RecordingFolder folder;
    const std::string plain = folder.write("plain.rec", headerOf(2, 3, 2));
    const std::string name = "r\xC3\xA9sum\xC3\xA9 \xE6\x98\xBE\xE5\xBE\xAE.rec";  // UTF-8
    const std::string utf8 = folder.path("") + name;
    std::filesystem::rename(plain, std::filesystem::u8path(utf8));
    DcimgHandle handle = nullptr;
    ASSERT_EQ(openFile(utf8, &handle), kSuccess);
    FrameRecord frame;
    EXPECT_EQ(lock(handle, 1, &frame), kSuccess);
    EXPECT_EQ(pixelAt(frame, 2, 1), pixelValue(2, 1, 1));
    EXPECT_EQ(dcimg_close(handle), kSuccess);
    // Bytes that are not UTF-8 name no file.
    EXPECT_EQ(openFile(folder.path("") + "r\xE9sum\xE9.rec", &handle), kNoFile);
}

TEST(StandinLibrary, OpeningAndClosingLeavesNoFileOpen) {
    RecordingFolder folder;
    const std::string file = folder.write("plain.rec", RecordingHeader());
    const std::string damaged = folder.writeBytes("damaged.rec", {1, 2, 3});
    const int before = openFileCount();
    for (int k = 0; k < 2000; ++k) {
        DcimgHandle handle = nullptr;
        ASSERT_EQ(openFile(file, &handle), kSuccess);
        ASSERT_EQ(dcimg_close(handle), kSuccess);
        ASSERT_EQ(openFile(damaged, &handle), kNotRecording);
    }
    EXPECT_EQ(openFileCount(), before);
}

}  // namespace
