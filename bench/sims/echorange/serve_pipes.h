// The named pipes of a served machine: DIR/rtf1 and DIR/rtf2, standing for
// /dev/rtf1 and /dev/rtf2 (serve.h tells how the RT-FIFO's rules map onto
// them).  DIR is taken with a lock, so that two services never share it;
// the pipes are made when the module is loaded and removed at its unload;
// the opens of each are watched, to tell when a second process holds one.
#ifndef SIMS_ECHORANGE_SERVE_PIPES_H
#define SIMS_ECHORANGE_SERVE_PIPES_H

#include <functional>
#include <string>
#include <sys/types.h>

namespace sims::echorange {

class ServedPipes {
public:
    // note is where the pipes' remarks go, as lines of the service's log.
    ServedPipes(const std::string &dir, std::function<void(const std::string &)> note);
    ~ServedPipes();
    ServedPipes(const ServedPipes &) = delete;
    ServedPipes &operator=(const ServedPipes &) = delete;

    // Takes DIR for this service (once; later calls keep it); 0, or the
    // exit status to end with (the reason written to standard error).
    int take_dir();
    // Makes both pipes afresh and watches their opens; 0, or the exit status.
    int open();
    // Closes the service's ends and unlinks the pipes it made.
    void close();
    // Looks at the opens and closes since the last look (opens_fd() is
    // readable): a second holder of a pipe is noted once until fewer hold it.
    void openers_check();

    int command_fd() const { return rtf1_.fd; }  // DIR/rtf1, -1 when not made
    int value_fd() const { return rtf2_.fd; }    // DIR/rtf2, -1 when not made
    int opens_fd() const { return opens_; }      // readable when a pipe was opened or closed
    const std::string &command_path() const { return path1_; }
    const std::string &value_path() const { return path2_; }

private:
    // A named pipe this service made, known by device and inode: at the end
    // only that object is unlinked, not whatever has since been put at its
    // path.
    struct OwnPipe {
        int fd = -1;  // the service's end (read and write)
        dev_t dev = 0;
        ino_t ino = 0;
        int watch = -1;       // its inotify watch
        bool shared = false;  // told already, until fewer hold it
    };
    static int make(const std::string &path, OwnPipe &own);
    void remove(OwnPipe &own, const std::string &path);
    static int holders(const OwnPipe &own);
    void openers_watch();

    std::string dir_;
    std::function<void(const std::string &)> note_;
    std::string path1_, path2_;
    OwnPipe rtf1_, rtf2_;
    int dir_lock_ = -1;  // DIR, open and flock()ed while this service may own its pipes
    // Opens of the pipes, watched (inotify); -1 where none can be.
    int opens_ = -1;
};

}  // namespace sims::echorange

#endif
