// Shared pieces of the download tests: a fixture with a fresh bench and
// fresh globals, capture of the two standard streams, and the port trace
// turned into short symbolic events for comparing access orders.
#ifndef TESTS_DOWNLOAD_FIXTURE_H
#define TESTS_DOWNLOAD_FIXTURE_H

#include "boards/fpga_bench.h"
#include "bus/io_bus.h"
#include "psload.h"
#include "seams/portio_sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

// Redirects file descriptors 1 and 2 into temporary files until stop().
class StreamCapture {
public:
    StreamCapture()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        out_ = std::tmpfile();
        err_ = std::tmpfile();
        dup2(fileno(out_), 1);
        dup2(fileno(err_), 2);
    }
    ~StreamCapture() { stop(); }
    void stop()
    {
        if (out_ == nullptr)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
        out = slurp(out_);
        err = slurp(err_);
        out_ = err_ = nullptr;
    }
    std::string out, err;

private:
    static std::string slurp(std::FILE *f)
    {
        std::string s;
        std::rewind(f);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
        return s;
    }
    int saved_out_ = -1, saved_err_ = -1;
    std::FILE *out_ = nullptr;
    std::FILE *err_ = nullptr;
};

class DownloadTest : public ::testing::Test {
protected:
    static constexpr unsigned kBase = 0x378;
    static constexpr unsigned kDummy = 0x80;

    void SetUp() override
    {
        io().reset();  // a test may start over
        io().permissions().set_violation_policy(bench::ViolationPolicy::Record);
        io().set_tracing(true);
        status = download_status{};
        status.parallel_port_address = kBase;
        status.dummy_port_address = kDummy;
        count_data = 0;
        parallel_data = nullptr;
    }

    void TearDown() override
    {
        parallel_data = nullptr;
        if (status.input_file)
            std::fclose(status.input_file);
        status.input_file = nullptr;
        bench_.reset();
    }

    // The test's own bench PC bus, behind the port seam while the test runs.
    bench::IoBus &io() { return bus_; }

    // The bench with the given configuration (replacing any earlier one).
    bench::FpgaBench &make_bench(const bench::FpgaBenchConfig &config = {})
    {
        bench_.reset();
        bench_ = std::make_unique<bench::FpgaBench>(io(), config);
        return *bench_;
    }

    // Puts values into a bit image as the loader makes it (LSB first).
    void set_image(const std::vector<int> &values)
    {
        image_.assign(values.size() * 8, 0);
        for (std::size_t k = 0; k < values.size(); ++k)
            for (int b = 0; b < 8; ++b)
                image_[8 * k + b] = static_cast<unsigned char>((values[k] >> b) & 1);
        count_data = static_cast<int>(values.size());
        parallel_data = image_.data();
    }

    // Opens text as the data file of sequential mode.
    void set_file(const std::string &text, int values)
    {
        std::FILE *f = std::tmpfile();
        std::fwrite(text.data(), 1, text.size(), f);
        std::rewind(f);
        status.input_file = f;
        status.file_read_mode = FILE_SEQUENTIAL;
        count_data = values;
    }

    // Runs download_data with both streams captured.
    int run_download()
    {
        StreamCapture cap;
        int r = download_data();
        cap.stop();
        out = cap.out;
        err = cap.err;
        return r;
    }

    // The trace as events: "ctrl=05", "data=01", "dly=00", "stat?",
    // "other:0x..".  Time is left out; it is one microsecond per event.
    std::vector<std::string> events(std::size_t from = 0)
    {
        std::vector<std::string> ev;
        const auto &t = io().trace();
        for (std::size_t i = from; i < t.size(); ++i)
            ev.push_back(event(t[i]));
        return ev;
    }

    static std::string event(const bench::Access &a)
    {
        char buf[32];
        const char *name = a.port == kBase       ? "data"
                           : a.port == kBase + 1 ? "stat"
                           : a.port == kBase + 2 ? "ctrl"
                           : a.port == kDummy    ? "dly"
                                                 : nullptr;
        if (name == nullptr)
            std::snprintf(buf, sizeof buf, "other:0x%X", a.port);
        else if (a.dir == bench::Dir::In)
            std::snprintf(buf, sizeof buf, "%s?", name);
        else
            std::snprintf(buf, sizeof buf, "%s=%02X", name, a.value);
        return buf;
    }

    static std::vector<std::string> repeat(const std::string &e, int n)
    {
        return std::vector<std::string>(n > 0 ? static_cast<std::size_t>(n) : 0, e);
    }

    static void append(std::vector<std::string> &to, const std::vector<std::string> &more)
    {
        to.insert(to.end(), more.begin(), more.end());
    }

    // Index of the first event at or after from equal to e, or npos.
    static std::size_t find(const std::vector<std::string> &ev, const std::string &e, std::size_t from = 0)
    {
        for (std::size_t i = from; i < ev.size(); ++i)
            if (ev[i] == e)
                return i;
        return std::string::npos;
    }

    bench::IoBus bus_;
    bench::PortioConnection seam_{bus_};
    std::unique_ptr<bench::FpgaBench> bench_;
    std::vector<unsigned char> image_;
    std::string out, err;
};

#endif
