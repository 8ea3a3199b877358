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
    // What the file was when it was mapped: its identity, length and last change.
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t changedSeconds = 0;
    int64_t changedNanoseconds = 0;
#endif
};

enum class MapResult { kMapped, kNotRegularFile, kFailed };

// Opens `path` (UTF-8; on Windows a path that is not valid UTF-8 is taken in the local code
// page) without ever blocking: a pipe, device or folder is refused as kNotRegularFile.
MapResult mapFile(const char* path, MappedFile* file);

// The file's length now, which is less than `length` when it shrank after opening; false
// when it cannot be told.
bool currentLength(const MappedFile& file, uint64_t* length);

// Closes the file. On POSIX systems the mapping of the file closed last is kept for the next
// mapFile of the same, unchanged file: mapping a file anew costs more than reading a frame of
// it, and frames are read one call at a time. It is dropped when another file is mapped, or
// at once when the file has been deleted. Windows keeps nothing, so that files can be deleted.
void unmapFile(MappedFile* file);
