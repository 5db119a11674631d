/*
 * Linux 2.4 I/O-region bookkeeping.  Drivers register the port ranges they
 * drive so that two drivers never work the same ports.
 */
#ifndef _LINUX_IOPORT_H
#define _LINUX_IOPORT_H

struct resource {
    const char *name;
    unsigned long start, end;
    unsigned long flags;
    struct resource *parent, *sibling, *child;
};

/* The root of the I/O-port space. */
extern struct resource ioport_resource;

/* 0 when none of the n ports from start is registered, -EBUSY otherwise. */
int __check_region(struct resource *parent, unsigned long start, unsigned long n);
/* Registers the ports under name; null when any of them is taken. */
struct resource *__request_region(struct resource *parent, unsigned long start,
                                  unsigned long n, const char *name);
/* Drops the registration of exactly that range. */
void __release_region(struct resource *parent, unsigned long start, unsigned long n);

#define check_region(start, n) __check_region(&ioport_resource, (start), (n))
#define request_region(start, n, name) __request_region(&ioport_resource, (start), (n), (name))
#define release_region(start, n) __release_region(&ioport_resource, (start), (n))

#endif
