// A Value Change Dump (IEEE 1364 VCD) writer: the file format of logic
// analysers and waveform viewers (GTKWave, PulseView/sigrok).
//
// Signals are declared first, each in a scope, as one-bit wires or vectors
// up to 64 bits.  Values are then set at non-decreasing times; the file gets
// a line only where a value changes.  Recording may start late and stop
// early (a window): values set outside it are remembered, so that the dump
// at the window's start shows every signal as it is at that moment.
#ifndef BENCH_VCD_WRITER_H
#define BENCH_VCD_WRITER_H

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

namespace bench {

class VcdWriter {
public:
    // Writes to the file descriptor fd (which stays the caller's) through a
    // buffer of its own and write(2) only, so that flush() may be called
    // while the process is being ended by a signal.  timescale as VCD
    // writes it ("1us", "1ns").
    VcdWriter(int fd, std::string timescale, std::string version);
    ~VcdWriter();
    VcdWriter(const VcdWriter &) = delete;
    VcdWriter &operator=(const VcdWriter &) = delete;

    // Declares a signal before recording starts; returns its handle.
    int wire(const std::string &scope, const std::string &name, unsigned width, std::uint64_t initial = 0);

    // Sets a signal's value at time t.
    void set(int signal, std::uint64_t value, std::uint64_t t);

    // Starts recording at t (writes the header the first time, then a dump
    // of all values); stops it at t.  After a stop nothing more is written.
    void start(std::uint64_t t);
    void stop(std::uint64_t t);
    bool recording() const { return recording_; }
    bool stopped() const { return stopped_; }

    // Hands what is buffered to the file.
    void flush();

    // Bytes produced so far.
    std::uint64_t bytes() const { return bytes_; }

    // errno of the first write that failed (the file is then incomplete),
    // or 0.
    int error() const { return error_; }

private:
    struct Signal {
        std::string scope;
        std::string name;
        unsigned width;
        std::string code;
        std::uint64_t value;
    };
    void header();
    void stamp(std::uint64_t t);
    void emit(const Signal &s);
    void put(const char *text, std::size_t n);

    int fd_;
    char buf_[1 << 16];
    std::size_t used_ = 0;
    std::string timescale_;
    std::string version_;
    std::vector<Signal> signals_;
    bool recording_ = false;
    bool stopped_ = false;
    bool stamped_ = false;
    std::uint64_t last_stamp_ = 0;
    std::uint64_t bytes_ = 0;
    int error_ = 0;
};

} // namespace bench

#endif
