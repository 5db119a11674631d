// Helpers for black-box tests: run a built program, capture both streams and
// how it ended; temporary directories and files.
#ifndef TESTS_COMMON_RUN_H
#define TESTS_COMMON_RUN_H

#include <string>
#include <vector>

namespace testutil {

struct RunResult {
    std::string out;     // everything written to standard output
    std::string err;     // everything written to standard error
    int exit_code = -1;  // exit status (0..255), or -1 when ended by a signal
    int signal = 0;      // the signal that ended it, or 0
    int exec_error = 0;  // errno of a failed exec (the program never ran), or 0
};

// Runs the program at path with argv as its argument vector (argv[0] is the
// name the program sees; it may differ from path).  Standard input is
// /dev/null.  When cwd is not empty the program runs there.
RunResult run_program(const std::string &path, const std::vector<std::string> &argv,
                      const std::string &cwd = "");

// The lab PC's programs are 32-bit x86.  Whether this machine runs them is
// a property of its kernel (CONFIG_IA32_EMULATION, or a 32-bit kernel), so it
// is found out once per test process, with the first program asked about:
// an exec that the kernel refuses with ENOEXEC falls back on user-mode
// emulation (qemu-i386, which runs i386 code on any host).  LABTOOLS_I386
// forces the way: "native", "qemu", or "auto" (the default).
//
// Empty when i386 programs run here (then run_i386 runs them); otherwise
// why not, for GTEST_SKIP.  An empty path means the program was not built.
std::string i386_skip_reason(const std::string &program);
// Runs an i386 program the way i386_skip_reason found.  Call that first.
RunResult run_i386(const std::string &path, const std::vector<std::string> &argv,
                   const std::string &cwd = "");
// "native" or "qemu-i386" once decided, for messages; empty before.
std::string i386_way();

// A fresh directory, removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes content (bytes as given) to name inside the directory; returns the full path.
    std::string write(const std::string &name, const std::string &content) const;

private:
    std::string path_;
};

std::string read_file(const std::string &path);

// The value of "key value" in a simulator's report ("(missing)" when the
// report has no such line).
std::string report_value(const std::string &report, const std::string &key);

} // namespace testutil

#endif
