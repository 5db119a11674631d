// echorange-sim: runs the echorange module on the emulated lab PC through a
// scenario and prints what a user process reads from /dev/rtf2, with the
// simulated time, and then the kernel log.
//
//   echorange-sim [--module OBJECT] [--trace=FILE] [--vcd=FILE [--vcd-bits]] SCENARIO
//   echorange-sim [--module OBJECT] --serve DIR [--speed F] [--bytewise] SCENARIO
//
// With --serve the module is served to real programs through the named
// pipes DIR/rtf1 and DIR/rtf2, in simulated time paced to the wall clock,
// until the program is stopped (serve.h).
//
// --trace=FILE writes every event of the run to FILE (trace.h), --vcd=FILE
// its waveform (ranging_waveform.h); standard output stays as it is
// without them.
//
// Exit status: 0; 1 when the module broke a platform rule during the run
// (listed on standard error) or, served, could not be loaded; 2 for a bad
// command line or scenario.
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "sims/echorange/scenario.h"
#include "sims/echorange/serve.h"
#include "sims/echorange/ranging_waveform.h"
#include "sims/echorange/trace.h"

namespace {

const char kUsage[] =
    "usage: echorange-sim [--module OBJECT] [--trace=FILE] [--vcd=FILE [--vcd-bits]] SCENARIO\n"
    "       echorange-sim [--module OBJECT] --serve DIR [--speed F] [--bytewise] SCENARIO\n"
    "Runs the echorange module on the emulated lab PC through SCENARIO and prints\n"
    "every value read from /dev/rtf2 with its simulated time, then the kernel log.\n"
    "--trace=FILE writes every port write, interrupt, platform call, FIFO value\n"
    "and kernel-log line of the run to FILE, one line each; --vcd=FILE writes the\n"
    "board's ports, IRQ 11, the thread and FIFO 2 as a waveform (VCD), with\n"
    "--vcd-bits its vectors as one-bit wires (for sigrok).\n"
    "With --serve, DIR/rtf1 and DIR/rtf2 stand for /dev/rtf1 and /dev/rtf2 and\n"
    "simulated time runs F times as fast as the wall clock (default 1) until the\n"
    "program is stopped; --bytewise hands each value on in single bytes.\n"
    "The scenario format is described in examples/echorange.scenario.\n";

// A speed factor: a positive decimal number.
bool speed_from_word(const char *word, double *speed)
{
    char *end = nullptr;
    double v = std::strtod(word, &end);
    if (end == word || *end != '\0' || !(v > 0) || v > 1e6)
        return false;
    *speed = v;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string module = rtlsim::Machine::default_module_path();
    std::string path;
    std::string trace_path;
    std::string vcd_path;
    bool vcd_bits = false;
    rtlsim::ServeOptions serve;
    bool serving = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            std::cout << kUsage;
            return 0;
        }
        if (!std::strcmp(argv[i], "--module") && i + 1 < argc) {
            module = argv[++i];
        } else if (!std::strcmp(argv[i], "--serve") && i + 1 < argc) {
            serving = true;
            serve.dir = argv[++i];
        } else if (!std::strcmp(argv[i], "--speed") && i + 1 < argc) {
            if (!speed_from_word(argv[++i], &serve.speed)) {
                std::cerr << "echorange-sim: --speed wants a factor above 0 (up to 1000000): " << argv[i]
                          << '\n';
                return 2;
            }
        } else if (!std::strncmp(argv[i], "--trace=", 8) && argv[i][8]) {
            trace_path = argv[i] + 8;
        } else if (!std::strncmp(argv[i], "--vcd=", 6) && argv[i][6]) {
            vcd_path = argv[i] + 6;
        } else if (!std::strcmp(argv[i], "--vcd-bits")) {
            vcd_bits = true;
        } else if (!std::strcmp(argv[i], "--bytewise")) {
            serve.bytewise = true;
        } else if (argv[i][0] == '-' || !path.empty()) {
            std::cerr << kUsage;
            return 2;
        } else {
            path = argv[i];
        }
    }
    // --speed and --bytewise only mean something to a served machine.
    bool serve_options = serve.bytewise || serve.speed != 1.0;
    if (serving && (!trace_path.empty() || !vcd_path.empty())) {
        std::cerr << "echorange-sim: --trace and --vcd are for scenario runs, not --serve\n";
        return 2;
    }
    if (vcd_bits && vcd_path.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    if (path.empty() || (serving && serve.dir.empty()) || (!serving && serve_options)) {
        std::cerr << kUsage;
        return 2;
    }
    std::ifstream in(path);
    if (!in) {
        std::cerr << "echorange-sim: cannot open " << path << '\n';
        return 2;
    }
    std::stringstream text;
    text << in.rdbuf();

    rtlsim::Scenario scenario;
    try {
        scenario = rtlsim::parse_scenario(text.str(), !serving);
    } catch (const rtlsim::ScenarioError &e) {
        std::cerr << "echorange-sim: " << path << ": " << e.what() << '\n';
        return 2;
    }
    if (serving)
        return rtlsim::serve_scenario(scenario, module, serve, std::cout);
    std::ofstream trace_file;
    std::unique_ptr<rtlsim::TraceRecorder> trace;
    if (!trace_path.empty()) {
        trace_file.open(trace_path);
        if (!trace_file) {
            std::cerr << "echorange-sim: cannot write " << trace_path << '\n';
            return 2;
        }
        trace = std::make_unique<rtlsim::TraceRecorder>(trace_file);
    }
    int vcd_fd = -1;
    std::unique_ptr<rtlsim::RangingWaveform> wave;
    if (!vcd_path.empty()) {
        vcd_fd = open(vcd_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (vcd_fd < 0) {
            std::cerr << "echorange-sim: cannot write " << vcd_path << '\n';
            return 2;
        }
        wave = std::make_unique<rtlsim::RangingWaveform>(vcd_fd, vcd_bits);
    }
    rtlsim::ObserverList observers;
    observers.add(trace.get());
    observers.add(wave.get());
    rtlsim::RunSummary summary =
        rtlsim::run_scenario(scenario, module, std::cout, observers.empty() ? nullptr : &observers);
    std::cout.flush();
    trace_file.close();
    if (!trace_path.empty() && !trace_file) {
        std::cerr << "echorange-sim: error writing " << trace_path << '\n';
        return 2;
    }
    if (wave) {
        wave->finish(summary.end);
        wave.reset();
        if (close(vcd_fd) != 0) {
            std::cerr << "echorange-sim: error writing " << vcd_path << '\n';
            return 2;
        }
    }
    if (!summary.violations.empty()) {
        std::cerr << "echorange-sim: the module broke platform rules:\n";
        for (const auto &v : summary.violations)
            std::cerr << "  " << v << '\n';
        return 1;
    }
    return 0;
}
