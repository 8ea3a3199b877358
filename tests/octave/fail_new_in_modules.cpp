// Preloaded into a test's Octave (LD_PRELOAD): every operator new called from the code of a
// library whose file name contains $FAIL_NEW_IN throws std::bad_alloc, as when memory runs
// out. Such a library is found when it is loaded, by watching dlopen; the rest of the process
// allocates as usual. With $BLOCK_SIGBUS set, SIGBUS starts blocked in the process's first
// thread, and so in every thread it starts, as another part of a host may leave it.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr int kMaxRanges = 16;
std::atomic<int> rangeCount{0};
uintptr_t rangeBegin[kMaxRanges];
uintptr_t rangeEnd[kMaxRanges];

// Records the executable segments of every loaded library whose name holds `wanted`.
int recordRanges(dl_phdr_info* info, size_t, void* wanted) {
    if (info->dlpi_name == nullptr ||
        std::strstr(info->dlpi_name, static_cast<char*>(wanted)) == nullptr) {
        return 0;
    }
    for (int k = 0; k < info->dlpi_phnum; ++k) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[k];
        const int count = rangeCount.load();
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0 && count < kMaxRanges) {
            rangeBegin[count] = info->dlpi_addr + segment.p_vaddr;
            rangeEnd[count] = rangeBegin[count] + segment.p_memsz;
            rangeCount.store(count + 1);
        }
    }
    return 0;
}

bool calledFromFailingCode(uintptr_t caller) {
    const int count = rangeCount.load();
    for (int k = 0; k < count; ++k) {
        if (caller >= rangeBegin[k] && caller < rangeEnd[k]) {
            return true;
        }
    }
    return false;
}

__attribute__((constructor)) void blockBusErrorsWhenAsked() {
    if (std::getenv("BLOCK_SIGBUS") != nullptr) {
        sigset_t busError;
        sigemptyset(&busError);
        sigaddset(&busError, SIGBUS);
        pthread_sigmask(SIG_BLOCK, &busError, nullptr);
    }
}

}  // namespace

extern "C" void* dlopen(const char* file, int flags) {
    using Open = void* (*)(const char*, int);
    static const auto realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "dlopen"));
    void* handle = realOpen(file, flags);
    char* wanted = std::getenv("FAIL_NEW_IN");
    if (handle != nullptr && file != nullptr && wanted != nullptr && *wanted != '\0' &&
        std::strstr(file, wanted) != nullptr) {
        rangeCount.store(0);
        dl_iterate_phdr(recordRanges, wanted);
    }
    return handle;
}

void* operator new(std::size_t bytes) {
    if (calledFromFailingCode(reinterpret_cast<uintptr_t>(__builtin_return_address(0)))) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) {
        return block;
    }
    throw std::bad_alloc();
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
#pragma GCC diagnostic pop
