// Linked into every test program of the Windows build. Under wine a crashing program can
// still exit with 0, and GoogleTest built with mingw does not catch structured exceptions:
// any unhandled exception ends the process at once with a code no test returns.
#include <windows.h>

#include <stdio.h>

namespace {

LONG WINAPI on_crash(EXCEPTION_POINTERS *info) {
    unsigned long code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
    fprintf(stderr, "test program crashed: exception 0x%08lx\n", code);
    if (info && info->ContextRecord) {
        // Where it happened, and the words on the stack that point into the program: enough
        // for addr2line on the executable to name the functions.
        const CONTEXT *c = info->ContextRecord;
        fprintf(stderr, "at 0x%llx; stack:", (unsigned long long)c->Rip);
        const char *base = (const char *)GetModuleHandleA(nullptr);
        const unsigned long long *sp = (const unsigned long long *)c->Rsp;
        for (int i = 0, shown = 0; i < 512 && shown < 24; i++) {
            unsigned long long w = sp[i];
            if (w > (unsigned long long)base && w < (unsigned long long)base + (64u << 20)) {
                fprintf(stderr, " 0x%llx", w);
                shown++;
            }
        }
        fputc('\n', stderr);
    }
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 0xC5);
    return EXCEPTION_CONTINUE_SEARCH;
}

struct crash_guard {
    crash_guard() { SetUnhandledExceptionFilter(on_crash); }
} s_guard;

} // namespace
