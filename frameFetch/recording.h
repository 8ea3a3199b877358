// frameFetch's conversation with the recording library: open, count and lock, close, and the
// console line for each failed call. A failure never ends the call; it prints one line.
#pragma once

#include <cstdint>
#include <string>

#include "dcimg.h"

// Prints "DCIMG_ERR=0x%08lX @ <label>" for a failed library call.
void printDcimgError(int32_t result, const char* label);

// Initialises the library and opens the recording at `path`, given in UTF-8. Returns null
// after printing the failed call.
DcimgHandle openRecording(const char* path);

#if defined(_WIN32)
// `utf8` in the local code page, as the camera maker's library is taken to want it on Windows;
// empty when a character has no place there.
std::string toLocalCodePage(const char* utf8);
#endif

// Reads the number of frames into *frameCount, then locks frame `frameIndex` into *frame.
// Returns whether a frame was locked; a failed step is printed and ends the sequence.
bool lockFrame(DcimgHandle handle, int32_t frameIndex, int32_t* frameCount, FrameRecord* frame);

// Closes the recording, releasing the lock; a failure is printed.
void closeRecording(DcimgHandle handle);

// Copies the locked frame's `height` rows of `width` 16-bit pixels, which start `rowBytes`
// apart (at least 2 * width), into `out`, packed; on `threads` threads. Returns false when the
// frame could not be read to the end: its file shrank or its drive failed during the copy.
bool copyFrameRows(const FrameRecord& frame, uint16_t* out, int threads = 1);
