// Linked into the test executables of a ThreadSanitizer build only.
//
// QProcess (Qt 6.4, forkfd) starts a child with clone(CLONE_VM | CLONE_VFORK):
// the child runs on the parent's memory until it execs. ThreadSanitizer's
// clone interceptor treats every clone as a fork and resets its own state in
// the child, which here is the parent's state: from then on the lock and
// unlock of the thread that started the process are lost, and every access
// it makes under a mutex is reported as a race (the FTP fixture is a Python
// process, so every FTP test would report one per queued job).
//
// This definition comes first in the lookup, so Qt's call lands here; a
// vfork-style clone goes on as a plain fork-style one (the child gets its
// own copy of memory, the parent does not wait for the exec), which the
// sanitizer's own clone handles correctly. Threads (CLONE_THREAD) pass
// unchanged.
#if defined(__linux__)

#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

extern "C" int clone(int (*fn)(void*), void* pStack, int nFlags, void* pArg, ...)
{
    va_list args;
    va_start(args, pArg);
    auto* pParentTid = va_arg(args, pid_t*);
    void* pTls = va_arg(args, void*);
    auto* pChildTid = va_arg(args, pid_t*);
    va_end(args);

    using CloneFn = int (*)(int (*)(void*), void*, int, void*, pid_t*, void*, pid_t*);
    static const auto next = reinterpret_cast<CloneFn>(dlsym(RTLD_NEXT, "clone"));
    if ((nFlags & CLONE_VM) && !(nFlags & CLONE_THREAD))
        nFlags &= ~(CLONE_VM | CLONE_VFORK);
    return next(fn, pStack, nFlags, pArg, pParentTid, pTls, pChildTid);
}

#endif
