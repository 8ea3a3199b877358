// Preloaded into a test's Octave (LD_PRELOAD), it plays what the system or another part of the
// host may do to the modules:
// - With $FAIL_THREADS_AFTER set, once a library whose file name contains it has been loaded,
//   no thread can be started any more: pthread_create answers EAGAIN, as when the system has
//   none to give. (The session's own threads, started before, go on.)
// - With $BLOCK_SIGBUS set, SIGBUS starts blocked in the process's first thread, and so in
//   every thread it starts, as another part of a host may leave it.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> threadsFail{false};

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
    const char* wanted = std::getenv("FAIL_THREADS_AFTER");
    if (handle != nullptr && file != nullptr && wanted != nullptr && *wanted != '\0' &&
        std::strstr(file, wanted) != nullptr) {
        threadsFail = true;
    }
    return handle;
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto realCreate = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (threadsFail) {
        return EAGAIN;
    }
    return realCreate(thread, attributes, start, argument);
}
