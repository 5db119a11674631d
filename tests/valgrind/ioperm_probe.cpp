// Exit status 0 when this process may obtain access to the parallel port's
// registers (the tests then stay away from the real programs' download
// paths, which would drive real hardware), 1 when the kernel refuses it.
#include <sys/io.h>

int main()
{
    if (ioperm(0x378, 3, 1) != 0)
        return 1;
    ioperm(0x378, 3, 0);
    return 0;
}
