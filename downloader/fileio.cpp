// The TTF data file and the bit image.
//
// A TTF file holds the configuration bytes as decimal text: every value in a
// 3-character field, right-aligned, followed by a comma (none after the last
// value); lines of 92 values from our own tools, 16 from the vendor's, with
// LF or CR LF line ends.  In memory mode the whole file is turned into the
// bit image: one byte (0 or 1) per configuration bit, least significant bit
// of each value first, so that the sender can put each byte on DATA0 as it
// is.  In sequential mode the file stays open for the sender to decode.
#include "psload.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// A byte 0xFF ends the data as the end of the file does (files carried over
// from other systems may hold it as an end mark).
#define TTF_END_MARK 0xFF

// A data file that is a stream (a pipe, a FIFO, standard input by path, a
// character device) cannot be rewound for the second pass, so it is read
// once, at the open, into an anonymous temporary file, which the count, the
// load and the sequential sender then read as any regular file.  The largest
// devices configured over this cable need a few megabytes of configuration,
// four characters per byte in a TTF file: about 12 MB of text for a 24 Mbit
// device.  A stream holding more than 32 MB is not a configuration (it is
// /dev/zero, or the wrong file) and is refused as unopenable, after reading
// no more of it than that.
#define TTF_STREAM_LIMIT (32L * 1024 * 1024)

static FILE *ttf_stream_copy(FILE *stream)
{
    FILE *copy = tmpfile();
    if (copy == NULL)
        return NULL;
    char buf[16384];
    long total = 0;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stream)) > 0) {
        total += (long)n;
        if (total > TTF_STREAM_LIMIT || fwrite(buf, 1, n, copy) != n) {
            fclose(copy);
            return NULL;
        }
    }
    if (ferror(stream) || fflush(copy) != 0) {
        fclose(copy);
        return NULL;
    }
    rewind(copy);
    return copy;
}

// Opens the data file for the two passes over it: a regular file as it is,
// a stream through a copy.  A directory, or anything that cannot be read
// to its end, is a file that cannot be opened.
static FILE *ttf_file_open(const char *name)
{
    FILE *file = fopen(name, "r");
    if (file == NULL)
        return NULL;
    struct stat st;
    if (fstat(fileno(file), &st) != 0) {
        fclose(file);
        return NULL;
    }
    if (S_ISREG(st.st_mode))
        return file;
    if (S_ISDIR(st.st_mode)) {
        fclose(file);
        errno = EISDIR;
        return NULL;
    }
    FILE *copy = ttf_stream_copy(file);
    int copy_errno = errno;
    fclose(file);
    errno = copy_errno;
    return copy;
}

// Opens the data file with the rights of the user who started the program.
// psload may be installed set-user-ID root so that it can obtain port
// access; the data file must still be one its user could read himself.
// The raised IDs are taken back right after the open, for the port phase.
static FILE *ttf_file_open_as_user(const char *name)
{
    uid_t real_uid = getuid();
    uid_t raised_uid = geteuid();
    gid_t real_gid = getgid();
    gid_t raised_gid = getegid();
    bool drop_uid = raised_uid != real_uid;
    bool drop_gid = raised_gid != real_gid;

    if (!drop_uid && !drop_gid)
        return ttf_file_open(name);

    // Group first, while the user ID may still allow it; a failed drop
    // means the file is not opened at all.
    if (drop_gid && setegid(real_gid) != 0)
        return NULL;
    if (drop_uid && seteuid(real_uid) != 0) {
        if (drop_gid && setegid(raised_gid) != 0) {
            // stays at the real group: the port phase does not need it
        }
        return NULL;
    }

    // The copy of a stream is made here too: as the user, in his name.
    FILE *file = ttf_file_open(name);
    int open_errno = errno;

    // Back to the raised IDs (user first: it may be needed to change the
    // group).  They are the saved IDs of the process, so this is always
    // allowed; should it fail, the port phase reports the missing access.
    if (drop_uid && seteuid(raised_uid) != 0) {
    }
    if (drop_gid && setegid(raised_gid) != 0) {
    }
    errno = open_errno;
    return file;
}

// Value of one 3-character field, as the C library's decimal string-to-long
// conversion reads it: leading white space skipped, an optional sign, then
// digits up to the first other character (a NUL ends the field early).  No
// digits give 0.  Written out because it runs once per configuration byte.
static long ttf_field_value(const char *field)
{
    int i = 0;
    while (i < 3 && (field[i] == ' ' || field[i] == '\t' || field[i] == '\n' ||
                     field[i] == '\v' || field[i] == '\f' || field[i] == '\r'))
        i++;
    bool negative = false;
    if (i < 3 && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        i++;
    }
    long value = 0;
    while (i < 3 && field[i] >= '0' && field[i] <= '9') {
        value = value * 10 + (field[i] - '0');
        i++;
    }
    return negative ? -value : value;
}

