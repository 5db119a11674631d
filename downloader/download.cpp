// placeholder
#include "psload.h"
int download_data(void) { return 1; }
int download_direct_access(void) { return 1; }
int download_use_lpdriver(void) { return 1; }
int init_port_direct(void) { return 1; }
int init_sequense_direct(void) { return 1; }
int data_download_from_mem_direct(void) { return 1; }
int data_download_from_file_direct(void) { return 1; }
