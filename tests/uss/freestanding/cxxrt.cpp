// C++ that needs a runtime the kernel does not have: a global object with a
// constructor and a destructor (insmod runs neither; the destructor is
// registered through __cxa_atexit) and operator new.  The freestanding
// check must reject it.
extern "C" {
#include <linux/module.h>
#include <linux/kernel.h>
}

typedef __SIZE_TYPE__ size_t;
void *operator new(size_t);

struct Counter {
    int n;
    Counter() : n(printk("ready\n")) {}
    ~Counter() { printk("gone\n"); }
};
static Counter counter;
int *kept;

extern "C" int init_module(void)
{
    kept = new int(counter.n);
    return 0;
}
extern "C" void cleanup_module(void) {}
