/* Stands in for a ppdev node inside QEMU, loaded with LD_PRELOAD.
 *
 * The node named by LABTOOLS_PPBRIDGE_DEVICE need not exist: opening it (by
 * any of the C library's open entry points a program may be compiled to
 * call) gives a descriptor of /dev/null, and the ioctls on that descriptor
 * go to the bench's bridge instead of the kernel.  Every other path and
 * descriptor goes to the C library untouched. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <stdlib.h>
#include <sys/types.h>

#include "ppdev_bridge_c.h"

/* Declared here rather than through <fcntl.h> and <sys/ioctl.h>, whose
 * declarations may carry attributes or fortify wrappers. */
#define BRIDGE_O_RDWR 02
#define BRIDGE_O_CREAT 0100
#define BRIDGE_O_TMPFILE 020200000
#define BRIDGE_O_CLOEXEC 02000000
#define BRIDGE_AT_FDCWD (-100)

static int bridge_fd = -1;

typedef int (*open_fn)(const char *, int, ...);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);

static void *next(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

static int is_bridge_path(const char *path)
{
    const char *device = getenv(LABTOOLS_PPBRIDGE_DEVICE_VAR);
    return path != NULL && device != NULL && device[0] != '\0' && strcmp(path, device) == 0;
}

static int open_bridge(void)
{
    if (labtools_ppbridge_open() != 0)
        return -1;
    open_fn real_open = (open_fn)next("open");
    int fd = real_open ? real_open("/dev/null", BRIDGE_O_RDWR | BRIDGE_O_CLOEXEC) : -1;
    if (fd < 0) {
        int e = errno;
        labtools_ppbridge_close();
        errno = e;
        return -1;
    }
    bridge_fd = fd;
    return fd;
}

static mode_t mode_arg(int flags, va_list ap)
{
    if ((flags & BRIDGE_O_CREAT) || (flags & BRIDGE_O_TMPFILE) == BRIDGE_O_TMPFILE)
        return (mode_t)va_arg(ap, unsigned int);
    return 0;
}

#define OPEN_LIKE(name)                                                                                       \
    int name(const char *path, int flags, ...)                                                                \
    {                                                                                                         \
        va_list ap;                                                                                           \
        va_start(ap, flags);                                                                                  \
        mode_t mode = mode_arg(flags, ap);                                                                    \
        va_end(ap);                                                                                           \
        if (is_bridge_path(path))                                                                             \
            return open_bridge();                                                                             \
        open_fn real = (open_fn)next(#name);                                                                  \
        if (!real) {                                                                                          \
            errno = ENOSYS;                                                                                   \
            return -1;                                                                                        \
        }                                                                                                     \
        return real(path, flags, mode);                                                                       \
    }

#define OPENAT_LIKE(name)                                                                                     \
    int name(int dirfd, const char *path, int flags, ...)                                                     \
    {                                                                                                         \
        va_list ap;                                                                                           \
        va_start(ap, flags);                                                                                  \
        mode_t mode = mode_arg(flags, ap);                                                                    \
        va_end(ap);                                                                                           \
        if ((dirfd == BRIDGE_AT_FDCWD || (path && path[0] == '/')) && is_bridge_path(path))                   \
            return open_bridge();                                                                             \
        int (*real)(int, const char *, int, ...) = (int (*)(int, const char *, int, ...))next(#name);         \
        if (!real) {                                                                                          \
            errno = ENOSYS;                                                                                   \
            return -1;                                                                                        \
        }                                                                                                     \
        return real(dirfd, path, flags, mode);                                                                \
    }

OPEN_LIKE(open)
OPEN_LIKE(open64)
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

/* The fortified forms, which take no mode. */
int __open_2(const char *path, int flags)
{
    return open(path, flags);
}

int __open64_2(const char *path, int flags)
{
    return open64(path, flags);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    return openat(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    return openat64(dirfd, path, flags);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd >= 0 && fd == bridge_fd)
        return labtools_ppbridge_ioctl(request, arg);
    ioctl_fn real = (ioctl_fn)next("ioctl");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}

int close(int fd)
{
    if (fd >= 0 && fd == bridge_fd) {
        bridge_fd = -1;
        labtools_ppbridge_close();
    }
    close_fn real = (close_fn)next("close");
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd);
}
