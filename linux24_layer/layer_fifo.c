/*
 * RTLinux's real-time FIFOs as the character devices /dev/rtf0, /dev/rtf1,
 * ... (major 150, minor = FIFO number), with RTLinux's rules:
 *
 * Module side (any context: load, the FIFO's handler, a thread, an
 * interrupt handler; never waits):
 *   __rtf_create   a FIFO of `size` bytes; -ENODEV past the last number,
 *                  -EBUSY when it exists, -ENOMEM;
 *   rtf_destroy    -EINVAL while a Linux process has it open (or it does
 *                  not exist);
 *   rtf_put        all `count` bytes or nothing: -ENOSPC when less room is
 *                  left;
 *   rtf_get        min(count, bytes present), consumed;
 *   rtf_create_handler  a routine called, in the Linux process's context,
 *                  after each read or write from the Linux side (for a
 *                  write: once all its bytes are in).
 * Linux side (the device):
 *   open           -ENODEV when the FIFO does not exist; -EACCES when
 *                  another process has it open (one process at a time);
 *                  takes a use count on the module that created the FIFO,
 *                  so that module cannot be unloaded while it is open;
 *   read           with O_NONBLOCK an empty FIFO reads 0 bytes; otherwise
 *                  waits for the first byte; then what is there, up to
 *                  count;
 *   write          waits until the whole write fits when it is no larger
 *                  than the FIFO (O_NONBLOCK: -EAGAIN instead), so a
 *                  record written in one write() arrives whole; a larger
 *                  one goes in as room comes;
 *   poll           readable when not empty, writable when not full.
 *
 * A FIFO's bytes are guarded by its spinlock with interrupts masked: the
 * module puts from interrupt handlers.  User memory is copied through a
 * small buffer on the stack, outside the lock (a copy may fault and sleep).
 */
#include <linux/config.h>
#define __NO_VERSION__
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <asm/uaccess.h>

#include "layer.h"

#define RTF_MAJOR 150
#define RTF_MAX_FIFO 64
#define RTF_MAX_SIZE (128 * 1024)   /* kmalloc's largest block */
#define CHUNK 256

struct rtfifo {
    int allocated;
    char *base;
    int size;               /* bytes of the buffer */
    int start;              /* first byte present */
    int len;                /* bytes present */
    spinlock_t lock;
    int (*handler)(unsigned int fifo);
    struct module *creator;
    int user_open;          /* opens from the Linux side */
    struct task_struct *opener;
    wait_queue_head_t wait; /* Linux readers and writers */
};

static struct rtfifo fifos[RTF_MAX_FIFO];
static int registered;

/* Copies up to n bytes out of / into the ring; the lock is held. */
static int ring_take(struct rtfifo *f, char *to, int n)
{
    int done = 0;
    if (n > f->len)
        n = f->len;
    while (done < n) {
        int piece = f->size - f->start;
        if (piece > n - done)
            piece = n - done;
        memcpy(to + done, f->base + f->start, piece);
        f->start = (f->start + piece) % f->size;
        f->len -= piece;
        done += piece;
    }
    return done;
}

static int ring_add(struct rtfifo *f, const char *from, int n)
{
    int done = 0;
    if (n > f->size - f->len)
        n = f->size - f->len;
    while (done < n) {
        int end = (f->start + f->len) % f->size;
        int piece = f->size - end;
        if (piece > n - done)
            piece = n - done;
        memcpy(f->base + end, from + done, piece);
        f->len += piece;
        done += piece;
    }
    return done;
}

int __rtf_create(unsigned int minor, int size, struct module *creator)
{
    struct rtfifo *f;
    char *base;

    if (minor >= RTF_MAX_FIFO)
        return -ENODEV;
    f = &fifos[minor];
    if (f->allocated)
        return -EBUSY;
    if (size <= 0 || size > RTF_MAX_SIZE)
        return -ENOMEM;
    base = kmalloc(size, GFP_KERNEL);
    if (!base)
        return -ENOMEM;
    spin_lock_init(&f->lock);
    init_waitqueue_head(&f->wait);
    f->base = base;
    f->size = size;
    f->start = f->len = 0;
    f->handler = 0;
    f->creator = creator;
    f->user_open = 0;
    f->opener = 0;
    f->allocated = 1;
    return 0;
}

