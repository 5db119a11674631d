// The download phase: parallel-port access, the passive-serial
// configuration handshake and the two bit-stream senders.
//
// The configuration cable on the parallel port:
//   data register    bit 0 -> DATA0
//   control register bit 0 -> DCLK, inverted (1 = DCLK low)
//                    bit 2 -> nCONFIG (1 = high)
//   status register  bit 7 <- nSTATUS, inverted (1 = nSTATUS low)
//                    bit 5 <- CONF_DONE (1 = high)
//
// There is no timer anywhere: one port write takes about a microsecond on
// the ISA bus, and a write of 0 to the delay port (0x80, the POST code port,
// which nothing listens to) is the unit of delay.  The senders are busy loops
// of port accesses; anything else they do per bit must stay small next to
// one port access, so the loops only index, shift and count.
#include "psload.h"

#include "portio.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Control register values.
#define CTRL_IDLE       0x05    // DCLK low, nCONFIG high: idle, first half of a clock
#define CTRL_DCLK_HIGH  0x04    // DCLK high, nCONFIG high: second half of a clock
#define CTRL_NCONFIG    0x01    // DCLK low, nCONFIG low: configuration start

// Status register bits.
#define STAT_NSTATUS_LOW 0x80
#define STAT_CONF_DONE   0x20

#define NSTATUS_POLLS    101    // status reads waiting for nSTATUS after nCONFIG
#define CONF_DONE_POLLS  11     // status reads waiting for CONF_DONE after the data
#define SETTLE_UNITS     5      // failed polls + delay writes before the first clock
#define CLOSING_CLOCKS   10     // DCLK cycles the device needs to start up
#define VALUES_PER_LINE  92     // values on a full line of a TTF file

#define PROGRESS_PARTS   20

static unsigned short port_data(void)
{
    return (unsigned short)status.parallel_port_address;
}

static unsigned short port_status(void)
{
    return (unsigned short)(status.parallel_port_address + 1);
}

static unsigned short port_control(void)
{
    return (unsigned short)(status.parallel_port_address + 2);
}

// wait_count delay writes; zero or negative means none.
static inline void delay_writes(unsigned short dummy, int count)
{
    for (int k = count; k > 0; --k)
        port_outb(dummy, 0);
}

// One DCLK cycle with bit on DATA0; the device takes it on the rising edge.
static inline void clock_bit(unsigned short data, unsigned short control, unsigned short dummy,
                             int wait, unsigned char bit)
{
    port_outb(control, CTRL_IDLE);
    port_outb(data, bit);
    delay_writes(dummy, wait);
    port_outb(control, CTRL_DCLK_HIGH);
    delay_writes(dummy, wait);
}

// ---------------------------------------------------------------------------
// Progress bar: a head of three lines, then the dotted line redrawn from its
// start (cursor up one line) with one more "o" at every update.  An update
// comes at unit 0 and every step-th unit after it.  Below twenty units the
// step would be 0: then every unit gets its update.

typedef struct {
    unsigned long step;
    unsigned long left;     // units until the next update
    int updates;            // updates made so far
} progress_state;

static void progress_start(progress_state *p, unsigned long units)
{
    p->step = units / PROGRESS_PARTS;
    if (p->step == 0)
        p->step = 1;
    p->left = 0;
    p->updates = 0;
    fputs("0        50       100 (%)\n", stdout);
    fputs("|--------|---------|\n", stdout);
    fputs("....................\n", stdout);
}

static void progress_update(progress_state *p)
{
    putchar(0x1B);
    fputs("[A", stdout);
    for (int k = 0; k < p->updates; ++k)
        putchar('o');
    putchar('\n');
    ++p->updates;
}

// Called once per unit, before the unit is sent.
static inline void progress_unit(progress_state *p)
{
    if (p->left == 0) {
        progress_update(p);
        p->left = p->step;
    }
    --p->left;
}

