// placeholder
#include "psload.h"
#include <cstdlib>
void usage(void) { std::exit(8); }
void help_message(void) { std::exit(8); }
