/*
 * RTLinux 3.1 real-time FIFOs.  FIFO n is the device /dev/rtfn on the Linux
 * side.  The real-time side puts and gets without blocking; Linux processes
 * read and write the device.
 */
#ifndef __RTL_FIFO_H__
#define __RTL_FIFO_H__

struct module;
extern struct module __this_module;

/* Creates FIFO fifo with a buffer of size bytes, owned by the module. */
int __rtf_create(unsigned int fifo, int size, struct module *owner);
#define rtf_create(fifo, size) __rtf_create((fifo), (size), &__this_module)

/* Removes the FIFO, and its handler with it. */
int rtf_destroy(unsigned int fifo);

/* handler(fifo) runs on the Linux side, inside the writer's write(), after
 * each write to the FIFO by a Linux process. */
int rtf_create_handler(unsigned int fifo, int (*handler)(unsigned int fifo));

/* Copies and removes up to count bytes; returns how many it copied. */
int rtf_get(unsigned int fifo, void *buf, int count);

/* All or nothing: copies the count bytes and returns count, or, when the
 * free space is smaller, writes nothing and returns -ENOSPC. */
int rtf_put(unsigned int fifo, void *buf, int count);

#endif
