// Every test program carries this file (orvex_add_test links it in): a test
// that crashes ends at once, with the stack it crashed on in its output.
//
// QtTest's own handler for fatal signals formats a message and attaches gdb
// to the process (unless QTEST_DISABLE_STACK_DUMP is set, as the suite sets
// it). Both allocate; after the C library has found its heap damaged it aborts
// still holding the heap's lock, and the handler then waits forever, until
// CTest's time limit ends the test without a stack. The handler here makes
// only calls that are safe in a signal handler: it writes the test function,
// the signal and the frames straight to stderr, then lets the signal end the
// process as it would have. QtTest's handler, installed later, writes its
// one line and then passes the signal on to this one.
//
// Under AddressSanitizer and ThreadSanitizer the sanitizer reports what it
// catches itself (bad memory accesses, races) with a symbolized stack; only an
// abort() is left to this handler, which then has the sanitizer unwind it.

#include <QTest>

#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVEX_TEST_SANITIZED 1
#include <sanitizer/common_interface_defs.h>
#endif

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
#ifdef ORVEX_TEST_SANITIZED
    __sanitizer_print_stack_trace();
    say("=== end of stack\n");
#else
    void *frames[128];
    backtrace_symbols_fd(frames, backtrace(frames, 128), STDERR_FILENO);
    say("=== end of stack (addr2line -Cfipe FILE +OFFSET names a frame shown by its offset only)\n");
#endif
    // SA_RESETHAND has put the default action back: the signal ends the
    // process as soon as this handler returns.
    ::raise(signal);
}

#ifdef ORVEX_TEST_SANITIZED
// The sanitizer aborts after its own report; that abort needs no second stack.
void onSanitizerReport()
{
    ::signal(SIGABRT, SIG_DFL);
}
#endif

bool installFatalSignalHandler()
{
#ifdef ORVEX_TEST_SANITIZED
    __sanitizer_set_death_callback(onSanitizerReport);
    const int fatalSignals[] = {SIGABRT};
    const int flags = SA_RESETHAND;
#else
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
    const int fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
    const int flags = SA_RESETHAND | SA_ONSTACK;
#endif
    struct sigaction action = {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    for (const int signal : fatalSignals)
        sigaction(signal, &action, nullptr);
    return true;
}

const bool installed = installFatalSignalHandler();

} // namespace
