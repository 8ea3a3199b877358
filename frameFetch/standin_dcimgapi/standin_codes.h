// Error codes of the stand-in recording library. Each is negative, so it prints as
// 0x80000101 and so on.
#pragma once

#include <cstdint>

namespace standin_dcimg {

constexpr int32_t kSuccess = 1;
constexpr int32_t kNoFile = INT32_MIN + 0x101;           // no such file, unreadable, unmappable
constexpr int32_t kNotRecording = INT32_MIN + 0x102;     // not a recording, or damaged header
constexpr int32_t kTruncated = INT32_MIN + 0x103;        // shorter than its header says
constexpr int32_t kFrameOutOfRange = INT32_MIN + 0x104;  // no frame with that index
constexpr int32_t kRecordSize = INT32_MIN + 0x105;       // missing record or wrong size field
constexpr int32_t kUnknownHandle = INT32_MIN + 0x106;    // not an open recording
constexpr int32_t kUnsupported = INT32_MIN + 0x107;      // unknown parameter or no place for it
constexpr int32_t kNoMemory = INT32_MIN + 0x108;         // no memory for the library's records

// The header every recording starts with.
constexpr char kMagic[8] = {'F', 'R', 'A', 'M', 'E', 'R', 'E', 'C'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kHeaderBytes = 32;

}  // namespace standin_dcimg
