// What the three simulators' command lines have in common: one option
// table per program, from which its help is written (the table is the only
// list of the options); the version text; the one way ports and port ranges
// are written; and the output files, whose every failure is reported.
//
// The conventions, the same for psload-sim, portpoke-sim and echorange-sim:
//   - help on standard output and status 0 (--sim-help; echorange-sim also
//     -h and --help); version and source commit the same way (--sim-version;
//     echorange-sim also --version);
//   - a bench option the simulator does not understand (psload-sim,
//     portpoke-sim): one line "PROGRAM: bad bench option WORD", on standard
//     error, status 2; another command line echorange-sim does not
//     understand: that line and then the help;
//   - a file the simulator cannot read or write (a report, a trace, a
//     waveform, its standard output): one line "PROGRAM: reason", status 2;
//   - otherwise the status of the program under test.
#ifndef BENCH_SIMS_COMMON_FRONT_END_H
#define BENCH_SIMS_COMMON_FRONT_END_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>

namespace bench {

// Status of a command line or a file the simulator cannot use.
constexpr int kFrontEndError = 2;

// One option of a simulator, as its help shows it.
struct OptionDoc {
    const char *name;     // "--sim-report"
    const char *value;    // what follows the name: "=FILE" (a value is
                          // needed), "[=E]" (may be given), " DIR" (the
                          // next argument), "" (none)
    const char *help;     // one or more lines, separated by '\n'
    int tag = 0;          // the program's own name for the option
};

// How an option takes its value, as OptionDoc::value shows it.
enum class ValueForm { None, Needed, Optional, NextArgument };
ValueForm value_form(const OptionDoc &option);

// Splits word ("--name=value" or "--name") for option; false when the word
// does not give a value as the option wants it (a value to an option that
// takes none, none to an option that needs one; whether an empty value
// will do is the option's own business).
bool option_value(const OptionDoc &option, const std::string &word, std::string &value, bool &given);

// A program's help: the usage lines, what it does, its options, and notes
// after the list (each may be empty).
struct ProgramDoc {
    const char *usage;
    const char *about;
    const OptionDoc *options;
    std::size_t count;
    const char *notes;
};

// The help text: usage, about, one line per option ("  NAME+VALUE  help",
// help lines after the first indented below it), notes.
std::string help_text(const ProgramDoc &doc);

// The option of doc whose name is word's part before '=' (or word itself);
// nullptr when there is none.
const OptionDoc *find_option(const ProgramDoc &doc, const std::string &word);

// "PROGRAM (labtools) VERSION, source commit COMMIT\n", as ttfgen's
// --version (in sims/common/version.cpp, with the bench_sim_version
// library).
std::string version_text(const char *program);

// Prints "program: reason" and the help on standard error; returns 2.
int command_line_error(const char *program, const std::string &reason, const ProgramDoc &doc);

// Prints "program: reason" on standard error; returns 2.
int front_end_error(const char *program, const std::string &reason);

// Prints text (a help or version) on standard output: status 0, or 2 with
// a message when it could not be written.
int print_text(const char *program, const std::string &text);

// A port: hexadecimal, with or without 0x, up to FFFF.
bool parse_port(const std::string &text, std::uint16_t &port);

// A port range, FIRST or FIRST-LAST, both ports as parse_port reads them,
// FIRST not above LAST.  count is LAST-FIRST+1.
bool parse_port_range(const std::string &text, std::uint16_t &first, unsigned &count);

// An output file written with stdio.  open() and finish() return false with
// a message in error() ("cannot write PATH: reason") when the file cannot
// be created or when anything written to it was lost (a full disk, a
// missing folder, /dev/full).
class OutputFile {
public:
    explicit OutputFile(std::string path) : path_(std::move(path)) {}
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool open();
    std::FILE *stream() { return file_; }
    bool finish();
    const std::string &error() const { return error_; }

private:
    std::string path_;
    std::FILE *file_ = nullptr;
    std::string error_;
};

// An output stream onto a file descriptor (which stays the caller's),
// through a buffer of its own and write(2), that keeps the errno of the
// first write that failed: what was lost, and why, is known at the end,
// however long before it happened.
class FdOstream : public std::ostream {
public:
    explicit FdOstream(int fd);
    ~FdOstream() override;
    // Hands on what is buffered; 0, or the errno of the first failed write.
    int finish();

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(int fd);
        int error = 0;
        int drain();

    protected:
        int_type overflow(int_type c) override;
        int sync() override;

    private:
        int fd_;
        char data_[1 << 16];
    };
    Buffer buffer_;
};

// "cannot write PATH: strerror(err)".
std::string write_error(const std::string &path, int err);

// Writes the whole of data to path (created or truncated) with write(2)
// only, so that it may run on the way out of a signal.  False with errno
// set when the file cannot be created or a write or the close failed.
bool write_whole_file(const std::string &path, const void *data, std::size_t size);

// Flushes standard output and checks that nothing written to it was lost
// (a full disk, a closed pipe): false otherwise, with errno set.
bool stdout_written();

} // namespace bench

#endif
