#include "devices/fpga/design_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

DesignByte decode_field(const std::string &text, std::size_t begin, std::size_t end)
{
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    DesignByte b;
    if (begin == end || end - begin > 3) {
        b.valid = false;
        return b;
    }
    unsigned v = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            b.valid = false;
            return b;
        }
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
    }
    b.valid = v <= 255;
    b.value = static_cast<std::uint8_t>(v);
    return b;
}

// The whole file, with read(2): a directory, or a file that fails half way,
// is a file that cannot be read (false, errno telling why), never an
// exception.
bool read_whole(const std::string &path, std::string &out)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            errno = err;
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

} // namespace

Design design_from_ttf_text(const std::string &text)
{
    Design d;
    bool any = false;
    for (char c : text)
        any = any || !is_blank(c);
    if (!any)
        return d;
    std::size_t begin = 0;
    for (;;) {
        std::size_t comma = text.find(',', begin);
        std::size_t end = comma == std::string::npos ? text.size() : comma;
        d.push_back(decode_field(text, begin, end));
        if (comma == std::string::npos)
            break;
        begin = comma + 1;
    }
    return d;
}

Design design_from_ttf_file(const std::string &path, bool &ok)
{
    std::string text;
    ok = read_whole(path, text);
    if (!ok)
        return Design{};
    int err = errno;
    Design d = design_from_ttf_text(text);
    errno = err;
    return d;
}

Design design_from_raw_file(const std::string &path, bool &ok)
{
    std::string bytes;
    ok = read_whole(path, bytes);
    Design d;
    if (ok) {
        d.reserve(bytes.size());
        for (char c : bytes)
            d.push_back({static_cast<std::uint8_t>(c), true});
    }
    return d;
}

} // namespace bench
