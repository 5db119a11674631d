// The named pipes of a served machine (serve_pipes.h).
#include "sims/echorange/serve_pipes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "uss_records.h"

namespace sims::echorange {

ServedPipes::ServedPipes(const std::string &dir, std::function<void(const std::string &)> note)
    : dir_(dir), note_(std::move(note)), path1_(dir + "/rtf1"), path2_(dir + "/rtf2")
{
}

ServedPipes::~ServedPipes()
{
    if (opens_ >= 0)
        ::close(opens_);
    if (dir_lock_ >= 0)
        ::close(dir_lock_);  // gives DIR up
}

// A named pipe at path, made afresh (one left by an earlier service is
// replaced: DIR's lock says no live service has it), opened for reading and
// writing without blocking.
int ServedPipes::make(const std::string &path, OwnPipe &own)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            std::cerr << "echorange-sim: " << path << " exists and is not a named pipe\n";
            return -1;
        }
        unlink(path.c_str());
    }
    if (mkfifo(path.c_str(), 0666) != 0) {
        std::cerr << "echorange-sim: cannot make " << path << ": " << std::strerror(errno) << '\n';
        return -1;
    }
    // O_RDWR on a FIFO never waits for the other side (Linux), and keeps
    // the pipe alive while clients come and go.
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "echorange-sim: cannot open " << path << ": " << std::strerror(errno) << '\n';
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        std::cerr << "echorange-sim: " << path << " was replaced while being made\n";
        ::close(fd);
        return -1;
    }
    own.fd = fd;
    own.dev = st.st_dev;
    own.ino = st.st_ino;
    return fd;
}

// Closes the service's end of a pipe and unlinks the pipe, if what is at
// path is still the pipe this service made.
void ServedPipes::remove(OwnPipe &own, const std::string &path)
{
    if (own.fd < 0)
        return;
    ::close(own.fd);
    own.fd = -1;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISFIFO(st.st_mode) && st.st_dev == own.dev && st.st_ino == own.ino)
        unlink(path.c_str());
    else
        note_(path + " is no longer the pipe made here: left in place");
}

// An exclusive flock() on the directory itself.  The kernel drops the lock
// when the process ends however it ends, so a killed service leaves nothing
// that blocks the next one, and no file is left in DIR.
int ServedPipes::take_dir()
{
    if (dir_lock_ >= 0)
        return 0;  // held since an earlier load
    const std::string &dir = dir_;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::cerr << "echorange-sim: cannot make " << dir << ": " << std::strerror(errno) << '\n';
        return 2;
    }
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "echorange-sim: cannot open " << dir << ": " << std::strerror(errno) << '\n';
        return 2;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            std::cerr << "echorange-sim: " << dir << " is served by another echorange-sim\n";
        else
            std::cerr << "echorange-sim: cannot lock " << dir << ": " << std::strerror(errno) << '\n';
        ::close(fd);
        return 2;
    }
    dir_lock_ = fd;
    return 0;
}

// The processes other than this one that hold the pipe own open, by /proc;
// only those whose file descriptors this user may look at.
int ServedPipes::holders(const OwnPipe &own)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return 0;
    int holders = 0;
    const pid_t self = getpid();
    while (dirent *e = readdir(proc)) {
        char *end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        std::string fds = std::string("/proc/") + e->d_name + "/fd";
        DIR *d = opendir(fds.c_str());
        if (!d)
            continue;
        bool holds = false;
        while (dirent *f = readdir(d)) {
            struct stat st;
            if (f->d_name[0] != '.' && stat((fds + '/' + f->d_name).c_str(), &st) == 0 && st.st_dev == own.dev &&
                st.st_ino == own.ino)
                holds = true;
        }
        closedir(d);
        holders += holds ? 1 : 0;
    }
    closedir(proc);
    return holders;
}

void ServedPipes::openers_check()
{
    if (opens_ < 0)
        return;
    alignas(inotify_event) char buf[4096];
    bool look1 = false, look2 = false;
    for (;;) {
        ssize_t n = read(opens_, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + i);
            look1 = look1 || ev->wd == rtf1_.watch || (ev->mask & IN_Q_OVERFLOW);
            look2 = look2 || ev->wd == rtf2_.watch || (ev->mask & IN_Q_OVERFLOW);
            i += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    auto look = [&](bool changed, OwnPipe &own, const std::string &path) {
        if (!changed || own.fd < 0)
            return;
        int n = holders(own);
        if (n >= 2 && !own.shared)
            note_(path + ": held by " + std::to_string(n) +
                  " processes at once; the lab PC refuses all but the first (EACCES), here they share it");
        own.shared = n >= 2;
    };
    look(look1, rtf1_, path1_);
    look(look2, rtf2_, path2_);
}

// Watches the pipes' opens and closes (after the service's own opens).
void ServedPipes::openers_watch()
{
    if (opens_ < 0)
        opens_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens_ < 0)
        return;
    rtf1_.watch = inotify_add_watch(opens_, path1_.c_str(), IN_OPEN | IN_CLOSE);
    rtf2_.watch = inotify_add_watch(opens_, path2_.c_str(), IN_OPEN | IN_CLOSE);
    rtf1_.shared = rtf2_.shared = false;
}

int ServedPipes::open()
{
    if (int st = take_dir())
        return st;
    make(path1_, rtf1_);
    if (rtf1_.fd >= 0)
        make(path2_, rtf2_);
    if (rtf2_.fd < 0)
        return 2;
    // The size of RT-FIFO 2 is USS_FIFO_SIZE bytes; a pipe takes whole
    // pages: one, 4096 bytes.
    fcntl(rtf2_.fd, F_SETPIPE_SZ, 4096);
    openers_watch();
    return 0;
}

void ServedPipes::close()
{
    remove(rtf1_, path1_);
    remove(rtf2_, path2_);
}

}  // namespace sims::echorange
