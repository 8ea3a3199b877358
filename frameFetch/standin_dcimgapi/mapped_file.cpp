#include "mapped_file.h"

#if defined(_WIN32)
#include <string>

#include "wide_text.h"
#else
#include <fcntl.h>
#include <sys/mman.h>

#include <sys/stat.h>
#include <unistd.h>
#include <mutex>
#endif

#if defined(_WIN32)

bool mapFile(const char* path, FileHead* head, MappedFile* file) {
    const std::wstring wide = wideFromUtf8(path);  // paths come in UTF-8
    // Folders cannot be opened without FILE_FLAG_BACKUP_SEMANTICS: they fail here.
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (wide.empty() || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return false;
    }
    DWORD read = 0;
    OVERLAPPED atStart{};
    head->read = ReadFile(handle, head->bytes, sizeof head->bytes, &read, &atStart) ? read : 0;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size)) {
        CloseHandle(handle);
        return false;
    }
    *file = MappedFile{};
    file->file = handle;
    file->length = static_cast<uint64_t>(size.QuadPart);
    if (file->length == 0) {
        return true;  // an empty file cannot be mapped, and needs no mapping
    }
    file->mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view =
        file->mapping != nullptr ? MapViewOfFile(file->mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (view == nullptr) {
        unmapFile(file);
        return false;
    }
    file->bytes = static_cast<const unsigned char*>(view);
    return true;
}

bool currentLength(const MappedFile& file, uint64_t* length) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(static_cast<HANDLE>(file.file), &size)) {
        return false;
    }
    *length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

void unmapFile(MappedFile* file) {
    if (file->bytes != nullptr) {
        UnmapViewOfFile(file->bytes);
    }
    if (file->mapping != nullptr) {
        CloseHandle(static_cast<HANDLE>(file->mapping));
    }
    if (file->file != nullptr) {
        CloseHandle(static_cast<HANDLE>(file->file));
    }
    *file = MappedFile{};
}

#else

namespace {

void releaseMapping(MappedFile* file) {
    if (file->bytes != nullptr) {
        munmap(const_cast<unsigned char*>(file->bytes), static_cast<size_t>(file->length));
    }
    file->bytes = nullptr;
}

// The mapping of the file closed last, while it is kept (descriptor -1). Released when the
// library is unloaded, which static destructors see.
struct KeptMapping {
    std::mutex mutex;
    MappedFile file;
    ~KeptMapping() { releaseMapping(&file); }
} kept;

bool sameFile(const MappedFile& a, const MappedFile& b) {
    return a.device == b.device && a.inode == b.inode && a.length == b.length &&
           a.changedSeconds == b.changedSeconds && a.changedNanoseconds == b.changedNanoseconds;
}

// Takes the kept mapping when it is of `file` as it is now; drops it otherwise.
void takeKeptMapping(MappedFile* file) {
    const std::lock_guard<std::mutex> lock(kept.mutex);
    if (file != nullptr && kept.file.bytes != nullptr && sameFile(kept.file, *file)) {
        file->bytes = kept.file.bytes;
        kept.file.bytes = nullptr;
        return;
    }
    releaseMapping(&kept.file);
}

}  // namespace

bool mapFile(const char* path, FileHead* head, MappedFile* file) {
    // Non-blocking, so that opening a named pipe with no writer returns at once.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (descriptor >= 0) {
            close(descriptor);
        }
        takeKeptMapping(nullptr);
        return false;
    }
    const ssize_t read = pread(descriptor, head->bytes, sizeof head->bytes, 0);
    head->read = read > 0 ? static_cast<uint64_t>(read) : 0;
    if (fstat(descriptor, &status) != 0 || status.st_size < 0) {
        close(descriptor);
        takeKeptMapping(nullptr);
        return false;
    }
    *file = MappedFile{};
    file->descriptor = descriptor;
    file->length = static_cast<uint64_t>(status.st_size);
    file->device = static_cast<uint64_t>(status.st_dev);
    file->inode = static_cast<uint64_t>(status.st_ino);
    file->changedSeconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    file->changedNanoseconds = static_cast<int64_t>(status.st_mtim.tv_nsec);
    takeKeptMapping(file->length == 0 ? nullptr : file);
    // An empty file cannot be mapped, and needs no mapping.
    if (file->length == 0 || file->bytes != nullptr) {
        return true;
    }
    void* view =
        mmap(nullptr, static_cast<size_t>(file->length), PROT_READ, MAP_SHARED, descriptor, 0);
    if (view == MAP_FAILED) {
        unmapFile(file);
        return false;
    }
    file->bytes = static_cast<const unsigned char*>(view);
    return true;
}

bool currentLength(const MappedFile& file, uint64_t* length) {
    struct stat status;
    if (fstat(file.descriptor, &status) != 0 || status.st_size < 0) {
        return false;
    }
    *length = static_cast<uint64_t>(status.st_size);
    return true;
}

void unmapFile(MappedFile* file) {
    struct stat status;
    const bool deleted = fstat(file->descriptor, &status) != 0 || status.st_nlink == 0;
    if (file->descriptor >= 0) {
        close(file->descriptor);
        file->descriptor = -1;
    }
    if (file->bytes != nullptr && !deleted) {
        const std::lock_guard<std::mutex> lock(kept.mutex);
        releaseMapping(&kept.file);
        kept.file = *file;
        file->bytes = nullptr;
    }
    releaseMapping(file);
    *file = MappedFile{};
}

#endif
