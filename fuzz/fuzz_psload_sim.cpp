// Fuzz target: psload-sim's bench options (the leading --sim-... words).
//
// The input is split at NUL bytes into argv (argv[0] included), each word in
// an allocation of its own so that a read past a word's end is caught.
//
// Invariants: a refusal says "bad bench option" and names one of the words;
// otherwise the index returned is that of the first word after the bench
// options (every word before it begins with --sim-, the word there does
// not), and what was taken stays within the bounds the options document:
// ports and port ranges within the 16-bit I/O space, the parallel port's
// three registers within it too, a signal only INT, TERM or HUP after at
// least one access, file names never empty.  The whole command line, with
// bench options anywhere before the data file, splits into psload's words
// (the same, in their order) and bench options only.
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_words.h"
#include "sims/psload/sim_options.h"

namespace {

[[noreturn]] void fail(const char *why, const std::string &detail = "")
{
    std::fprintf(stderr, "fuzz_psload_sim: %s %s\n", why, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> words = split_words(data, size, 32);
    std::vector<char *> argv = separate_argv(words);
    const int argc = static_cast<int>(words.size());

    bench::SimOptions o;
    std::string error;
    int first = bench::parse_sim_options(argc, argv.data(), o, error);
    if (first < 0) {
        bool named = false;
        // "bad bench option WORD", or with what the option takes after a
        // colon.
        for (int i = 1; i < argc; ++i) {
            const std::string said = std::string("bad bench option ") + argv[i];
            named = named || error == said || error.rfind(said + ": ", 0) == 0;
        }
        if (!named)
            fail("a refusal naming no word:", error);
    } else {
        if (first < 1 || first > argc)
            fail("index out of the argument list");
        for (int i = 1; i < first; ++i)
            if (std::strncmp(argv[i], "--sim-", 6) != 0)
                fail("a word taken that is no bench option:", argv[i]);
        if (first < argc && std::strncmp(argv[first], "--sim-", 6) == 0)
            fail("a bench option left over:", argv[first]);
        if (o.bench.lpt_base > 0xFFFD)
            fail("the parallel port's registers leave the I/O space");
        for (const auto &r : o.refused)
            if (r.second == 0 || r.first + static_cast<unsigned long>(r.second) > 0x10000)
                fail("a refused range leaves the I/O space");
        if (o.signal != 0 && o.signal != SIGINT && o.signal != SIGTERM && o.signal != SIGHUP)
            fail("a signal not offered");
        if ((o.signal != 0) != (o.signal_after != 0))
            fail("a signal without its access, or an access without its signal");
        if (o.unprivileged != (o.refusal_errno != 0))
            fail("unprivileged without its errno");
        if (o.design_raw && o.design_file.empty())
            fail("a raw design without a file");
    }

    // The whole command line, bench options anywhere before the data file:
    // psload gets argv[0] and every word that is not a bench option, in
    // their order, the same pointers; the bench options taken are all
    // --sim- words.
    bench::SimOptions whole;
    std::vector<char *> psload_args;
    if (bench::split_sim_command_line(argc, argv.data(), whole, psload_args, error)) {
        if (psload_args.empty() || psload_args[0] != argv[0])
            fail("psload's words do not start with the program name");
        std::size_t next = 1;
        for (int i = 1; i < argc; ++i) {
            if (next < psload_args.size() && psload_args[next] == argv[i])
                ++next;
            else if (std::strncmp(argv[i], "--sim-", 6) != 0)
                fail("a word neither psload's nor a bench option:", argv[i]);
        }
        if (next != psload_args.size())
            fail("psload's words out of order or not the command line's");
        std::string why;
        if (!bench::check_sim_options(whole, why) && why.empty())
            fail("options refused without a reason");
    } else if (error.rfind("bad bench option ", 0) != 0) {
        fail("a refusal without the option:", error);
    }

    free_argv(argv);
    return 0;
}