int rtf_destroy(unsigned int minor)
{
    struct rtfifo *f;
    unsigned long flags;
    char *base;

    if (minor >= RTF_MAX_FIFO)
        return -ENODEV;
    f = &fifos[minor];
    if (f->user_open || !f->allocated)
        return -EINVAL;
    spin_lock_irqsave(&f->lock, flags);
    f->allocated = 0;
    f->handler = 0;
    f->creator = 0;
    base = f->base;
    f->base = 0;
    spin_unlock_irqrestore(&f->lock, flags);
    kfree(base);
    return 0;
}

int rtf_create_handler(unsigned int minor, int (*handler)(unsigned int fifo))
{
    if (minor >= RTF_MAX_FIFO || !fifos[minor].allocated || !handler)
        return -EINVAL;
    fifos[minor].handler = handler;
    return 0;
}

/* FIFO `minor` with its lock taken, or NULL with *err set: -ENODEV for a
 * number beyond the table, -EINVAL for a FIFO nobody created.  The real-time
 * side's calls come from interrupt handlers and threads alike, so the lock
 * is always taken with interrupts off. */
static struct rtfifo *fifo_lock(unsigned int minor, unsigned long *flags, int *err)
{
    struct rtfifo *f;

    if (minor >= RTF_MAX_FIFO) {
        *err = -ENODEV;
        return NULL;
    }
    f = &fifos[minor];
    spin_lock_irqsave(&f->lock, *flags);
    if (!f->allocated) {
        spin_unlock_irqrestore(&f->lock, *flags);
        *err = -EINVAL;
        return NULL;
    }
    return f;
}

int rtf_put(unsigned int minor, void *buf, int count)
{
    struct rtfifo *f;
    unsigned long flags;
    int n;

    f = fifo_lock(minor, &flags, &n);
    if (!f)
        return n;
    if (count < 0 || f->size - f->len < count) {
        spin_unlock_irqrestore(&f->lock, flags);
        return -ENOSPC;
    }
    n = ring_add(f, buf, count);
    spin_unlock_irqrestore(&f->lock, flags);
    if (f->user_open)
        wake_up_interruptible(&f->wait);
    return n;
}

int rtf_get(unsigned int minor, void *buf, int count)
{
    struct rtfifo *f;
    unsigned long flags;
    int n;

    f = fifo_lock(minor, &flags, &n);
    if (!f)
        return n;
    n = count > 0 ? ring_take(f, buf, count) : 0;
    spin_unlock_irqrestore(&f->lock, flags);
    if (n > 0 && f->user_open)
        wake_up_interruptible(&f->wait);
    return n;
}

/* --- the Linux side --------------------------------------------------- */

static int fifo_len(struct rtfifo *f)
{
    unsigned long flags;
    int n;
    spin_lock_irqsave(&f->lock, flags);
    n = f->len;
    spin_unlock_irqrestore(&f->lock, flags);
    return n;
}

static int fifo_room(struct rtfifo *f)
{
    unsigned long flags;
    int n;
    spin_lock_irqsave(&f->lock, flags);
    n = f->size - f->len;
    spin_unlock_irqrestore(&f->lock, flags);
    return n;
}

static int dev_open(struct inode *inode, struct file *filp)
{
    unsigned int minor = MINOR(inode->i_rdev);
    struct rtfifo *f;

    if (minor >= RTF_MAX_FIFO || !fifos[minor].allocated)
        return -ENODEV;
    f = &fifos[minor];
    if (f->user_open && f->opener != current)
        return -EACCES;
    f->opener = current;
    f->user_open++;
    if (f->creator)
        __MOD_INC_USE_COUNT(f->creator);
    return 0;
}

static int dev_release(struct inode *inode, struct file *filp)
{
    struct rtfifo *f = &fifos[MINOR(inode->i_rdev)];

    f->user_open--;
    if (f->user_open == 0)
        f->opener = 0;
    if (f->creator)
        __MOD_DEC_USE_COUNT(f->creator);
    return 0;
}

static loff_t dev_llseek(struct file *filp, loff_t offset, int origin)
{
    return -ESPIPE;
}

