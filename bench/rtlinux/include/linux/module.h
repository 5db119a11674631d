/*
 * Linux 2.4 loadable-module interface, as a module sees it.
 *
 * A module defines int init_module(void) and void cleanup_module(void);
 * the loader (insmod) resolves its undefined symbols against the symbols the
 * kernel and the loaded RTLinux modules export, and supplies __this_module,
 * the module's own record.  Every object built with MODULE carries the
 * module information item "kernel_version=<release>" in its .modinfo
 * section; insmod refuses an object built for another kernel.
 */
#ifndef _LINUX_MODULE_H
#define _LINUX_MODULE_H

#include "version.h"

struct module;
extern struct module __this_module;
#define THIS_MODULE (&__this_module)

/* As in Linux: an unreferenced static array without a `used` attribute, so
 * an optimising compiler may drop it; the module has to keep it itself. */
#ifdef MODULE
static const char __module_kernel_version[] __attribute__((section(".modinfo"))) =
    "kernel_version=" UTS_RELEASE;
#endif

/* A module that exports nothing: keeps its globals out of the kernel's
 * symbol table (without it, insmod exports every global of the module). */
#ifdef MODULE
#define EXPORT_NO_SYMBOLS __asm__(".section __ksymtab\n.previous")
#else
#define EXPORT_NO_SYMBOLS
#endif

#endif
