// Lets a test make allocations through operator new fail: the next few, or all from a size
// up. It replaces the program's global operator new and delete, so only one file of a test
// program may include it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

// ThreadSanitizer's runtime defines operator new itself and is linked whole: no failures there.
#if defined(NO_FAILING_ALLOCATIONS)
#define SKIP_WITHOUT_FAILING_ALLOCATIONS() GTEST_SKIP() << "operator new cannot be replaced here"
#else
#define SKIP_WITHOUT_FAILING_ALLOCATIONS()
#endif

namespace failing_allocations {

inline std::atomic<int> failNext{0};            // allocations still to fail
inline std::atomic<size_t> failFrom{SIZE_MAX};  // allocations of this many bytes or more fail

inline void* allocate(std::size_t bytes) {
    if (bytes >= failFrom.load() || failNext.fetch_sub(1) > 0) {
        throw std::bad_alloc();
    }
    failNext.fetch_add(1);  // none was due: undo the count
    if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) {
        return block;
    }
    throw std::bad_alloc();
}

}  // namespace failing_allocations

#if !defined(NO_FAILING_ALLOCATIONS)
// Both forms: a sanitizer's runtime would otherwise take new[] for itself.
void* operator new(std::size_t bytes) {
    return failing_allocations::allocate(bytes);
}

void* operator new[](std::size_t bytes) {
    return failing_allocations::allocate(bytes);
}

// GCC takes the replacement's free() for a mismatch with the new it pairs with.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
