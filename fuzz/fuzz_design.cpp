// Fuzz target: the bench's reader of design files (devices/fpga/design_file),
// which takes whatever file psload-sim and the QEMU bridge are given.
//
// The input is the file.  It is decoded as TTF text directly, and read back
// from a file as TTF and as raw bytes.
//
// Invariants: a text with anything but blanks has one byte per comma plus
// one, each field that is a decimal number from 0 to 255 (blanks around it
// allowed) a valid byte of that value and every other field an invalid one;
// the TTF file gives the same design as the text; the raw file gives the
// input's bytes, all valid.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "devices/fpga/design_file.h"

namespace {

std::string file_path;

[[noreturn]] void fail(const char *why)
{
    std::fprintf(stderr, "fuzz_design: %s\n", why);
    std::abort();
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The field as the format defines it, worked out apart from the reader.
bench::DesignByte expected_field(const std::string &field)
{
    std::size_t b = field.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {0, false};
    std::size_t e = field.find_last_not_of(" \t\r\n");
    std::string digits = field.substr(b, e - b + 1);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return {0, false};
    unsigned v = static_cast<unsigned>(std::stoul(digits));
    return {static_cast<std::uint8_t>(v), v <= 255};
}

bool same(const bench::Design &a, const bench::Design &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].valid != b[i].valid || (a[i].valid && a[i].value != b[i].value))
            return false;
    return true;
}

} // namespace

// The file lives in memory (a disk would make the run crawl), and is named
// through /proc so that the reader opens it by path, as it opens any other.
int file_fd = -1;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    file_fd = memfd_create("fuzz_design", 0);
    if (file_fd < 0)
        fail("no file in memory");
    file_path = "/proc/self/fd/" + std::to_string(file_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    bench::Design d = bench::design_from_ttf_text(text);

    bench::Design want;
    bool any = false;
    for (char c : text)
        any = any || !blank(c);
    if (any) {
        std::size_t begin = 0;
        for (;;) {
            std::size_t comma = text.find(',', begin);
            want.push_back(expected_field(text.substr(begin, comma == std::string::npos ? comma : comma - begin)));
            if (comma == std::string::npos)
                break;
            begin = comma + 1;
        }
    }
    if (!same(d, want))
        fail("the text decodes to another design");

    if (ftruncate(file_fd, 0) != 0 ||
        (size > 0 && pwrite(file_fd, data, size, 0) != static_cast<ssize_t>(size)))
        fail("cannot write the file");
    bool ok = false;
    if (!same(bench::design_from_ttf_file(file_path, ok), d) || !ok)
        fail("the TTF file reads otherwise than its text");
    bench::Design raw = bench::design_from_raw_file(file_path, ok);
    if (!ok || raw.size() != size)
        fail("the raw file reads to another length");
    for (std::size_t i = 0; i < size; ++i)
        if (!raw[i].valid || raw[i].value != data[i])
            fail("the raw file reads to other bytes");
    return 0;
}
