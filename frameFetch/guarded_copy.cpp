#include "guarded_copy.h"

#include <cstring>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#endif

#if defined(_WIN32)

// The system reads the pages for ReadProcessMemory in its own frame and turns a failed page-in
// into a failed call, so no exception reaches the copy. MinGW-w64 has no structured exception
// handling of its own to do the same with a plain memcpy.
BusErrorGuard::BusErrorGuard() = default;
BusErrorGuard::~BusErrorGuard() = default;

bool copyRowsGuarded(const RowCopy& copy) {
    const HANDLE self = GetCurrentProcess();
    const bool packed = copy.sourceStride == copy.rowBytes;
    const size_t blocks = packed ? 1 : copy.rows;
    const size_t blockBytes = packed ? copy.rows * copy.rowBytes : copy.rowBytes;
    for (size_t block = 0; block < blocks; ++block) {
        SIZE_T read = 0;
        if (!ReadProcessMemory(self, copy.source + block * copy.sourceStride,
                               copy.target + block * copy.rowBytes, blockBytes, &read) ||
            read != blockBytes) {
            return false;
        }
    }
    return true;
}

#else

namespace {

struct GuardedRegion {
    const unsigned char* begin;
    const unsigned char* end;
    sigjmp_buf resume;
};

// The region the calling thread is copying from, if any. Set before every copy, so that the
// thread's slot exists before the handler reads it: the handler must not allocate.
thread_local GuardedRegion* guardedRegion = nullptr;

std::mutex installMutex;
int installedGuards = 0;
struct sigaction previousAction;

// Hands a bus error that is not ours to what was there before, as if we had never been.
void passOn(int signal, siginfo_t* info, void* context) {
    if ((previousAction.sa_flags & SA_SIGINFO) != 0) {
        if (previousAction.sa_sigaction != nullptr) {
            previousAction.sa_sigaction(signal, info, context);
        }
        return;
    }
    const bool sent = info->si_code <= 0;  // by kill() or raise(), not by a faulting access
    if (previousAction.sa_handler == SIG_IGN && sent) {
        return;
    }
    if (previousAction.sa_handler == SIG_DFL || previousAction.sa_handler == SIG_IGN) {
        // The default action: a faulting access faults again on return and ends the process.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
        if (sent) {
            raise(signal);
        }
        return;
    }
    previousAction.sa_handler(signal);
}

void onBusError(int signal, siginfo_t* info, void* context) {
    GuardedRegion* region = guardedRegion;
    const auto* address = static_cast<const unsigned char*>(info->si_addr);
    if (region != nullptr && info->si_code > 0 && address >= region->begin &&
        address < region->end) {
        siglongjmp(region->resume, 1);
    }
    passOn(signal, info, context);
}

}  // namespace

BusErrorGuard::BusErrorGuard() {
    const std::lock_guard<std::mutex> lock(installMutex);
    if (installedGuards++ > 0) {
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGBUS, &action, &previousAction);
}

BusErrorGuard::~BusErrorGuard() {
    const std::lock_guard<std::mutex> lock(installMutex);
    if (--installedGuards > 0) {
        return;
    }
    // Someone who replaced our handler meanwhile keeps theirs.
    struct sigaction current {};
    sigaction(SIGBUS, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == onBusError) {
        sigaction(SIGBUS, &previousAction, nullptr);
    }
}

bool copyRowsGuarded(const RowCopy& copy) {
    if (copy.rows == 0) {
        return true;
    }
    GuardedRegion region;
    region.begin = copy.source;
    region.end = copy.source + (copy.rows - 1) * copy.sourceStride + copy.rowBytes;
    guardedRegion = &region;
    // A bus error that is blocked in this thread (some other part of the host may block it)
    // cannot reach the handler: the kernel ends the process instead. So SIGBUS is unblocked
    // for the copy, and the thread's own mask comes back after it.
    sigset_t busError;
    sigset_t threadMask;
    sigemptyset(&busError);
    sigaddset(&busError, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &busError, &threadMask);
    // The jump leaves the handler with SIGBUS blocked; left so, a thread started later would
    // inherit it blocked. The thread's own mask is put back instead, so the jump need not save
    // one.
    if (sigsetjmp(region.resume, 0) != 0) {
        guardedRegion = nullptr;
        pthread_sigmask(SIG_SETMASK, &threadMask, nullptr);
        return false;
    }
    // The handler on this thread sees the region before the first byte is read.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (copy.sourceStride == copy.rowBytes) {
        std::memcpy(copy.target, copy.source, copy.rows * copy.rowBytes);
    } else {
        for (size_t row = 0; row < copy.rows; ++row) {
            std::memcpy(copy.target + row * copy.rowBytes, copy.source + row * copy.sourceStride,
                        copy.rowBytes);
        }
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    guardedRegion = nullptr;
    pthread_sigmask(SIG_SETMASK, &threadMask, nullptr);
    return true;
}

#endif
