// psload: configures an FPGA in passive-serial mode over the PC parallel port.
//
// The run is four phases in a fixed order: read the command line, load the
// TTF data file, download it to the FPGA, release what the load acquired.
// Each phase reports its own failures; a failed load or download does not
// stop the later phases, and the exit status is 0 unless a phase ends the
// process itself (usage, help, unopenable file: status 8).
#include "psload.h"

download_status status;                 // the run settings
int count_data;                         // number of values in the TTF data file
unsigned char *parallel_data;           // bit image, one byte per configuration bit

int main(int argc, char **argv)
{
    // Every message goes out as it is printed.  psload may be stopped by
    // Ctrl-C, SIGTERM or SIGHUP at any point; with a log file or a pipe as
    // standard output, a buffer would die with the process and take the log
    // of the run with it.  (The signal handler of the download phase cannot
    // flush stdio safely; with nothing buffered it has nothing to flush.)
    // The messages are few and short next to the port accesses, so writing
    // each at once costs nothing that matters.
    setvbuf(stdout, NULL, _IONBF, 0);

    options_parse(argc, argv);
    file_read();
    download_data();
    settle_all();
    return 0;
}
