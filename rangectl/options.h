// rangectl's command line.
#ifndef RANGECTL_OPTIONS_H
#define RANGECTL_OPTIONS_H

#include "rangectl.h"

extern const char rangectl_usage_text[];

// Fills *settings from the command line.  Options may stand before or after
// the action's words.  Returns 0, EXIT_USAGE (the message and the usage
// written), -1 for the help text or -2 for the version.
int options_parse(int argc, char **argv, struct rangectl_settings *settings);

#endif
