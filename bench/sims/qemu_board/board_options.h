// rangefinder-board's command line (see README.md beside this file).
#ifndef BENCH_QEMU_BOARD_BOARD_OPTIONS_H
#define BENCH_QEMU_BOARD_BOARD_OPTIONS_H

#include "boards/serial_board.h"

#include <string>

namespace bench {

struct BoardOptions {
    std::string socket_path;  // --socket: where the board listens
    std::string log_path;     // --log: the log (standard output when empty)
    std::string ready_path;   // --ready: made once the board listens
    long accept_timeout_s = 0;  // --accept-timeout: give up waiting for the guest (0: never)
    SerialBoardSetup setup;   // --target, --stray
};

extern const char kBoardUsage[];

// The largest distance a target may have: 10 km, an echo 58 s after its shot.
constexpr long long kMaxTargetMm = 10000000;

// "SENSOR:MM" or "SENSOR:none", SENSOR 1-256 (channel SENSOR - 1), MM
// 0-kMaxTargetMm: into setup's targets (the last word for a sensor counts).
// False with a message in error.
bool parse_target_word(const std::string &word, SerialBoardSetup &setup, std::string &error);

// 0: options parsed; 1: -h or --help; -1: a bad command line (error says why).
int parse_board_options(int argc, char **argv, BoardOptions &options, std::string &error);

} // namespace bench

#endif
