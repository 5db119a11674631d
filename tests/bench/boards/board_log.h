// The serial board's log as its tests read it (tests/bench/boards and the
// program's tests in tests/bench/sims/qemu_board): its event lines with
// their stamps in microseconds.
#ifndef TESTS_BENCH_BOARDS_BOARD_LOG_H
#define TESTS_BENCH_BOARDS_BOARD_LOG_H

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace board_log {

// The log's event lines: the stamp in microseconds and the text, without
// the note of an echo the host sent late (which depends on how busy it is).
inline std::vector<std::pair<long, std::string>> stamped(const std::string &log)
{
    std::vector<std::pair<long, std::string>> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::size_t dot = line.find('.');
        std::size_t blank = line.find(' ');
        if (dot == 0 || dot == std::string::npos || blank != dot + 4 ||
            line.find_first_not_of("0123456789") != dot || line.substr(dot + 1, 3).find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string text = line.substr(blank + 1);
        std::size_t note = text.rfind(" (sent ");
        if (note != std::string::npos && text.size() > 9 && text.compare(text.size() - 9, 9, " ms late)") == 0)
            text.erase(note);
        out.emplace_back(std::stol(line.substr(0, dot)) * 1000 + std::stol(line.substr(dot + 1, 3)), text);
    }
    return out;
}

inline std::vector<std::string> events(const std::string &log)
{
    std::vector<std::string> out;
    for (const auto &l : stamped(log))
        out.push_back(l.second);
    return out;
}

}  // namespace board_log

#endif
