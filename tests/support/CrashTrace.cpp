// Every test program carries this file (orvex_add_test links it in): a test
// that crashes ends at once, with the stack it crashed on in its output.
//
// QtTest's own handler for fatal signals attaches gdb to the process; that
// allocates, and after the C library has found its heap damaged it aborts
// still holding the heap's lock, so the handler waited until CTest's time
// limit ended the test, without a stack. CTest runs every test with
// -nocrashhandler; QTEST_DISABLE_STACK_DUMP=1, which a test's children
// inherit, keeps gdb away from a test program that a test starts again
// without that option. The handler here makes only
// calls that are safe in a signal handler: it writes the test function, the
// signal and the frames straight to stderr, then lets the signal end the
// process as it would have.
//
// Under AddressSanitizer and ThreadSanitizer the sanitizer reports every fatal
// signal itself, with a symbolized stack; an abort() too, as set here.

#include <QTest>

#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char *__asan_default_options()
{
    return "handle_abort=1";
}
#elif defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_options()
{
    return "handle_abort=1";
}
#else

namespace {

void say(const char *text)
{
    if (text)
        (void) !::write(STDERR_FILENO, text, std::strlen(text));
}

void sayNumber(int number)
{
    char digits[12];
    char *first = digits + sizeof digits;
    *--first = '\0';
    do {
        *--first = char('0' + number % 10);
        number /= 10;
    } while (number > 0 && first > digits);
    say(first);
}

void onFatalSignal(int signal)
{
    say("\n=== signal ");
    sayNumber(signal);
    say(" (SIG");
    say(sigabbrev_np(signal));
    say(") in ");
    const char *function = QTest::currentTestFunction();
    say(function ? function : "no test function");
    if (const char *tag = QTest::currentDataTag()) {
        say("(");
        say(tag);
        say(")");
    }
    say("; stack of the thread it hit:\n");
    void *frames[128];
    backtrace_symbols_fd(frames, backtrace(frames, 128), STDERR_FILENO);
    say("=== end of stack (addr2line -Cfipe FILE +OFFSET names a frame shown by its offset only)\n");
    // SA_RESETHAND has put the default action back: the signal ends the
    // process as soon as this handler returns.
    ::raise(signal);
}

bool installFatalSignalHandler()
{
    // backtrace() loads the unwinder, which allocates, on its first call: now,
    // not in the handler.
    void *frame = nullptr;
    backtrace(&frame, 1);
    // A stack of its own, so that a stack overflow is reported too.
    static char alternateStack[64 * 1024];
    stack_t stack = {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action = {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        sigaction(signal, &action, nullptr);
    return true;
}

const bool installed = installFatalSignalHandler();

} // namespace

#endif
