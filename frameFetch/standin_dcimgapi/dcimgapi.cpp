// Stand-in for the camera maker's recording library: the same calls and records, reading
// recordings in our own simple format (see FORMAT.md). Everything it reads is checked
// against the header and the file's size; no call throws or reads outside the file or buffer.
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "dcimg.h"
#include "standin_codes.h"

using namespace standin_dcimg;

namespace {

struct Recording {
    std::FILE* file = nullptr;
    int32_t frameCount = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t rowBytes = 0;
    uint64_t frameBytes = 0;
    std::unique_ptr<unsigned char[]> frame;  // the locked frame, frameBytes long
};

// Open recordings; a handle is valid only while it is in here.
std::mutex registryMutex;
std::set<Recording*> registry;

bool seekTo(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool fileSize(std::FILE* file, uint64_t* size) {
#if defined(_WIN32)
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long long end = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(file);
#endif
    if (end < 0) {
        return false;
    }
    *size = static_cast<uint64_t>(end);
    return true;
}

uint32_t littleEndian32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool fitsInt32(uint32_t value) {
    return value <= static_cast<uint32_t>(INT32_MAX);
}

// Reads and checks the header and that the file holds every frame it announces.
int32_t readHeader(std::FILE* file, Recording* recording) {
    unsigned char header[kHeaderBytes];
    if (std::fread(header, 1, sizeof header, file) != sizeof header) {
        return std::ferror(file) ? kNoFile : kNotRecording;  // a folder, say, cannot be read
    }
    for (int k = 0; k < 8; ++k) {
        if (header[k] != static_cast<unsigned char>(kMagic[k])) {
            return kNotRecording;
        }
    }
    const uint32_t version = littleEndian32(header + 8);
    const uint32_t frames = littleEndian32(header + 12);
    const uint32_t width = littleEndian32(header + 16);
    const uint32_t height = littleEndian32(header + 20);
    const uint32_t rowBytes = littleEndian32(header + 24);
    if (version != kVersion || !fitsInt32(frames) || !fitsInt32(width) || !fitsInt32(height) ||
        !fitsInt32(rowBytes) || width == 0 || height == 0 || rowBytes == 0) {
        return kNotRecording;
    }
    const uint64_t frameBytes = static_cast<uint64_t>(height) * rowBytes;
    uint64_t size = 0;
    if (!fileSize(file, &size)) {
        return kNoFile;
    }
    // frames * frameBytes may not fit in 64 bits; then no file is long enough.
    const uint64_t available = size < kHeaderBytes ? 0 : size - kHeaderBytes;
    if (frames != 0 && frameBytes > available / frames) {
        return kTruncated;
    }
    recording->frameCount = static_cast<int32_t>(frames);
    recording->width = static_cast<int32_t>(width);
    recording->height = static_cast<int32_t>(height);
    recording->rowBytes = static_cast<int32_t>(rowBytes);
    recording->frameBytes = frameBytes;
    return kSuccess;
}

// The open recording behind `handle`, or null. Callers hold registryMutex.
Recording* find(DcimgHandle handle) {
    auto* recording = static_cast<Recording*>(handle);
    return registry.count(recording) != 0 ? recording : nullptr;
}

int32_t openRecording(OpenRecord* record) {
    if (record == nullptr || record->size != sizeof(OpenRecord)) {
        return kRecordSize;
    }
    if (record->path == nullptr) {
        return kNoFile;
    }
    std::FILE* file = std::fopen(record->path, "rb");
    if (file == nullptr) {
        return kNoFile;
    }
    // Frames are read straight into their buffer, and always from the file as it is now.
    std::setvbuf(file, nullptr, _IONBF, 0);
    auto* recording = new (std::nothrow) Recording;
    if (recording == nullptr) {
        std::fclose(file);
        return kNoMemory;
    }
    const int32_t result = readHeader(file, recording);
    if (result < 0) {
        std::fclose(file);
        delete recording;
        return result;
    }
    recording->file = file;
    const std::lock_guard<std::mutex> lock(registryMutex);
    registry.insert(recording);
    record->handle = recording;
    return kSuccess;
}

int32_t lockFrame(DcimgHandle handle, FrameRecord* record) {
    if (record == nullptr || record->size != sizeof(FrameRecord)) {
        return kRecordSize;
    }
    const std::lock_guard<std::mutex> lock(registryMutex);
    Recording* recording = find(handle);
    if (recording == nullptr) {
        return kUnknownHandle;
    }
    const int32_t index = record->frameIndex;
    if (index < 0 || index >= recording->frameCount) {
        return kFrameOutOfRange;
    }
    if (!recording->frame) {
        // Not zero-filled: every byte is read from the file before it is handed out.
        recording->frame.reset(new unsigned char[recording->frameBytes]);
    }
    const uint64_t offset = kHeaderBytes + static_cast<uint64_t>(index) * recording->frameBytes;
    if (!seekTo(recording->file, offset) ||
        std::fread(recording->frame.get(), 1, recording->frameBytes, recording->file) !=
            recording->frameBytes) {
        return kTruncated;  // the file shrank since it was opened
    }
    record->pixels = recording->frame.get();
    record->rowBytes = recording->rowBytes;
    record->width = recording->width;
    record->height = recording->height;
    return kSuccess;
}

// Runs a call body, turning an allocation failure into an error code: nothing may be thrown
// through the C interface.
template <class Body>
int32_t guarded(Body body) {
    try {
        return body();
    } catch (...) {  // in practice std::bad_alloc
        return kNoMemory;
    }
}

}  // namespace

extern "C" {

DCIMGAPI_EXPORT int32_t dcimg_init(InitRecord* record) {
    return record == nullptr || record->size != sizeof(InitRecord) ? kRecordSize : kSuccess;
}

DCIMGAPI_EXPORT int32_t dcimg_open(OpenRecord* record) {
    return guarded([&] { return openRecording(record); });
}

DCIMGAPI_EXPORT int32_t dcimg_getparaml(DcimgHandle handle, int32_t parameter, int32_t* value) {
    return guarded([&] {
        const std::lock_guard<std::mutex> lock(registryMutex);
        const Recording* recording = find(handle);
        if (recording == nullptr) {
            return kUnknownHandle;
        }
        if (parameter != DCIMG_IDPARAML_NUMBEROF_FRAME || value == nullptr) {
            return kUnsupported;
        }
        *value = recording->frameCount;
        return kSuccess;
    });
}

DCIMGAPI_EXPORT int32_t dcimg_lockframe(DcimgHandle handle, FrameRecord* record) {
    return guarded([&] { return lockFrame(handle, record); });
}

DCIMGAPI_EXPORT int32_t dcimg_close(DcimgHandle handle) {
    return guarded([&] {
        Recording* recording = nullptr;
        {
            const std::lock_guard<std::mutex> lock(registryMutex);
            recording = find(handle);
            if (recording == nullptr) {
                return kUnknownHandle;
            }
            registry.erase(recording);
        }
        std::fclose(recording->file);
        delete recording;
        return kSuccess;
    });
}

}  // extern "C"
