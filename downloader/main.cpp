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
    options_parse(argc, argv);
    file_read();
    download_data();
    settle_all();
    return 0;
}
