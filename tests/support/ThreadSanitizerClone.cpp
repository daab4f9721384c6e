// Every test program carries this file (orvex_add_test links it in); it does
// something only in the ThreadSanitizer build.
//
// QProcess starts a program with clone(CLONE_VM | CLONE_VFORK): the child runs
// in the parent's memory until it calls exec. ThreadSanitizer (gcc 12's)
// intercepts clone as if it were fork and, in the child, marks its state as
// "forked from a process with threads" and switches off every check on the
// calling thread, all in that shared memory: from then on the parent checks
// nothing on that thread and dies at its next new thread ("starting new
// threads after multi-threaded fork is not supported"). A clone that shares
// the memory therefore goes to the C library's clone directly; any other
// clone still goes through ThreadSanitizer.

#if defined(__SANITIZE_THREAD__)

#include <cstdarg>
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

namespace {

using Clone = int (*)(int (*)(void *), void *, int, void *, ...);

Clone cloneOf(void *library)
{
    return reinterpret_cast<Clone>(dlsym(library, "clone"));
}

} // namespace

extern "C" int clone(int (*function)(void *), void *stack, int flags, void *argument, ...) noexcept
{
    va_list rest;
    va_start(rest, argument);
    pid_t *parentTid = va_arg(rest, pid_t *);
    void *tls = va_arg(rest, void *);
    pid_t *childTid = va_arg(rest, pid_t *);
    va_end(rest);
    static const Clone sanitizer = cloneOf(RTLD_NEXT);
    static const Clone library = cloneOf(dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD));
    const Clone real = (flags & CLONE_VM) && library ? library : sanitizer;
    return real(function, stack, flags, argument, parentTid, tls, childTid);
}

#endif
