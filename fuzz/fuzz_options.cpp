// Fuzz target: psload's command-line parser over arbitrary argument lists.
//
// The input is split at NUL bytes into argv (argv[0] included).  The parser
// either returns with a complete settings record or ends the process with
// status 8 (usage, help, a file name it refuses); here exit() is diverted so
// that the run comes back to the fuzzer.  Invariants: no access outside the
// argument list or the record's fields (the sanitizers see those), the name
// fields always terminated within their 256 bytes, only status 8 on exit, and
// on return exactly one file argument stored whole.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_exit.h"
#include "fuzz_words.h"
#include "psload.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

static bool terminated(const char *field)
{
    return std::memchr(field, '\0', PSLOAD_NAME_SIZE) != nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> words = split_words(data, size, 32);
    std::vector<char *> argv = separate_argv(words);
    int argc = static_cast<int>(words.size());

    std::memset(&status, 0, sizeof status);
    exit_code = 0;
    exit_armed = true;
    volatile bool returned = false;
    if (setjmp(exit_env) == 0) {
        options_parse(argc, argv.data());
        returned = true;
    }
    exit_armed = false;
    std::fflush(stderr);

    if (!terminated(status.program_name) || !terminated(status.input_file_name))
        std::abort();
    if (returned) {
        // The last word is the file, stored whole.
        if (argc < 2 || std::strcmp(status.input_file_name, argv[argc - 1]) != 0)
            std::abort();
        if (status.verbose != 0 && status.verbose != 1)
            std::abort();
    } else if (exit_code != 8) {
        std::abort();
    }

    free_argv(argv);
    return 0;
}
