// The design a bench FPGA expects: the configuration bytes it will accept.
//
// The bench reads a TTF data file with a reader of its own, written apart
// from psload's loader and deliberately more lenient than it: values are
// the comma-separated fields of the whole file, whatever the line length,
// with blanks, tabs, CR and LF anywhere around them ignored.  What psload
// makes of the same file is then checked against what the file says, not
// against what psload's loader thought it says.
//
// A field that holds no decimal number from 0 to 255 (empty, a letter, 256)
// is not a configuration byte: the device expects a byte there that nothing
// can match, as a real device would reject whatever psload sends for it.
#ifndef BENCH_DEVICES_FPGA_DESIGN_FILE_H
#define BENCH_DEVICES_FPGA_DESIGN_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One expected configuration byte; unmatchable when the file's field held
// no byte.
struct DesignByte {
    std::uint8_t value = 0;
    bool valid = true;
};

using Design = std::vector<DesignByte>;

// Decodes TTF text.  A file with no text at all is an empty design.
Design design_from_ttf_text(const std::string &text);

// Reads a TTF file (ok false, with errno set, when it cannot be read: it
// does not exist, or is a directory).
Design design_from_ttf_file(const std::string &path, bool &ok);

// Reads a file of raw configuration bytes (ok false, with errno set, when it
// cannot be read).
Design design_from_raw_file(const std::string &path, bool &ok);

} // namespace bench

#endif