// ---------------------------------------------------------------------------
// Leaving the cable driven when the process is stopped half way would keep
// the FPGA in configuration with DCLK and nCONFIG wherever they were.  While
// port access is held, SIGINT, SIGTERM and SIGHUP first set the port idle
// and give the ports back, then end the process as the signal would have.
// The handler uses only port accesses, ioperm and signal calls.  What was
// printed before the signal is already written out: standard output is
// unbuffered (see main).

static const int release_signals[] = {SIGINT, SIGTERM, SIGHUP};
#define RELEASE_SIGNAL_COUNT ((int)(sizeof release_signals / sizeof release_signals[0]))

static volatile sig_atomic_t held_parallel;   // access to the three registers held
static volatile sig_atomic_t held_dummy;      // access to the delay port held
static unsigned long held_parallel_address;
static unsigned long held_dummy_address;
static struct sigaction saved_actions[RELEASE_SIGNAL_COUNT];
static int handler_installed[RELEASE_SIGNAL_COUNT];

static void release_on_signal(int sig)
{
    if (held_parallel) {
        port_outb((unsigned short)held_parallel_address, 0);
        port_outb((unsigned short)(held_parallel_address + 2), CTRL_IDLE);
        port_permission(held_parallel_address, 3, 0);
        held_parallel = 0;
    }
    if (held_dummy) {
        port_permission(held_dummy_address, 1, 0);
        held_dummy = 0;
    }
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, NULL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    sigprocmask(SIG_UNBLOCK, &unblock, NULL);
    // kill() rather than raise(): the C library of a static build may not
    // know its thread ID on an old kernel (Linux 2.4 has no
    // set_tid_address), and its raise() then sends nothing.
    kill(getpid(), sig);
}

// A signal the user has set to be ignored (nohup, for instance) stays ignored.
static void release_handlers_install(void)
{
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = release_on_signal;
    sigemptyset(&act.sa_mask);
    for (int k = 0; k < RELEASE_SIGNAL_COUNT; ++k)
        sigaddset(&act.sa_mask, release_signals[k]);
    for (int k = 0; k < RELEASE_SIGNAL_COUNT; ++k) {
        handler_installed[k] = 0;
        if (sigaction(release_signals[k], NULL, &saved_actions[k]) != 0)
            continue;
        if (saved_actions[k].sa_handler == SIG_IGN)
            continue;
        if (sigaction(release_signals[k], &act, NULL) == 0)
            handler_installed[k] = 1;
    }
}

static void release_handlers_remove(void)
{
    for (int k = 0; k < RELEASE_SIGNAL_COUNT; ++k) {
        if (handler_installed[k])
            sigaction(release_signals[k], &saved_actions[k], NULL);
        handler_installed[k] = 0;
    }
}

// ---------------------------------------------------------------------------

int download_data(void)
{
    int result;

    if (status.verbose == 1)
        printf("Download to FPGA...\n");
    if (status.port_access_mode == DIRECT_ACCESS) {
        if (status.verbose == 1)
            printf("  Direct access I/O port.\n");
        result = download_direct_access();
    } else if (status.port_access_mode == LP_DRIVER) {
        if (status.verbose == 1)
            printf("  Using lp driver.\n");
        result = download_use_lpdriver();
    } else {
        fprintf(stderr, "download_data(): Mode(Port access) Error\n");
        result = 1;
    }
    if (status.verbose == 1) {
        if (result == 0)
            printf("Download Success.\n");
        else
            printf("*Download Fail.\n");
    }
    return result;
}

