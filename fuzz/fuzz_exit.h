// exit() diverted back into the fuzzer: a program whose main() is called as
// a function may end itself with exit() (a usage text, a bad option); linked
// with -Wl,--wrap=exit, such a call jumps back to the setjmp(exit_env) of the
// running input while exit_armed is set, with the status in exit_code.
// Include it from exactly one file of a fuzz target.
#ifndef FUZZ_EXIT_H
#define FUZZ_EXIT_H

#include <csetjmp>

static std::jmp_buf exit_env;
static bool exit_armed = false;
static int exit_code = 0;

extern "C" void __real_exit(int code);
extern "C" void __wrap_exit(int code)
{
    if (exit_armed) {
        exit_code = code;
        std::longjmp(exit_env, 1);
    }
    __real_exit(code);
}

#endif
