// Run settings of psload: defaults and the command-line parser.
//
// Options come first, each introduced by "-" and recognised by its second
// character (a few by the third); the one argument left after them is the
// TTF data file.  Everything ends up in the settings record `status`.
#include "psload.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Copies src into a name field of the settings record, cut to the 255
// characters the field can hold.
static void name_copy(char *field, const char *src)
{
    size_t n = strlen(src);
    if (n > PSLOAD_NAME_SIZE - 1)
        n = PSLOAD_NAME_SIZE - 1;
    memcpy(field, src, n);
    field[n] = '\0';
}

// Decimal value of an option argument: leading blanks skipped, optional
// sign, digits up to the first non-digit, 0 when there are none; no error
// check.  The lab PC's long is 32 bits wide, so out-of-range numbers stop at
// the int limits there; they do the same on any host.
static int decimal_value(const char *text)
{
    long v = strtol(text, NULL, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

// Rejects the named argument: one line, then the usage text (exit 8).
[[noreturn]] static void bad_option(const char *arg)
{
    fprintf(stderr, "Bad option %s\n", arg);
    usage();
}

int initialize_defaults(void)
{
    status.verbose = 0;
    name_copy(status.input_file_name, "input_file_name");
    status.parallel_port_address = 0x378;
    status.dummy_port_address = 0x80;
    status.wait_count = 0;
    status.progress_bar = 0;
    status.file_read_mode = FILE_TO_MEMORY;
    status.port_access_mode = DIRECT_ACCESS;
    return 0;
}

int options_parse(int argc, char **argv)
{
    // The name goes in first, so that the usage text can show it even when
    // the very first option is rejected.
    name_copy(status.program_name, (argc > 0 && argv[0] != NULL) ? argv[0] : "");
    initialize_defaults();

    int k = 0;
    while (argc - k > 1 && argv[k + 1][0] == '-') {
        k++;
        const char *option = argv[k];
        const char *value = NULL;

        // Options that take a value read the next argument; one given as
        // the last argument has none and is rejected by its own name.
        bool takes_value = false;
        switch (option[1]) {
        case 'd':
        case 'p':
        case 'w':
            takes_value = true;
            break;
        case 'm':
            takes_value = (option[2] == 'd' || option[2] == 'f');
            break;
        default:
            break;
        }
        if (takes_value) {
            if (argc - k < 2)
                bad_option(option);
            k++;
            value = argv[k];
        }

        switch (option[1]) {
        case 'b':
            status.progress_bar = 1;
            break;
        case 'd':
            // Only port 0x80, the POST diagnostic port, is offered for the
            // delay writes.
            if (value[0] == '0')
                status.dummy_port_address = 0x80;
            else
                bad_option(value);
            break;
        case 'h':
            help_message();
        case 'm':
            if (option[2] == 'd')
                status.port_access_mode = decimal_value(value);
            else if (option[2] == 'f')
                status.file_read_mode = decimal_value(value);
            else
                bad_option(option);
            break;
        case 'p':
            // The three standard PC parallel port bases (LPT1, LPT2, and the
            // port of the old monochrome display adapter).
            if (value[0] == '0')
                status.parallel_port_address = 0x378;
            else if (value[0] == '1')
                status.parallel_port_address = 0x278;
            else if (value[0] == '2')
                status.parallel_port_address = 0x3BC;
            else
                bad_option(value);
            break;
        case 'v':
            status.verbose = 1;
            break;
        case 'w':
            status.wait_count = decimal_value(value);
            break;
        default:
            bad_option(option);
        }
    }

    if (argc - k != 2)
        usage();

    // A file name too long for the record is not cut down, since the cut
    // name could be another file: it is refused as a file that cannot be
    // opened, with the name as given.
    const char *file = argv[k + 1];
    if (strlen(file) > PSLOAD_NAME_SIZE - 1) {
        fprintf(stderr, "Error: Can't open %s for reading\n", file);
        exit(8);
    }
    name_copy(status.input_file_name, file);

    if (status.verbose == 1)
        print_param();
    return 0;
}
