#include "board_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace bench {

const char kBoardUsage[] =
    "usage: rangefinder-board --socket PATH [options]\n"
    "The range-finder board behind QEMU's 16550 UART at 0x130 (IRQ 11): listens on\n"
    "the Unix socket PATH for QEMU's chardev, takes each byte the guest writes to\n"
    "0x130 as a shot on that channel, and sends one byte back when the channel's\n"
    "target echoes.  Ends when QEMU closes the connection.\n"
    "options:\n"
    "  --target SENSOR:MM    a target MM millimetres in front of SENSOR (1-256,\n"
    "                        board channel SENSOR - 1); repeatable\n"
    "  --target SENSOR:none  no echo on SENSOR (the default for every sensor)\n"
    "  --stray MS            the board raises its line on its own MS milliseconds\n"
    "                        after the guest connected; repeatable\n"
    "  --log FILE            the log (default: standard output)\n"
    "  --ready FILE          made once the board listens (start QEMU after that)\n"
    "  --accept-timeout S    give up when no guest has connected after S seconds\n"
    "  -h, --help            this text\n"
    "Exit status: 0 the guest came and went, 1 socket or file error, 2 usage,\n"
    "3 no guest connected in time.\n";

namespace {

// A whole decimal number from lo to hi.
bool whole_number(const std::string &text, long long lo, long long hi, long long &value)
{
    if (text.empty() || text.size() > 12)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return value >= lo && value <= hi;
}

} // namespace

bool parse_target_word(const std::string &word, SerialBoardSetup &setup, std::string &error)
{
    std::size_t colon = word.find(':');
    long long sensor = 0;
    long long mm = 0;
    if (colon == std::string::npos || !whole_number(word.substr(0, colon), 1, 256, sensor)) {
        error = "not SENSOR:MM or SENSOR:none with SENSOR 1-256: " + word;
        return false;
    }
    std::string distance = word.substr(colon + 1);
    if (distance == "none") {
        setup.targets_mm.erase(static_cast<int>(sensor - 1));
        return true;
    }
    if (!whole_number(distance, 0, kMaxTargetMm, mm)) {
        error = "not a distance in millimetres (0-" + std::to_string(kMaxTargetMm) + ") or none: " + word;
        return false;
    }
    setup.targets_mm[static_cast<int>(sensor - 1)] = mm;
    return true;
}

int parse_board_options(int argc, char **argv, BoardOptions &options, std::string &error)
{
    options = BoardOptions();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help")
            return 1;
        if (a != "--socket" && a != "--target" && a != "--stray" && a != "--log" && a != "--ready" &&
            a != "--accept-timeout") {
            error = "unknown option: " + a;
            return -1;
        }
        if (i + 1 >= argc) {
            error = "missing value of " + a;
            return -1;
        }
        std::string v = argv[++i];
        long long n = 0;
        if (a == "--socket") {
            options.socket_path = v;
        } else if (a == "--log") {
            options.log_path = v;
        } else if (a == "--ready") {
            options.ready_path = v;
        } else if (a == "--target") {
            if (!parse_target_word(v, options.setup, error))
                return -1;
        } else if (a == "--stray") {
            if (!whole_number(v, 0, 3600000, n)) {
                error = "not a time in milliseconds (0-3600000): " + v;
                return -1;
            }
            options.setup.strays.push_back(n * kMillisecond);
        } else {
            if (!whole_number(v, 1, 86400, n)) {
                error = "not a number of seconds (1-86400): " + v;
                return -1;
            }
            options.accept_timeout_s = static_cast<long>(n);
        }
    }
    if (options.socket_path.empty()) {
        error = "--socket PATH is required";
        return -1;
    }
    return 0;
}

} // namespace bench
