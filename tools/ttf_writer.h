// Writer of TTF configuration files with deterministic content, for the
// sample configuration, the tests and the benchmarks.
//
// Every value is written in a 3-character field, right-aligned, followed by
// a comma, except the last value of the file.  `per_line` values make a line
// (92 in the downloader's own layout, 16 in the vendor tools' layout); the
// line end is LF or CR LF, and may be left out after the last value, as the
// vendor tools do.
#ifndef TOOLS_TTF_WRITER_H
#define TOOLS_TTF_WRITER_H

#include <cstdio>
#include <string>
#include <vector>

namespace ttfgen {

struct Layout {
    long long count = 1024;        // number of values
    int per_line = 92;             // values per line, at least 1
    bool crlf = false;             // CR LF line ends instead of LF
    bool final_line_end = true;    // a line end after the last value
    unsigned series = 1;           // selects the content
};

// The values of a file made with this series number: the same number always gives the
// same values, and a longer file starts with the values of a shorter one.
// Like a real configuration they are mostly 0xFF (unused cells) and 0x00,
// mixed with arbitrary bytes.
std::vector<unsigned char> values(long long count, unsigned series);

// The text of a TTF file with the given layout.
std::string text(const Layout &layout);

// Writes the file to out in pieces (any size, little memory).  Returns 0, or
// -1 when a write failed.
int write(std::FILE *out, const Layout &layout);

} // namespace ttfgen

#endif
