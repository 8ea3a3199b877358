// The interface of the camera maker's recording library, dcimgapi, as frameFetch uses it: the
// records exchanged with it and the five calls. Our stand-in library implements the same.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(DCIMGAPI_STATIC)
#define DCIMGAPI_EXPORT  // compiled into the module that uses it
#elif defined(_WIN32)
#if defined(DCIMGAPI_BUILDING)
#define DCIMGAPI_EXPORT __declspec(dllexport)
#else
#define DCIMGAPI_EXPORT __declspec(dllimport)
#endif
#else
#define DCIMGAPI_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

typedef void* DcimgHandle;

// Every record starts with its own size; the library refuses records of another size. All
// fields not named are zero on entry.
struct InitRecord {
    int32_t size;  // 16
    uint8_t reserved[12];
};

struct OpenRecord {
    int32_t size;  // 24
    int32_t reserved;
    DcimgHandle handle;  // out: the open recording
    const char* path;    // in
};

struct FrameRecord {
    int32_t size;  // 64
    int32_t reserved1[2];
    int32_t frameIndex;  // in
    const void* pixels;  // out: the locked frame, valid until the next lock or the close
    int32_t rowBytes;    // out: distance between the starts of two rows
    int32_t reserved2;
    int32_t width;   // out: pixels per row
    int32_t height;  // out: rows
    uint8_t reserved3[24];
};

// Parameter of dcimg_getparaml: the number of frames in the recording.
enum { DCIMG_IDPARAML_NUMBEROF_FRAME = 2 };

// Each call returns a signed 32-bit result; a negative one is a failure and its error code.
DCIMGAPI_EXPORT int32_t dcimg_init(InitRecord* record);
DCIMGAPI_EXPORT int32_t dcimg_open(OpenRecord* record);
DCIMGAPI_EXPORT int32_t dcimg_getparaml(DcimgHandle handle, int32_t parameter, int32_t* value);
DCIMGAPI_EXPORT int32_t dcimg_lockframe(DcimgHandle handle, FrameRecord* record);
DCIMGAPI_EXPORT int32_t dcimg_close(DcimgHandle handle);

}  // extern "C"

static_assert(sizeof(void*) == 8, "the records are laid out for 64-bit builds");
static_assert(sizeof(InitRecord) == 16, "InitRecord is 16 bytes");
static_assert(sizeof(OpenRecord) == 24, "OpenRecord is 24 bytes");
static_assert(offsetof(OpenRecord, handle) == 8 && offsetof(OpenRecord, path) == 16,
              "OpenRecord layout");
static_assert(sizeof(FrameRecord) == 64, "FrameRecord is 64 bytes");
static_assert(offsetof(FrameRecord, frameIndex) == 12 && offsetof(FrameRecord, pixels) == 16 &&
                  offsetof(FrameRecord, rowBytes) == 24 && offsetof(FrameRecord, width) == 32 &&
                  offsetof(FrameRecord, height) == 36 && offsetof(FrameRecord, reserved3) == 40,
              "FrameRecord layout");
