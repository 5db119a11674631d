// placeholder
#include "psload.h"
void print_param(void) {}
