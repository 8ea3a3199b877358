// UTF-8 text as Windows' wide characters, for the module and the stand-in library alike.
#pragma once

#if defined(_WIN32)
#if !defined(WIN32_LEAN_AND_MEAN)
#define WIN32_LEAN_AND_MEAN
#endif
#if !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

// Empty when `utf8` is not valid UTF-8 (or is empty).
inline std::wstring wideFromUtf8(const char* utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}
#endif
