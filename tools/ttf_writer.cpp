#include "ttf_writer.h"

namespace ttfgen {

namespace {

// xorshift32: small, fast and the same on every machine.
struct Series {
    unsigned state;
    explicit Series(unsigned series) : state(series * 2654435761u + 0x9E3779B9u)
    {
        if (state == 0)
            state = 1;
    }
    unsigned char next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        unsigned kind = state % 8;
        if (kind < 3)
            return 0xFF;
        if (kind == 3)
            return 0x00;
        return static_cast<unsigned char>(state >> 24);
    }
};

// Appends value k (0-based) of count, with its separator and line end.
void append_field(std::string &out, unsigned char value, long long k, const Layout &l)
{
    char field[3] = {' ', ' ', ' '};
    unsigned v = value;
    int i = 2;
    do {
        field[i--] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    out.append(field, 3);

    bool last = (k == l.count - 1);
    if (!last)
        out.push_back(',');
    bool line_full = ((k + 1) % l.per_line == 0);
    if ((line_full && !last) || (last && l.final_line_end)) {
        if (l.crlf)
            out.push_back('\r');
        out.push_back('\n');
    }
}

} // namespace

std::vector<unsigned char> values(long long count, unsigned series)
{
    std::vector<unsigned char> v;
    Series s(series);
    v.reserve(count > 0 ? static_cast<size_t>(count) : 0);
    for (long long k = 0; k < count; ++k)
        v.push_back(s.next());
    return v;
}

std::string text(const Layout &layout)
{
    std::string out;
    Series s(layout.series);
    for (long long k = 0; k < layout.count; ++k)
        append_field(out, s.next(), k, layout);
    return out;
}

int write(std::FILE *out, const Layout &layout)
{
    std::string chunk;
    Series s(layout.series);
    for (long long k = 0; k < layout.count; ++k) {
        append_field(chunk, s.next(), k, layout);
        if (chunk.size() >= 65536 || k == layout.count - 1) {
            if (std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size())
                return -1;
            chunk.clear();
        }
    }
    return std::fflush(out) == 0 ? 0 : -1;
}

} // namespace ttfgen
