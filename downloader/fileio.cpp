// placeholder
#include "psload.h"
int file_read(void) { return 1; }
int settle_all(void) { return 0; }
int ttf_file_count_data_size(void) { return 0; }
int ttf_file_read_to_mem(void) { return 1; }
