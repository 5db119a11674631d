#include "sims/common/vcd_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace bench {

namespace {

// Identifier codes: printable ASCII from '!' to '~', more characters when
// there are more signals than that.
std::string code_for(std::size_t index)
{
    std::string c;
    do {
        c += static_cast<char>('!' + index % 94);
        index /= 94;
    } while (index > 0);
    return c;
}

} // namespace

VcdWriter::VcdWriter(int fd, std::string timescale, std::string version)
    : fd_(fd), timescale_(std::move(timescale)), version_(std::move(version))
{
}

VcdWriter::~VcdWriter()
{
    flush();
}

void VcdWriter::flush()
{
    const char *p = buf_;
    while (used_ > 0) {
        ssize_t w = ::write(fd_, p, used_);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            // A full disk or a closed pipe: the rest of the file is lost,
            // and the program that owns it is told by error().
            if (error_ == 0)
                error_ = w < 0 ? errno : EIO;
            break;
        }
        p += w;
        used_ -= static_cast<std::size_t>(w);
    }
    used_ = 0;
}

int VcdWriter::wire(const std::string &scope, const std::string &name, unsigned width, std::uint64_t initial)
{
    signals_.push_back({scope, name, width, code_for(signals_.size()), initial});
    return static_cast<int>(signals_.size() - 1);
}

void VcdWriter::put(const char *text, std::size_t n)
{
    bytes_ += n;
    while (n > 0) {
        if (used_ == sizeof buf_)
            flush();
        std::size_t k = n < sizeof buf_ - used_ ? n : sizeof buf_ - used_;
        std::memcpy(buf_ + used_, text, k);
        used_ += k;
        text += k;
        n -= k;
    }
}

void VcdWriter::header()
{
    std::string h = "$version " + version_ + " $end\n$timescale " + timescale_ + " $end\n";
    std::string scope;
    for (const Signal &s : signals_) {
        if (s.scope != scope) {
            if (!scope.empty())
                h += "$upscope $end\n";
            scope = s.scope;
            h += "$scope module " + scope + " $end\n";
        }
        h += "$var wire " + std::to_string(s.width) + " " + s.code + " " + s.name;
        if (s.width > 1)
            h += " [" + std::to_string(s.width - 1) + ":0]";
        h += " $end\n";
    }
    if (!scope.empty())
        h += "$upscope $end\n";
    h += "$enddefinitions $end\n";
    put(h.data(), h.size());
}

void VcdWriter::stamp(std::uint64_t t)
{
    if (stamped_ && t == last_stamp_)
        return;
    char line[32];
    int n = std::snprintf(line, sizeof line, "#%llu\n", static_cast<unsigned long long>(t));
    put(line, static_cast<std::size_t>(n));
    stamped_ = true;
    last_stamp_ = t;
}

void VcdWriter::emit(const Signal &s)
{
    char line[80];
    int n;
    if (s.width == 1) {
        n = std::snprintf(line, sizeof line, "%c%s\n", (s.value & 1) ? '1' : '0', s.code.c_str());
    } else {
        // Leading zeros left out: a vector value is zero-extended to the
        // signal's width.
        char bits[65];
        unsigned top = s.width;
        while (top > 1 && ((s.value >> (top - 1)) & 1) == 0)
            --top;
        for (unsigned i = 0; i < top; ++i)
            bits[i] = ((s.value >> (top - 1 - i)) & 1) ? '1' : '0';
        bits[top] = '\0';
        n = std::snprintf(line, sizeof line, "b%s %s\n", bits, s.code.c_str());
    }
    put(line, static_cast<std::size_t>(n));
}

void VcdWriter::set(int signal, std::uint64_t value, std::uint64_t t)
{
    Signal &s = signals_[static_cast<std::size_t>(signal)];
    if (s.width < 64)
        value &= (1ULL << s.width) - 1;
    if (value == s.value)
        return;
    s.value = value;
    if (!recording_)
        return;
    stamp(t);
    emit(s);
}

void VcdWriter::start(std::uint64_t t)
{
    if (recording_ || stopped_)
        return;
    header();
    recording_ = true;
    stamp(t);
    put("$dumpvars\n", 10);
    for (const Signal &s : signals_)
        emit(s);
    put("$end\n", 5);
}

void VcdWriter::stop(std::uint64_t t)
{
    if (!recording_)
        return;
    stamp(t);  // the end of the recording, for the viewers' time axis
    recording_ = false;
    stopped_ = true;
    flush();
}

} // namespace bench
