// A recording file opened read-only and mapped into memory whole: the one place where the
// stand-in library meets the operating system's file calls.
#pragma once

#include <cstdint>

struct MappedFile {
    const unsigned char* bytes = nullptr;  // the file as mapped at opening; null when empty
    uint64_t length = 0;                   // bytes mapped
#if defined(_WIN32)
    void* file = nullptr;     // HANDLE of the file
    void* mapping = nullptr;  // HANDLE of the mapping
#else
    int descriptor = -1;
#endif
};

enum class MapResult { kMapped, kNotRegularFile, kFailed };

// Opens `path` (UTF-8; on Windows a path that is not valid UTF-8 is taken in the local code
// page) without ever blocking: a pipe, device or folder is refused as kNotRegularFile.
MapResult mapFile(const char* path, MappedFile* file);

// The file's length now, which is less than `length` when it shrank after opening; false
// when it cannot be told.
bool currentLength(const MappedFile& file, uint64_t* length);

// Asks for the pages of [offset, offset + count) ahead of their use; a hint only.
void prefetchRange(const MappedFile& file, uint64_t offset, uint64_t count);

void unmapFile(MappedFile* file);
