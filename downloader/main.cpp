// placeholder: replaced by the entry of the downloader
#include "psload.h"
download_status status;
int count_data;
unsigned char *parallel_data;
int main(int argc, char **argv) { options_parse(argc, argv); file_read(); download_data(); settle_all(); return 0; }
