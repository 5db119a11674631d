/* Makes one system call that Linux 2.4 does not have (sched_getaffinity,
 * from 2.5.8), for the system-call check's own negative case. */
#define _GNU_SOURCE
#include <sched.h>

int main(void)
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? 0 : 1;
}
