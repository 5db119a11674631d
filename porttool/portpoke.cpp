// portpoke: read or write one 16-bit I/O port from the shell.
//
//   portpoke r PORT          prints the word at PORT as four hex digits
//   portpoke w PORT VALUE    writes the low 16 bits of VALUE to PORT
//
// PORT and VALUE are always hexadecimal (300 is port 0x300).  A 16-bit access
// covers PORT and PORT + 1, so access is asked for two ports.  The permission
// lapses when the process ends, right after the one access, so it is never
// given back explicitly.
#include <cstdio>

#include "hex_number.h"
#include "portio.h"

// Converts one number word (see hex_number.h: sscanf("%X") as the lab PC's
// C library does it, numbers beyond 32 bits saturating, a 0x prefix
// without digits refused).  A word that holds
// no number at all is refused: acting on an undefined port or value could
// write to any device on the bus.
static int number_from_word(const char *word, unsigned int *number)
{
    return hex_number_from_word(word, number);
}

int main(int argc, char **argv)
{
    unsigned int port = 0;
    unsigned int value = 0;

    if (argc > 4 || argc < 2)
        return -1;

    if (argv[1][0] == 'r') {
        if (argc != 3)
            return -1;
        // A malformed word is refused silently, like every other malformed
        // command line of this tool: the only messages it has are about the
        // operation and the port permission.
        if (!number_from_word(argv[2], &port))
            return -1;
        if (port_permission(port, 2, 1) != 0) {
            std::fprintf(stderr, "I/O Port Error, Check port I/O address %X.\n", port);
            return -1;
        }
        value = port_inw(static_cast<unsigned short>(port));
        std::printf("%04X\n", value);
        return 0;
    }

    if (argv[1][0] == 'w') {
        if (argc != 4)
            return -1;
        if (!number_from_word(argv[2], &port))
            return -1;
        if (!number_from_word(argv[3], &value))
            return -1;
        if (port_permission(port, 2, 1) != 0) {
            std::fprintf(stderr, "I/O Port Error, Check port I/O address.\n");
            return -1;
        }
        port_outw(static_cast<unsigned short>(port), static_cast<unsigned short>(value & 0xFFFF));
        return 0;
    }

    std::printf("First argument must be 'r' or 'w'.\n");
    return -1;
}
