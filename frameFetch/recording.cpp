#include "recording.h"

#include <atomic>

#include "guarded_copy.h"
#include "mex.h"
#include "parallel.h"
#include "wide_text.h"

void printDcimgError(int32_t result, const char* label) {
    const auto bits = static_cast<unsigned long>(static_cast<uint32_t>(result));
    mexPrintf("DCIMG_ERR=0x%08lX @ %s\n", bits, label);
}

#if defined(_WIN32)
std::string toLocalCodePage(const char* utf8) {
    const std::wstring wide = wideFromUtf8(utf8);
    if (wide.empty()) {
        return std::string();
    }
    BOOL lost = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr,
                                           0, nullptr, &lost);
    if (length <= 0 || lost) {
        return std::string();
    }
    std::string local(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &local[0], length, nullptr,
                        nullptr);
    local.resize(static_cast<size_t>(length) - 1);
    return local;
}
#endif

DcimgHandle openRecording(const char* path) {
    // The one place where the path meets the library's encoding. Our stand-in takes UTF-8.
    // What the camera maker's library takes is not documented to us: on Windows the local code
    // page, which older MATLAB releases handed over, is the conservative guess.
#if defined(_WIN32) && !defined(DCIMGAPI_TAKES_UTF8)
    const std::string converted = toLocalCodePage(path);
    path = converted.c_str();
#endif
    InitRecord init{};
    init.size = sizeof init;
    int32_t result = dcimg_init(&init);
    if (result < 0) {
        printDcimgError(result, "dcimg_init");
        return nullptr;
    }
    OpenRecord open{};
    open.size = sizeof open;
    open.path = path;
    result = dcimg_open(&open);
    if (result < 0) {
        printDcimgError(result, "dcimg_open");
        return nullptr;
    }
    return open.handle;
}

bool lockFrame(DcimgHandle handle, int32_t frameIndex, int32_t* frameCount, FrameRecord* frame) {
    int32_t count = 0;
    int32_t result = dcimg_getparaml(handle, DCIMG_IDPARAML_NUMBEROF_FRAME, &count);
    if (result < 0) {
        printDcimgError(result, "dcimg_getparaml( DCIMG_IDPARAML_NUMBEROF_FRAME )");
        return false;
    }
    *frameCount = count;
    *frame = FrameRecord{};
    frame->size = sizeof *frame;
    frame->frameIndex = frameIndex;
    result = dcimg_lockframe(handle, frame);
    if (result < 0) {
        printDcimgError(result, "dcimg_lockframe");
        return false;
    }
    return true;
}

void closeRecording(DcimgHandle handle) {
    const int32_t result = dcimg_close(handle);
    if (result < 0) {
        printDcimgError(result, "dcimg_close");
    }
}

bool copyFrameRows(const FrameRecord& frame, uint16_t* out, int threads) {
    const auto* source = static_cast<const unsigned char*>(frame.pixels);
    const auto rowBytes = static_cast<size_t>(frame.rowBytes);
    const size_t packedRow = static_cast<size_t>(frame.width) * sizeof(uint16_t);
    const BusErrorGuard guard;
    std::atomic<bool> intact{true};
    parallel::forSlices(threads, frame.height, [&](int, int64_t firstRow, int64_t endRow) {
        const auto first = static_cast<size_t>(firstRow);
        const RowCopy rows{source + first * rowBytes, rowBytes,
                           reinterpret_cast<unsigned char*>(out) + first * packedRow, packedRow,
                           static_cast<size_t>(endRow - firstRow)};
        if (!copyRowsGuarded(rows)) {
            intact = false;
        }
    });
    return intact;
}
