/* The first and only process of the test guest: a Linux 2.4 kernel booted
 * under QEMU with a RAM disk.  There is no shell that starts on 2.4, so this
 * program is the guest's /init itself, built like the lab PC's programs
 * (static, musl, i386).
 *
 * It reads /commands, one command per line:
 *     UID PROGRAM ARG...        (words separated by single blanks)
 * runs each as a child with user and group UID, standard input /dev/null and
 * standard output and error to files, and sends, on the second serial port
 * (/dev/ttyS1, set to raw so that no byte is changed), one record per command:
 *     @run N\n
 *     @out LENGTH\n  <exactly LENGTH bytes of standard output>
 *     @err LENGTH\n  <exactly LENGTH bytes of standard error>
 *     @status exit CODE\n   or   @status signal NUMBER\n
 * and "@done\n" after the last.  Then it restarts the machine: with
 * -no-reboot, QEMU ends.
 *
 * A line "live UID PROGRAM ARG..." runs the command with its standard output
 * and error on pipes and sends them as they come, in as many @out and @err
 * records as it takes (each with its own length), before the @status: for
 * a command that runs until the machine is stopped, such as a watch
 * without a count.
 *
 * A line "mark N" (N from 1 to 255) runs nothing and sends nothing: it reads
 * the parallel port's status register once and then its data register
 * (0x378) N + 1 times in a row, which the bench's bridge behind QEMU's port
 * takes as the start of its session N (a device set up anew for the next
 * command).  psload never reads the data register; the status read keeps
 * the reads apart from any data-register read made before (the kernel's
 * probe of the port at boot makes one).
 *
 * /proc is mounted before the first command.
 *
 * A line "dmesg" runs no program: its record carries, as standard output,
 * the kernel's log buffer as read (and cleared) with syslog(2) action 4,
 * "<N>" level prefixes included, so that the next "dmesg" shows only what
 * came after.  (The guests' busybox has no dmesg.)
 *
 * Before each command it reads port 0x37B (the parallel port's EPP address
 * register, which neither psload nor the kernel's boot-time probe touch), so
 * that a trace of the parallel port falls apart into one piece per command.
 */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/io.h>
#include <sys/klog.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#define MAX_WORDS 16
#define MARK_PORT 0x37B
#define DATA_PORT 0x378

static int results = -1;

static void put(const char *text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(results, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= (size_t)n;
    }
}

static void put_text(const char *text)
{
    put(text, strlen(text));
}

static void put_file(const char *tag, const char *path)
{
    static char buf[65536];
    char head[64];
    ssize_t n = 0;
    int fd = open(path, O_RDONLY);
    if (fd >= 0) {
        n = read(fd, buf, sizeof buf);
        close(fd);
    }
    if (n < 0)
        n = 0;
    snprintf(head, sizeof head, "@%s %ld\n", tag, (long)n);
    put_text(head);
    put(buf, (size_t)n);
}

static void mark_session(const char *number)
{
    int n = 0;
    if (sscanf(number, "%d", &n) != 1 || n < 1 || n > 255)
        return;
    if (ioperm(DATA_PORT, 2, 1) != 0)
        return;
    (void)inb(DATA_PORT + 1);
    for (int i = 0; i <= n; ++i)
        (void)inb(DATA_PORT);
    ioperm(DATA_PORT, 2, 0);
}

static void kernel_log(int number)
{
    static char buf[65536];
    char head[64];
    int n = klogctl(4, buf, sizeof buf);
    snprintf(head, sizeof head, "@run %d\n@out %d\n", number, n > 0 ? n : 0);
    put_text(head);
    if (n > 0)
        put(buf, (size_t)n);
    if (n < 0)
        put_text("@err 17\nsyslog(2) failed\n@status exit 1\n");
    else
        put_text("@err 0\n@status exit 0\n");
}

/* Sends what the live command writes on its two pipes as it comes, until
 * both are closed. */
