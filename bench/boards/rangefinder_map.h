// Where the range-finder board sits on the lab PC, written once: its four
// ports from 0x130 and its interrupt line, IRQ 11.  The board assemblies
// (rangefinder_pc.h, serial_board.h) map it there; everything else that
// names one of its ports or its line (the waveform, the scenarios' default
// region fault, tests) asks here.  The registers are the board's own
// offsets (devices/rangefinder/echo_board.h).
#ifndef BENCH_BOARDS_RANGEFINDER_MAP_H
#define BENCH_BOARDS_RANGEFINDER_MAP_H

#include <cstdint>

#include "devices/rangefinder/echo_board.h"

namespace bench {
namespace rangefinder_map {

constexpr std::uint16_t kBase = 0x130;
constexpr unsigned kExtent = EchoBoard::kExtent;
constexpr unsigned kIrq = 11;

// The module's BOARD_CHANNEL and BOARD_CONTROL.
constexpr std::uint16_t kChannelPort = kBase + EchoBoard::kChannelOffset;
constexpr std::uint16_t kControlPort = kBase + EchoBoard::kControlOffset;

}  // namespace rangefinder_map
}  // namespace bench

#endif
