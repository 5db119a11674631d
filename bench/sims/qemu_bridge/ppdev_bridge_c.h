/* The bridge's C entry points, for the preloaded shim (preload_shim.c) that
 * stands in for a ppdev node inside QEMU.  One node at a time. */
#ifndef BENCH_QEMU_BRIDGE_PPDEV_BRIDGE_C_H
#define BENCH_QEMU_BRIDGE_PPDEV_BRIDGE_C_H

#ifdef __cplusplus
extern "C" {
#endif

/* The environment variable that names the node the shim takes over. */
#define LABTOOLS_PPBRIDGE_DEVICE_VAR "LABTOOLS_PPBRIDGE_DEVICE"

/* The node is opened: sets the bench up from the environment.  0, or -1
 * with errno (EINVAL for bad options, told on standard error; EBUSY when
 * the node is open already). */
int labtools_ppbridge_open(void);

/* One ppdev ioctl: 0, or -1 with errno. */
int labtools_ppbridge_ioctl(unsigned long request, void *arg);

/* The node is closed: the records are written. */
void labtools_ppbridge_close(void);

#ifdef __cplusplus
}
#endif

#endif
