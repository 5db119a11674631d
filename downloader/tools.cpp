// Parameter listing of psload (verbose mode).
#include "psload.h"

#include <cstdio>

void print_param(void)
{
    printf("Parameters:\n");
    printf("  Program name              : %s \n", status.program_name);
    if (status.verbose == 1)
        printf("  Verbose mode              : ON \n");
    else
        printf("  Verbose mode              : OFF \n");
    printf("  Input file name           : %s \n", status.input_file_name);
    printf("  Parallel port base address: 0x%X \n", status.parallel_port_address);
    printf("  Dummy port address        : 0x%X \n", status.dummy_port_address);
    printf("  Wait counts               : %d loops\n", status.wait_count);
    if (status.progress_bar == 1)
        printf("  Progress bar              : ON \n");
    else
        printf("  Progress bar              : OFF \n");

    // A mode outside the known ones gets no line here; the phase that uses
    // it reports the error.
    if (status.file_read_mode == FILE_TO_MEMORY)
        printf("  File read mode            : Use memory (File -> Mem -> FPGA)\n");
    else if (status.file_read_mode == FILE_SEQUENTIAL)
        printf("  File read mode            : Not use memory (File -> FPGA)\n");

    if (status.port_access_mode == DIRECT_ACCESS)
        printf("  I/O port access mode      : Direct access\n");
    else if (status.port_access_mode == LP_DRIVER)
        printf("  I/O port access mode      : Use lp driver\n");
}