int download_direct_access(void)
{
    unsigned long parallel = status.parallel_port_address;
    unsigned long dummy = status.dummy_port_address;
    int granted = 0;
    int result = 0;

    if (port_permission(parallel, 3, 1) != 0) {
        fprintf(stderr, "I/O Port Error, Check parallel port I/O address.\n");
        result = 1;
    } else {
        granted = 1;
        held_parallel_address = parallel;
        held_dummy_address = dummy;
        held_parallel = 1;
        release_handlers_install();

        if (port_permission(dummy, 1, 1) != 0) {
            fprintf(stderr, "I/O Port Error, Check dummy port I/O address.\n");
            result = 1;
        } else {
            held_dummy = 1;
            if (init_port_direct() != 0) {
                fprintf(stderr, "Port Initialize Error, Check cable connection.\n");
                result = 1;
            } else if (init_sequense_direct() != 0) {
                fprintf(stderr, "Handshake Error, Check cable connection.\n");
                result = 1;
            } else {
                if (status.file_read_mode == FILE_TO_MEMORY) {
                    if (status.verbose == 1)
                        printf("  Data from memory...\n");
                    result = data_download_from_mem_direct();
                } else if (status.file_read_mode == FILE_SEQUENTIAL) {
                    if (status.verbose == 1)
                        printf("  Data from file sequential...\n");
                    result = data_download_from_file_direct();
                } else {
                    fprintf(stderr, "Mode (File read) Error.\n");
                    result = 1;
                }
                if (result != 0) {
                    fprintf(stderr, "Download Error, ");
                    fprintf(stderr, "Check data and parallel port.\n");
                }
            }
        }
    }

    // Idle: DATA0 low, DCLK low, nCONFIG high.
    if (granted) {
        port_outb(port_data(), 0);
        port_outb(port_control(), CTRL_IDLE);
        release_handlers_remove();
    }
    held_parallel = 0;
    held_dummy = 0;

    if (port_permission(parallel, 3, 0) != 0)
        fprintf(stderr, "Error\n");
    if (port_permission(dummy, 1, 0) != 0)
        fprintf(stderr, "Error\n");
    return result;
}

int download_use_lpdriver(void)
{
    fprintf(stderr, "This download mode is not supported yet.\n");
    return 1;
}

// A low nSTATUS here is reported but does not stop the download: it is what
// a device shows after a failed configuration (or while it still holds
// itself in reset), and the nCONFIG pulse that follows is exactly what
// clears that state.  The handshake poll after the pulse decides whether
// the device answers.
int init_port_direct(void)
{
    port_outb(port_control(), CTRL_IDLE);
    unsigned char st = port_inb(port_status());
    if (status.verbose == 1) {
        printf("  Initial status port value = 0x%X\n", st);
        if (st & STAT_NSTATUS_LOW)
            printf("  [ nSTATUS = Low,");
        else
            printf("  [ nSTATUS = High,");
        if (st & STAT_CONF_DONE)
            printf(" CONF_DONE = High ]\n");
        else
            printf(" CONF_DONE = Low ]\n");
    }
    if (st & STAT_NSTATUS_LOW)
        fprintf(stderr, "init_port_direct(): Error, nSTATUS illigal value.\n");
    port_outb(port_data(), 0);
    return 0;
}

int init_sequense_direct(void)
{
    unsigned short control = port_control();
    unsigned short stat = port_status();
    unsigned short dummy = (unsigned short)status.dummy_port_address;

    port_outb(control, CTRL_NCONFIG);
    port_outb(dummy, 0);
    port_outb(control, CTRL_IDLE);

    // Ready: nSTATUS high and CONF_DONE low.
    int failed = 0;
    while ((port_inb(stat) & (STAT_NSTATUS_LOW | STAT_CONF_DONE)) != 0) {
        if (++failed >= NSTATUS_POLLS) {
            fprintf(stderr, "init_sequense_direct(): Timeout, ");
            fprintf(stderr, "nSTATUS no response (Rise edge).\n");
            return 1;
        }
    }
    // The device wants a few microseconds between nSTATUS rising and the
    // first DCLK edge: failed reads and delay writes make at least five.
    if (failed < SETTLE_UNITS)
        delay_writes(dummy, SETTLE_UNITS - failed);
    return 0;
}

