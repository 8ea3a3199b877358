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

// The first bytes of a file, read before its length is taken: a file that is appended to and
// then has its head updated (a recording still being written) is then never shorter than its
// head says.
struct FileHead {
    unsigned char bytes[64] = {};
    uint64_t read = 0;  // how many of them the file had
};

// Opens `path` (UTF-8) without ever blocking, reads its head, then maps it whole. False, with
// nothing left open, for a path that is not a regular file (a pipe, device or folder) or cannot be
// opened or mapped.
bool mapFile(const char* path, FileHead* head, MappedFile* file);

// The file's length now, which is less than `length` when it shrank after opening; false
// when it cannot be told.
bool currentLength(const MappedFile& file, uint64_t* length);

// Closes the file. On POSIX systems the mapping of the file closed last is kept for the next
// mapFile of the same, unchanged file: mapping a file anew costs more than reading a frame of
// it, and frames are read one call at a time. It is dropped at the next mapFile of any other
// path (one that cannot be opened too), at once when the file has been deleted, and when the
// library is unloaded. Windows keeps nothing, so that files can be deleted.
void unmapFile(MappedFile* file);