static void put_live(int out, int err)
{
    static char buf[4096];
    struct pollfd p[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    const char *tags[2] = {"out", "err"};
    int open_ends = 2;
    while (open_ends > 0) {
        if (poll(p, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !p[i].revents)
                continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(p[i].fd);
                p[i].fd = -1;
                --open_ends;
                continue;
            }
            char head[64];
            snprintf(head, sizeof head, "@%s %ld\n", tags[i], (long)n);
            put_text(head);
            put(buf, (size_t)n);
        }
    }
}

static void run(int number, char *line, int live)
{
    char *words[MAX_WORDS + 1];
    int count = 0;
    char *p = line;
    while (*p != '\0' && count < MAX_WORDS) {
        words[count++] = p;
        p = strchr(p, ' ');
        if (p == NULL)
            break;
        *p++ = '\0';
    }
    words[count] = NULL;
    if (count < 2)
        return;

    char head[64];
    snprintf(head, sizeof head, "@run %d\n", number);
    put_text(head);

    if (ioperm(MARK_PORT, 1, 1) == 0) {
        (void)inb(MARK_PORT);
        ioperm(MARK_PORT, 1, 0);
    }

    int pipes[2][2] = {{-1, -1}, {-1, -1}};
    if (live && (pipe(pipes[0]) != 0 || pipe(pipes[1]) != 0))
        live = 0;
    pid_t pid = fork();
    if (pid == 0) {
        int uid = 0;
        sscanf(words[0], "%d", &uid);
        int in = open("/dev/null", O_RDONLY);
        int out = live ? pipes[0][1] : open("/out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = live ? pipes[1][1] : open("/err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (live) {
            close(pipes[0][0]);
            close(pipes[1][0]);
        }
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
            _exit(125);
        execv(words[1], words + 1);
        _exit(127);
    }
    if (live) {
        close(pipes[0][1]);
        close(pipes[1][1]);
        if (pid > 0)
            put_live(pipes[0][0], pipes[1][0]);
        else {
            close(pipes[0][0]);
            close(pipes[1][0]);
        }
    }
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid) {
        put_text("@out 0\n@err 0\n@status none\n");
        return;
    }
    if (!live) {
        put_file("out", "/out");
        put_file("err", "/err");
    }
    if (WIFEXITED(st))
        snprintf(head, sizeof head, "@status exit %d\n", WEXITSTATUS(st));
    else
        snprintf(head, sizeof head, "@status signal %d\n", WTERMSIG(st));
    put_text(head);
}

int main(void)
{
    /* /proc, for the commands that read the kernel's tables. */
    mkdir("/proc", 0555);
    mount("proc", "/proc", "proc", 0, NULL);

    results = open("/dev/ttyS1", O_WRONLY | O_NOCTTY);
    if (results >= 0) {
        struct termios t;
        if (tcgetattr(results, &t) == 0) {
            cfmakeraw(&t);
            cfsetospeed(&t, B115200);
            tcsetattr(results, TCSANOW, &t);
        }
        static char commands[16384];
        int fd = open("/commands", O_RDONLY);
        ssize_t n = fd >= 0 ? read(fd, commands, sizeof commands - 1) : -1;
        if (n > 0) {
            commands[n] = '\0';
            int number = 0;
            char *line = commands;
            while (*line != '\0') {
                char *end = strchr(line, '\n');
                if (end != NULL)
                    *end = '\0';
                if (strncmp(line, "mark ", 5) == 0)
                    mark_session(line + 5);
                else if (strcmp(line, "dmesg") == 0)
                    kernel_log(++number);
                else if (strncmp(line, "live ", 5) == 0)
                    run(++number, line + 5, 1);
                else
                    run(++number, line, 0);
                if (end == NULL)
                    break;
                line = end + 1;
            }
        }
        put_text("@done\n");
        tcdrain(results);
    } else {
        fprintf(stderr, "init: no /dev/ttyS1\n");
    }
    sync();
    reboot(RB_AUTOBOOT);
    for (;;)
        pause();
}
