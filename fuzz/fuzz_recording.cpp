// The stand-in recording library on any file: random bytes behind a header that mostly holds
// together, any frame indices, and a file that shrinks between opening and locking. Every
// byte of a locked frame is read, so a frame handed out past the file's end would fault.
#include <filesystem>
#include <string>

#include "dcimg.h"
#include "fuzz_inputs.h"
#include "recording_files.h"

namespace {

// The file every input is written to, in a folder removed when the run ends.
const std::string& recordingPath() {
    static RecordingFolder folder;
    static const std::string path = folder.path("fuzzed.rec");
    return path;
}

void putLittleEndian(std::string* bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes->push_back(static_cast<char>(value >> shift));
    }
}

// Reads every byte of the locked frame as frameFetch would copy it.
void readFrame(const FrameRecord& frame) {
    FUZZ_CHECK(frame.pixels != nullptr && frame.width > 0 && frame.height > 0);
    FUZZ_CHECK(frame.rowBytes > 0);
    const auto* bytes = static_cast<const volatile unsigned char*>(frame.pixels);
    const uint64_t total = static_cast<uint64_t>(frame.rowBytes) * frame.height;
    unsigned sum = 0;
    for (uint64_t k = 0; k < total; ++k) {
        sum += bytes[k];
    }
    (void)sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fuzz(data, size);
    std::string file;
    if (fuzz.ConsumeIntegralInRange<int>(0, 7) != 0) {
        file = "FRAMEREC";
        putLittleEndian(&file, fuzz.ConsumeIntegralInRange<int>(0, 7) == 0
                                   ? fuzz.ConsumeIntegral<uint32_t>()
                                   : 1);
        for (int k = 0; k < 4; ++k) {
            putLittleEndian(&file, fuzz.ConsumeIntegralInRange<int>(0, 7) == 0
                                       ? fuzz.ConsumeIntegral<uint32_t>()
                                       : fuzz.ConsumeIntegralInRange<uint32_t>(0, 20));
        }
        putLittleEndian(&file, 0);
    }
    const size_t cut = fuzz.ConsumeIntegralInRange<size_t>(0, 600);
    const int32_t indices[3] = {fuzz.ConsumeIntegralInRange<int32_t>(-2, 6),
                                fuzz.ConsumeIntegral<int32_t>(),
                                fuzz.ConsumeIntegralInRange<int32_t>(-2, 6)};
    file += fuzz.ConsumeRemainingBytesAsString();
    std::FILE* out = std::fopen(recordingPath().c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);

    InitRecord init{};
    init.size = sizeof init;
    FUZZ_CHECK(dcimg_init(&init) >= 0);
    OpenRecord open{};
    open.size = sizeof open;
    open.path = recordingPath().c_str();
    if (dcimg_open(&open) < 0) {
        FUZZ_CHECK(open.handle == nullptr);
        return 0;
    }
    int32_t frames = -1;
    FUZZ_CHECK(dcimg_getparaml(open.handle, DCIMG_IDPARAML_NUMBEROF_FRAME, &frames) >= 0);
    FUZZ_CHECK(frames >= 0);
    for (int k = 0; k < 3; ++k) {
        if (k == 2) {
            // The file shrinks while it is open.
            std::filesystem::resize_file(recordingPath(), std::min(cut, file.size()));
        }
        FrameRecord frame{};
        frame.size = sizeof frame;
        frame.frameIndex = indices[k];
        if (dcimg_lockframe(open.handle, &frame) >= 0) {
            FUZZ_CHECK(indices[k] >= 0 && indices[k] < frames);
            readFrame(frame);
        }
    }
    FUZZ_CHECK(dcimg_close(open.handle) >= 0);
    FUZZ_CHECK(dcimg_close(open.handle) < 0);  // a closed handle is unknown
    return 0;
}
