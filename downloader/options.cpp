// placeholder
#include "psload.h"
int initialize_defaults(void) { return 0; }
int options_parse(int, char **) { return 0; }
