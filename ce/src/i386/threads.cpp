// Every thread of a 32-bit process gets its own thread information block at FS, however it
// was started. A new Linux thread inherits its creator's FS, which would point at the
// creator's block: image code on a thread that std::thread, a test or the COM driver
// started would then push its exception frames onto another thread's list. Defining
// pthread_create here puts this library in front of the C library's for the whole process;
// the thread's routine starts only after the thread has its own block (or FS = 0 when no
// block can be had, so image code faults instead of sharing one).
#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <new>

#include "seh.h"

namespace {

using PthreadCreate = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

struct Start {
    void *(*routine)(void *);
    void *argument;
};

void *StartWithBlock(void *p) {
    const Start start = *static_cast<Start *>(p);
    delete static_cast<Start *>(p);
    // Released when the thread ends, by the block's thread-local owner.
    standin::internal::AttachImageThread();
    return start.routine(start.argument);
}

}  // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *),
                              void *argument) {
    static const auto real = reinterpret_cast<PthreadCreate>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!real) return EAGAIN;
    auto *start = new (std::nothrow) Start{routine, argument};
    if (!start) return EAGAIN;
    // The new thread's TLS descriptor is written while no faulting thread is between
    // setting its own again and reloading it.
    standin::internal::LockTlsDescriptors();
    const int result = real(thread, attr, &StartWithBlock, start);
    standin::internal::UnlockTlsDescriptors();
    if (result != 0) delete start;
    return result;
}