int data_download_from_mem_direct(void)
{
    unsigned short data = port_data();
    unsigned short control = port_control();
    unsigned short stat = port_status();
    unsigned short dummy = (unsigned short)status.dummy_port_address;
    int wait = status.wait_count;

    // No image (the load failed before it was allocated): nothing to send.
    if (parallel_data == NULL || count_data < 0 || (size_t)count_data > SIZE_MAX / 8)
        return 1;

    size_t total = (size_t)count_data * 8;
    const unsigned char *bit = parallel_data;
    const unsigned char *end = parallel_data + total;

    if (status.progress_bar == 1) {
        progress_state progress;
        progress_start(&progress, total);
        for (; bit != end; ++bit) {
            progress_unit(&progress);
            clock_bit(data, control, dummy, wait, *bit);
        }
    } else {
        for (; bit != end; ++bit)
            clock_bit(data, control, dummy, wait, *bit);
    }
    port_outb(data, 0);

    int reads = 0;
    while ((port_inb(stat) & STAT_CONF_DONE) == 0) {
        if (++reads >= CONF_DONE_POLLS) {
            fprintf(stderr, "data_download_from_mem_direct(): Timeout, ");
            fprintf(stderr, "CONF_DONE no response.\n");
            return 1;
        }
    }

    for (int k = 0; k < CLOSING_CLOCKS; ++k) {
        port_outb(control, CTRL_IDLE);
        port_outb(dummy, 0);
        delay_writes(dummy, wait);
        port_outb(control, CTRL_DCLK_HIGH);
        delay_writes(dummy, wait);
    }
    port_outb(control, CTRL_IDLE);
    return 0;
}

// Reads the next 3-character field and sends its value, bit 0 first.  A
// read that finds the end of the file leaves the field as it was, so the
// previous value goes out again (0 when nothing was read yet).
static void file_send_value(FILE *in, char field[4], unsigned short data, unsigned short control,
                            unsigned short dummy, int wait)
{
    char line[4] = {'\0', '\0', '\0', '\0'};
    if (fgets(line, sizeof line, in) != NULL)
        memcpy(field, line, sizeof line);
    field[3] = '\0';
    unsigned char value = (unsigned char)(strtol(field, NULL, 10) & 0xFF);
    for (int b = 0; b < 8; ++b)
        clock_bit(data, control, dummy, wait, (unsigned char)((value >> b) & 1));
    fgetc(in);  // the comma after the field
}

int data_download_from_file_direct(void)
{
    unsigned short data = port_data();
    unsigned short control = port_control();
    unsigned short stat = port_status();
    unsigned short dummy = (unsigned short)status.dummy_port_address;
    int wait = status.wait_count;
    FILE *in = status.input_file;

    if (in == NULL)
        return 1;

    int values = count_data > 0 ? count_data : 0;
    char field[4] = {'\0', '\0', '\0', '\0'};
    int bar = status.progress_bar == 1;
    progress_state progress = {0, 0, 0};
    if (bar)
        progress_start(&progress, (unsigned long)values);

    int full_lines = values / VALUES_PER_LINE;
    for (int line = 0; line < full_lines; ++line) {
        for (int k = 0; k < VALUES_PER_LINE; ++k) {
            if (bar)
                progress_unit(&progress);
            file_send_value(in, field, data, control, dummy, wait);
        }
        if (fgetc(in) == '\r')  // CR LF or LF
            fgetc(in);
    }
    int rest = values % VALUES_PER_LINE;
    for (int k = 0; k < rest; ++k) {
        if (bar)
            progress_unit(&progress);
        file_send_value(in, field, data, control, dummy, wait);
    }
    port_outb(data, 0);

    // Done: CONF_DONE high with nSTATUS high.
    int reads = 0;
    while ((port_inb(stat) & (STAT_NSTATUS_LOW | STAT_CONF_DONE)) != STAT_CONF_DONE) {
        if (++reads >= CONF_DONE_POLLS) {
            fprintf(stderr, "data_download_from_file_direct(): Timeout, ");
            fprintf(stderr, "CONF_DONE no response.\n");
            return 1;
        }
    }

    for (int k = 0; k < CLOSING_CLOCKS; ++k) {
        port_outb(control, CTRL_IDLE);
        delay_writes(dummy, wait);
        port_outb(control, CTRL_DCLK_HIGH);
        delay_writes(dummy, wait);
    }
    port_outb(control, CTRL_IDLE);
    return 0;
}
