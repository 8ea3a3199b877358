// Stand-in for the camera maker's recording library: the same calls and records, reading
// recordings in our own simple format (see FORMAT.md). The open recording is mapped into
// memory and a locked frame is handed out where it lies. Everything it reads is checked
// against the header and the file's size; no call throws or reads outside the file.
#include <mutex>
#include <new>
#include <set>

#include "dcimg.h"
#include "mapped_file.h"
#include "standin_codes.h"

using namespace standin_dcimg;

namespace {

struct Recording {
    MappedFile file;
    int32_t frameCount = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t rowBytes = 0;
    uint64_t frameBytes = 0;
};

// Open recordings; a handle is valid only while it is in here.
std::mutex registryMutex;
std::set<Recording*> registry;

uint32_t littleEndian32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool fitsInt32(uint32_t value) {
    return value <= static_cast<uint32_t>(INT32_MAX);
}

// Checks the header, read before the file's length, and that the file holds every frame it
// announces.
int32_t readHeader(const FileHead& head, Recording* recording) {
    const MappedFile& file = recording->file;
    if (head.read < kHeaderBytes) {
        return kNotRecording;
    }
    const unsigned char* header = head.bytes;
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
    // frames * frameBytes may not fit in 64 bits; then no file is long enough.
    // The file may have shrunk since its header was read.
    const uint64_t available = file.length > kHeaderBytes ? file.length - kHeaderBytes : 0;
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

void release(Recording* recording) {
    unmapFile(&recording->file);
    delete recording;
}

int32_t openRecording(OpenRecord* record) {
    if (record == nullptr || record->size != sizeof(OpenRecord)) {
        return kRecordSize;
    }
    if (record->path == nullptr) {
        return kNoFile;
    }
    auto* recording = new (std::nothrow) Recording;
    if (recording == nullptr) {
        return kNoMemory;
    }
    FileHead head;
    // A file that cannot be mapped cannot be read here either.
    if (!mapFile(record->path, &head, &recording->file)) {
        delete recording;
        return kNoFile;
    }
    const int32_t result = readHeader(head, recording);
    if (result < 0) {
        release(recording);
        return result;
    }
    const std::lock_guard<std::mutex> lock(registryMutex);
    registry.insert(recording);
    record->handle = recording;
    return kSuccess;
}

// Hands out the frame where it lies in the mapping. The file may have shrunk since it was
// opened: its length is checked now, so no page past its end is ever handed out.
int32_t lockFrame(DcimgHandle handle, FrameRecord* record) {
    if (record == nullptr || record->size != sizeof(FrameRecord)) {
        return kRecordSize;
    }
    const std::lock_guard<std::mutex> lock(registryMutex);
    const Recording* recording = find(handle);
    if (recording == nullptr) {
        return kUnknownHandle;
    }
    const int32_t index = record->frameIndex;
    if (index < 0 || index >= recording->frameCount) {
        return kFrameOutOfRange;
    }
    const uint64_t offset = kHeaderBytes + static_cast<uint64_t>(index) * recording->frameBytes;
    const uint64_t end = offset + recording->frameBytes;
    uint64_t length = 0;
    if (!currentLength(recording->file, &length) || end > length) {
        return kTruncated;
    }
    record->pixels = recording->file.bytes + offset;
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
        release(recording);
        return kSuccess;
    });
}

}  // extern "C"
