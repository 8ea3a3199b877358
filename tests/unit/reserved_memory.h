// Address space for arrays of billions of elements without committing the memory: only pages
// that are written take up memory. Lets tests index past 2^31 elements on a small machine.
#pragma once

#include <cstddef>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

class ReservedMemory {
public:
    explicit ReservedMemory(size_t bytes) : bytes_(bytes) {
#if defined(MAP_NORESERVE)
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : p;
#endif
    }
    ~ReservedMemory() {
#if defined(MAP_NORESERVE)
        if (base_ != nullptr) {
            munmap(base_, bytes_);
        }
#endif
    }
    ReservedMemory(const ReservedMemory&) = delete;
    ReservedMemory& operator=(const ReservedMemory&) = delete;

    template <class T>
    T* as() const {
        return static_cast<T*>(base_);
    }
    bool ok() const {
        return base_ != nullptr;
    }

private:
    void* base_ = nullptr;
    size_t bytes_;
};
