// Linked into every test program of the Windows build. Under wine a crashing program can
// still exit with 0, and GoogleTest built with mingw does not catch structured exceptions:
// any unhandled exception ends the process at once with a code no test returns.
#include <windows.h>

#include <stdio.h>

namespace {

LONG WINAPI on_crash(EXCEPTION_POINTERS *info) {
    unsigned long code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
    fprintf(stderr, "test program crashed: exception 0x%08lx\n", code);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 0xC5);
    return EXCEPTION_CONTINUE_SEARCH;
}

struct crash_guard {
    crash_guard() { SetUnhandledExceptionFilter(on_crash); }
} s_guard;

} // namespace
