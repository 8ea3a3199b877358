#include "recording.h"

#include <cstring>

#include "mex.h"

void printDcimgError(int32_t result, const char* label) {
    const auto bits = static_cast<unsigned long>(static_cast<uint32_t>(result));
    mexPrintf("DCIMG_ERR=0x%08lX @ %s\n", bits, label);
}

DcimgHandle openRecording(const char* path) {
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

void copyFrameRows(const void* pixels, int32_t rowBytes, int32_t width, int32_t height,
                   uint16_t* out) {
    const auto* source = static_cast<const unsigned char*>(pixels);
    const size_t packedRow = static_cast<size_t>(width) * sizeof(uint16_t);
    if (static_cast<size_t>(rowBytes) == packedRow) {
        std::memcpy(out, source, packedRow * static_cast<size_t>(height));
        return;
    }
    for (int32_t row = 0; row < height; ++row) {
        std::memcpy(out + static_cast<size_t>(row) * width,
                    source + static_cast<size_t>(row) * static_cast<size_t>(rowBytes), packedRow);
    }
}
