// psload: passive-serial FPGA configuration over the PC parallel port.
//
// Shared declarations of the downloader: the settings record, the globals
// that live for the whole run, and the functions of each phase
// (parse -> load -> download -> release).
#ifndef PSLOAD_H
#define PSLOAD_H

#include <cstdio>

// file_read_mode
#define FILE_TO_MEMORY  0   // file -> memory (bit image) -> port
#define FILE_SEQUENTIAL 1   // file -> port, decoded while sending

// port_access_mode
#define DIRECT_ACCESS   0   // ioperm + inb/outb from user space
#define LP_DRIVER       1   // through the lp driver (not provided)

#define PSLOAD_NAME_SIZE 256   // room for 255 characters and the NUL

typedef struct {
    int verbose;                                   // 1 = verbose
    char program_name[PSLOAD_NAME_SIZE];           // argv[0] as typed
    char input_file_name[PSLOAD_NAME_SIZE];        // TTF data file
    FILE *input_file;                              // open TTF data file
    unsigned int parallel_port_address;            // base I/O address (data register)
    unsigned int dummy_port_address;               // port written for delays
    int wait_count;                                // delay writes per DCLK half period
    int progress_bar;                              // 1 = draw the progress bar
    int file_read_mode;                            // FILE_TO_MEMORY / FILE_SEQUENTIAL
    int port_access_mode;                          // DIRECT_ACCESS / LP_DRIVER
} download_status;

// main
extern download_status status;
extern int count_data;                  // number of values in the TTF data file
extern unsigned char *parallel_data;    // bit image: one byte (0 or 1) per configuration bit

// options
int initialize_defaults(void);
int options_parse(int argc, char **argv);

// tools
void print_param(void);

// help (both end the process with exit status 8)
[[noreturn]] void usage(void);
[[noreturn]] void help_message(void);

// fileio
int file_read(void);
int settle_all(void);
int ttf_file_count_data_size(void);
int ttf_file_read_to_mem(void);

// download
int download_data(void);
int download_direct_access(void);
int download_use_lpdriver(void);
int init_port_direct(void);
int init_sequense_direct(void);
int data_download_from_mem_direct(void);
int data_download_from_file_direct(void);

#endif