// The eight image entries of every byte value, bit 0 first.
struct ttf_bit_table {
    unsigned char bits[256][8];
    ttf_bit_table()
    {
        for (int v = 0; v < 256; v++)
            for (int b = 0; b < 8; b++)
                bits[v][b] = (unsigned char)((v >> b) & 1);
    }
};
static const ttf_bit_table ttf_bits;

// Puts the low 8 bits of a field's value into the image at p, bit 0 first.
static void ttf_store_value(unsigned char *p, long value)
{
    memcpy(p, ttf_bits.bits[(unsigned char)value], 8);
}

int file_read(void)
{
    if (status.verbose == 1)
        printf("File loading...\n");

    status.input_file = ttf_file_open_as_user(status.input_file_name);
    if (status.input_file == NULL) {
        fprintf(stderr, "Error: Can't open %s for reading\n", status.input_file_name);
        exit(8);
    }
    if (status.verbose == 1)
        printf("  File(%s) is opened.\n", status.input_file_name);

    int result;
    switch (status.file_read_mode) {
    case FILE_TO_MEMORY:
        result = ttf_file_count_data_size();
        if (result == 0) {
            if (status.verbose == 1)
                printf("  Include %d byte data.\n", count_data);
            result = ttf_file_read_to_mem();
            if (result == 0 && status.verbose == 1)
                printf("  All data is loaded from file to memory.\n");
        }
        fclose(status.input_file);
        status.input_file = NULL;
        if (status.verbose == 1)
            printf("  File(%s) is closed.\n", status.input_file_name);
        return result;

    case FILE_SEQUENTIAL:
        // The file stays open, at its start, for the sequential sender.
        if (ttf_file_count_data_size() == 0 && status.verbose == 1)
            printf("  Include %d byte data.\n", count_data);
        return 0;

    default:
        fprintf(stderr, "file_read() : Mode (File read) Error\n");
        return 1;
    }
}

int settle_all(void)
{
    if (status.verbose == 1)
        printf("Settleing...\n");

    switch (status.file_read_mode) {
    case FILE_TO_MEMORY:
        free(parallel_data);
        parallel_data = NULL;
        if (status.verbose == 1)
            printf("  Free memory.\n");
        break;
    case FILE_SEQUENTIAL:
        if (status.input_file != NULL)
            fclose(status.input_file);
        status.input_file = NULL;
        if (status.verbose == 1)
            printf("  File(%s) closed.\n", status.input_file_name);
        break;
    default:
        fprintf(stderr, "settle_all() : Mode (File read) Error\n");
        break;
    }
    return 0;
}

int ttf_file_count_data_size(void)
{
    FILE *file = status.input_file;

    // Counted wide: a file with more commas than an int can count ends up
    // with the largest count, which no bit image can hold, instead of a
    // wrapped (small or negative) one.
    long long commas = 0;
    int c;
    flockfile(file);
    while ((c = getc_unlocked(file)) != EOF && c != TTF_END_MARK) {
        if (c == ',')
            commas++;
    }
    funlockfile(file);

    count_data = commas >= INT_MAX ? INT_MAX : (int)(commas + 1);
    rewind(file);
    return 0;
}

int ttf_file_read_to_mem(void)
{
    // The image needs 8 bytes per value and its size must be an int, as
    // everything that walks it counts bits in an int.  Larger files take
    // the same way out as a failed allocation.  Zero-filled: entries that
    // receive no value (a short file) are clocked out as 0.
    long long size = 8LL * count_data;
    parallel_data = NULL;
    if (count_data >= 0 && size <= INT_MAX)
        parallel_data = (unsigned char *)calloc(size > 0 ? (size_t)size : 1, 1);
    if (parallel_data == NULL) {
        fprintf(stderr, "ttf_file_read_to_mem(): ");
        fprintf(stderr, "Can't allocate memory for download data.\n");
        return 1;
    }
    if (status.verbose == 1)
        printf("  Memory allocated %d(=8*%d)byte.\n", (int)size, count_data);

    // Tokens of up to four characters: "ddd," is one value; a line end or
    // the end of the file cuts a token short, so "ddd" before one is the
    // last value of the file, and anything shorter (blank lines, the
    // empty token after a comma at a line end) carries nothing.
    FILE *file = status.input_file;
    unsigned char *p = parallel_data;
    int stored = 0;
    bool at_end = false;
    int result = 0;
    flockfile(file);
    while (!at_end) {
        char token[4];
        int n = 0;
        while (n < 4) {
            int c = getc_unlocked(file);
            if (c == EOF || c == TTF_END_MARK) {
                at_end = true;
                break;
            }
            if (c == '\r' || c == '\n')
                break;
            token[n++] = (char)c;
        }

        if (n == 4) {
            if (token[3] != ',') {
                result = 1;
                break;
            }
        } else if (n != 3) {
            continue;
        }
        // Never more values than were counted, even if the file has grown
        // since the counting pass.
        if (stored < count_data) {
            ttf_store_value(p, ttf_field_value(token));
            p += 8;
            stored++;
        }
    }
    funlockfile(file);

    if (result != 0)
        printf("Error unexpcted data.\n");
    return result;
}