static ssize_t dev_read(struct file *filp, char *buf, size_t count, loff_t *ppos)
{
    unsigned int minor = MINOR(filp->f_dentry->d_inode->i_rdev);
    struct rtfifo *f = &fifos[minor];
    char bounce[CHUNK];
    unsigned long flags;
    ssize_t done = 0;

    if (count == 0)
        return 0;
    if (fifo_len(f) == 0) {
        if (filp->f_flags & O_NONBLOCK)
            return 0;
        if (wait_event_interruptible(f->wait, fifo_len(f) > 0))
            return -ERESTARTSYS;
    }
    while ((size_t)done < count) {
        int want = count - done > CHUNK ? CHUNK : (int)(count - done);
        int n;
        spin_lock_irqsave(&f->lock, flags);
        n = ring_take(f, bounce, want);
        spin_unlock_irqrestore(&f->lock, flags);
        if (n == 0)
            break;
        if (copy_to_user(buf + done, bounce, n))
            return -EFAULT;
        done += n;
    }
    wake_up_interruptible(&f->wait);
    if (done && f->handler) {
        int r = f->handler(minor);
        if (r < 0)
            return r;
    }
    return done;
}

static ssize_t dev_write(struct file *filp, const char *buf, size_t count, loff_t *ppos)
{
    unsigned int minor = MINOR(filp->f_dentry->d_inode->i_rdev);
    struct rtfifo *f = &fifos[minor];
    char bounce[CHUNK];
    unsigned long flags;
    ssize_t done = 0;
    /* A write that fits waits until it fits whole. */
    int need = count <= (size_t)f->size ? (int)count : 1;

    while ((size_t)done < count) {
        while (fifo_room(f) < need) {
            if (filp->f_flags & O_NONBLOCK)
                return done ? done : -EAGAIN;
            if (wait_event_interruptible(f->wait, fifo_room(f) >= need))
                return done ? done : -ERESTARTSYS;
        }
        while ((size_t)done < count) {
            int room = fifo_room(f);
            int n = count - done > CHUNK ? CHUNK : (int)(count - done);
            if (room == 0)
                break;
            if (n > room)
                n = room;
            if (copy_from_user(bounce, buf + done, n))
                return done ? done : -EFAULT;
            spin_lock_irqsave(&f->lock, flags);
            n = ring_add(f, bounce, n);
            spin_unlock_irqrestore(&f->lock, flags);
            done += n;
        }
        need = 1;
    }
    wake_up_interruptible(&f->wait);
    if (f->handler) {
        int r = f->handler(minor);
        if (r < 0)
            return r;
    }
    return done;
}

static unsigned int dev_poll(struct file *filp, poll_table *wait)
{
    struct rtfifo *f = &fifos[MINOR(filp->f_dentry->d_inode->i_rdev)];
    unsigned int mask = 0;

    poll_wait(filp, &f->wait, wait);
    if (fifo_len(f) > 0)
        mask |= POLLIN | POLLRDNORM;
    if (fifo_room(f) > 0)
        mask |= POLLOUT | POLLWRNORM;
    return mask;
}

static struct file_operations rtf_fops = {
    owner:   THIS_MODULE,
    llseek:  dev_llseek,
    read:    dev_read,
    write:   dev_write,
    poll:    dev_poll,
    open:    dev_open,
    release: dev_release,
};

int layer_fifo_init(void)
{
    if (register_chrdev(RTF_MAJOR, "rtf", &rtf_fops)) {
        printk(KERN_ERR "rtl_layer: major %d is taken: no RT-FIFOs\n", RTF_MAJOR);
        return -EIO;
    }
    registered = 1;
    return 0;
}

void layer_fifo_cleanup(void)
{
    unsigned int i;

    for (i = 0; i < RTF_MAX_FIFO; ++i)
        if (fifos[i].allocated) {
            printk(KERN_WARNING "rtl_layer: RT-FIFO %u was not destroyed\n", i);
            fifos[i].user_open = 0;
            rtf_destroy(i);
        }
    if (registered)
        unregister_chrdev(RTF_MAJOR, "rtf");
    registered = 0;
}

EXPORT_SYMBOL(__rtf_create);
EXPORT_SYMBOL(rtf_destroy);
EXPORT_SYMBOL(rtf_create_handler);
EXPORT_SYMBOL(rtf_put);
EXPORT_SYMBOL(rtf_get);
