/* Linux 2.4's module system calls for busybox's 2.4 module loader
 * (modutils/modutils-24.c), which calls them as C functions.  The C
 * libraries of 2.4's time had them; musl never had, since Linux 2.6 dropped
 * both calls (the kernel took over relocation and symbol lookup).
 *
 * On 2.4 insmod does the linker's work in user space: it asks the kernel's
 * exported symbols with query_module(QM_SYMBOLS), reserves the module's
 * kernel memory with create_module, relocates the object for that address
 * and hands it over with init_module (musl has that one, and its extra third
 * argument is ignored by 2.4's two-argument call).
 *
 * The numbers are i386's, fixed since Linux 2.0: 127 and 167. */
#include <stddef.h>
#include <unistd.h>

#define LINUX24_CREATE_MODULE 127
#define LINUX24_QUERY_MODULE 167

/* The kernel address of the module's memory.  A kernel address
 * (0xC0000000 and up on i386) stays below the range syscall() takes for a
 * negated error number, so errors still come back as -1 with errno set. */
unsigned long create_module(const char *name, size_t size)
{
    return (unsigned long)syscall(LINUX24_CREATE_MODULE, name, size);
}

int query_module(const char *name, int which, void *buf, size_t bufsize, size_t *ret)
{
    return (int)syscall(LINUX24_QUERY_MODULE, name, which, buf, bufsize, ret);
}
