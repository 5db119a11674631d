// psload-sim's records: the trace file (every port access and ioperm call,
// streamed as they happen), the report of what the device got and how the
// port was left, and the raw bytes the device received.
//
// The trace is flushed, and the report and received bytes rewritten, at
// every call that gives up port access and at finish(): a run that ends by
// a signal after giving the port back still leaves complete records.
#ifndef BENCH_SIM_RECORDER_H
#define BENCH_SIM_RECORDER_H

#include "boards/fpga_bench.h"
#include "sims/psload/cable_waveform.h"
#include "bus/io_bus.h"

#include <cstddef>
#include <string>

namespace bench {

class SimRecorder : public Observer {
public:
    SimRecorder(FpgaBench &bench, std::string trace_file, std::string report_file, std::string received_file);
    ~SimRecorder() override;
    SimRecorder(const SimRecorder &) = delete;
    SimRecorder &operator=(const SimRecorder &) = delete;

    void on_access(const Access &a) override;
    void on_permission(const PermissionCall &c) override;

    // Also samples the cable for a waveform written to file.
    void set_waveform(CableWaveform *wave, std::string file)
    {
        wave_ = wave;
        vcd_file_ = std::move(file);
    }

    // Flushes the trace and the waveform and writes the report and the
    // received bytes.
    void finish();
    // The same at the end of the run: the waveform gets its last time stamp.
    void end();

    // The device only counts bits, as there was no memory for the design:
    // the report says so in a last line.
    void set_design_not_held() { design_not_held_ = true; }

    // The report ends with the timing section: each limit of the device's
    // profile, the worst value the run gave it and the margin, and the
    // smallest -w that would have met them all; wait_count is psload's -w
    // in this run.
    void set_timing_section(int wait_count)
    {
        timing_section_ = true;
        wait_count_ = wait_count;
    }

    // The report's text (one "name value" line per item).
    std::string report() const;

    // The first file the records could not be written to, as
    // "cannot write FILE: reason"; empty while every write went through.
    const std::string &error() const { return error_; }

private:
    void append(const char *text, std::size_t len);
    void flush_trace();
    void write_files();
    void failed(const std::string &path, int err);

    FpgaBench &bench_;
    std::string report_file_;
    std::string received_file_;
    CableWaveform *wave_ = nullptr;
    std::string vcd_file_;
    bool design_not_held_ = false;
    bool timing_section_ = false;
    int wait_count_ = 0;
    // Time stamps in whole microseconds while every bus cycle is whole
    // microseconds (the lab PC's), else with three decimals (nanoseconds).
    bool whole_us_ = true;
    int format_us(char *out, std::size_t size, Nanos t) const;
    std::string trace_file_;
    int trace_fd_ = -1;
    std::string error_;
    char buf_[1 << 16];
    std::size_t used_ = 0;
};

} // namespace bench

#endif
