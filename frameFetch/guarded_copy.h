// Copying out of memory that a file backs. When the file shrinks under the copy (another
// program rewrites it) or its drive stops answering, touching the lost pages raises a bus error
// (SIGBUS) on POSIX systems or an in-page error on Windows, which would end the whole host
// session. Here it ends the copy instead, which then reports that it failed.
#pragma once

#include <cstddef>

// `rows` rows of `rowBytes` bytes, `sourceStride` bytes apart in the source, packed one after
// another in the target.
struct RowCopy {
    const unsigned char* source;
    size_t sourceStride;
    unsigned char* target;
    size_t rowBytes;
    size_t rows;
};

// While one lives, a bus error inside the source rows of a copyRowsGuarded on any thread ends
// that copy; every other bus error goes on to the handler installed before, which comes back
// when the last guard goes. Windows needs no handler: nothing is installed there.
class BusErrorGuard {
public:
    BusErrorGuard();
    ~BusErrorGuard();
    BusErrorGuard(const BusErrorGuard&) = delete;
    BusErrorGuard& operator=(const BusErrorGuard&) = delete;
};

// Copies the rows on the calling thread. Returns false when the source could not be read to
// the end (the target then holds what was copied so far). On POSIX systems a BusErrorGuard
// must be alive for the copy to be guarded.
bool copyRowsGuarded(const RowCopy& copy);
