// ttfgen: writes a TTF configuration file of any size with deterministic
// content, in the downloader's layout (92 values a line) or the vendor
// tools' layout (16 a line).
//
//   ttfgen [-n count] [-l values_per_line] [-r] [-x] [-s series] [-o file]
//   ttfgen --version
#include "source_version.h"
#include "ttf_writer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static void ttfgen_usage(const char *name)
{
    std::fprintf(stderr,
                 "Usage is %s [-n count] [-l values_per_line] [-r] [-x] [-s series] [-o file]\n"
                 "    -n count    number of values (Default: 1024)\n"
                 "    -l number   values per line (Default: 92; the vendor tools write 16)\n"
                 "    -r          CR LF line ends (Default: LF)\n"
                 "    -x          no line end after the last value\n"
                 "    -s series   content series (Default: 1)\n"
                 "    -o file     output file (Default: standard output)\n"
                 "    --version   the version and the source commit\n",
                 name);
}

// Whole decimal number in [min, max], or false.
static bool number_arg(const char *text, long long min, long long max, long long *out)
{
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ttfgen (labtools) %s, source commit %s\n", labtools_version, labtools_commit);
        return 0;
    }
    ttfgen::Layout layout;
    const char *out_name = nullptr;
    long long n = 0;
    int opt;
    while ((opt = getopt(argc, argv, "n:l:rxs:o:h")) != -1) {
        switch (opt) {
        case 'n':
            // An empty file is no configuration (psload would read it as
            // one byte): at least one value.
            if (!number_arg(optarg, 1, LLONG_MAX, &n)) {
                std::fprintf(stderr, "ttfgen: bad value count %s\n", optarg);
                return 2;
            }
            layout.count = n;
            break;
        case 'l':
            if (!number_arg(optarg, 1, INT_MAX, &n)) {
                std::fprintf(stderr, "ttfgen: bad values per line %s\n", optarg);
                return 2;
            }
            layout.per_line = static_cast<int>(n);
            break;
        case 'r':
            layout.crlf = true;
            break;
        case 'x':
            layout.final_line_end = false;
            break;
        case 's':
            if (!number_arg(optarg, 0, UINT_MAX, &n)) {
                std::fprintf(stderr, "ttfgen: bad series %s\n", optarg);
                return 2;
            }
            layout.series = static_cast<unsigned>(n);
            break;
        case 'o':
            out_name = optarg;
            break;
        case 'h':
            ttfgen_usage(argv[0]);
            return 0;
        default:
            ttfgen_usage(argv[0]);
            return 2;
        }
    }
    if (optind != argc) {
        ttfgen_usage(argv[0]);
        return 2;
    }

    std::FILE *out = stdout;
    if (out_name != nullptr) {
        out = std::fopen(out_name, "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "ttfgen: can't open %s for writing\n", out_name);
            return 1;
        }
    }
    int result = ttfgen::write(out, layout);
    if (out != stdout && std::fclose(out) != 0)
        result = -1;
    if (result != 0) {
        std::fprintf(stderr, "ttfgen: write error\n");
        return 1;
    }
    return 0;
}
