// Writes recordings in the stand-in library's format, damaged ones included, into a folder of
// their own that goes away with the test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#if defined(__linux__)
#include <dirent.h>
#endif

struct RecordingHeader {
    uint32_t frames = 1;
    uint32_t width = 1;
    uint32_t height = 1;
    uint32_t rowBytes = 0;  // 0: packed, 2 * width
    uint32_t version = 1;
    std::string magic = "FRAMEREC";
};

inline RecordingHeader headerOf(uint32_t frames, uint32_t width, uint32_t height,
                                uint32_t rowBytes = 0) {
    RecordingHeader header;
    header.frames = frames;
    header.width = width;
    header.height = height;
    header.rowBytes = rowBytes;
    return header;
}

// Pixel x of row y of frame k in the recordings written here.
inline uint16_t pixelValue(uint32_t x, uint32_t y, uint32_t k) {
    return static_cast<uint16_t>(x + 7 * y + 131 * k);
}

// The header as it starts a recording.
inline std::vector<unsigned char> headerBytes(const RecordingHeader& header) {
    const uint32_t rowBytes = header.rowBytes != 0 ? header.rowBytes : 2 * header.width;
    std::vector<unsigned char> bytes(header.magic.begin(), header.magic.end());
    for (uint32_t value :
         {header.version, header.frames, header.width, header.height, rowBytes, 0u}) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<unsigned char>(value >> shift));
        }
    }
    return bytes;
}

class RecordingFolder {
public:
    RecordingFolder() {
        std::random_device seed;
        path_ = std::filesystem::temp_directory_path() /
                ("recordings-" + std::to_string(seed()) + std::to_string(seed()));
        std::filesystem::create_directories(path_);
    }
    ~RecordingFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    RecordingFolder(const RecordingFolder&) = delete;
    RecordingFolder& operator=(const RecordingFolder&) = delete;

    std::string path(const std::string& name) const { return (path_ / name).string(); }

    // Writes the header and every frame it announces, less `missingBytes` at the end; the
    // padding bytes of each row hold 0xEE.
    std::string write(const std::string& name, RecordingHeader header, size_t missingBytes = 0) {
        const uint32_t rowBytes = header.rowBytes != 0 ? header.rowBytes : 2 * header.width;
        std::vector<unsigned char> bytes = headerBytes(header);
        for (uint32_t k = 0; k < header.frames; ++k) {
            for (uint32_t y = 0; y < header.height; ++y) {
                std::vector<unsigned char> row(rowBytes, 0xEE);
                for (uint32_t x = 0; x < header.width && 2 * x + 1 < rowBytes; ++x) {
                    row[2 * x] = static_cast<unsigned char>(pixelValue(x, y, k));
                    row[2 * x + 1] = static_cast<unsigned char>(pixelValue(x, y, k) >> 8);
                }
                bytes.insert(bytes.end(), row.begin(), row.end());
            }
        }
        bytes.resize(bytes.size() - std::min(missingBytes, bytes.size()));
        return writeBytes(name, bytes);
    }

    std::string writeBytes(const std::string& name, const std::vector<unsigned char>& bytes) {
        const std::string file = path(name);
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (out != nullptr) {
            if (!bytes.empty()) {
                std::fwrite(bytes.data(), 1, bytes.size(), out);
            }
            std::fclose(out);
        }
        return file;
    }

private:
    std::filesystem::path path_;
};

// Open file descriptors of this process, or -1 where that cannot be told.
inline int openFileCount() {
#if defined(__linux__)
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return -1;
    }
    int count = 0;
    while (readdir(folder) != nullptr) {
        ++count;
    }
    closedir(folder);
    return count;
#else
    return -1;
#endif
}
