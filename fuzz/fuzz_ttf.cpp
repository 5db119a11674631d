// Fuzz target: the TTF loader and the download of what it loaded.
//
// The first input byte chooses the file read mode (memory or sequential) and
// the delay count; the rest is the data file.  The file is loaded, sent to a
// bench FPGA that expects exactly the bits the file's values make, and
// released.  Invariants: the sanitizers see no bad access; the bit image holds
// only 0 and 1; the device got exactly 8 x count_data data clocks (plus the
// ten closing clocks when the download reports success); a memory-mode file
// that loaded cleanly configures the device; no port outside the granted
// ranges is touched; at the end the port is idle and no access is held.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "boards/fpga_bench.h"
#include "seams/portio_sim.h"
#include "psload.h"

static std::string data_file;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    // The scratch file goes where the machine wants temporary files.
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/labtools-fuzz-ttf-XXXXXX";
    std::vector<char> path(templ.begin(), templ.end());
    path.push_back('\0');
    int fd = mkstemp(path.data());
    if (fd < 0)
        std::abort();
    close(fd);
    data_file = path.data();
    std::atexit([] { unlink(data_file.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 8192)
        return 0;
    const int mode = data[0] & 1;
    const int wait = (data[0] >> 1) & 3;  // 0..3, a few delay writes per half clock
    {
        std::FILE *f = std::fopen(data_file.c_str(), "wb");
        if (!f || std::fwrite(data + 1, 1, size - 1, f) != size - 1)
            std::abort();
        std::fclose(f);
    }

    std::memset(&status, 0, sizeof status);
    count_data = 0;
    parallel_data = nullptr;
    initialize_defaults();
    std::snprintf(status.input_file_name, sizeof status.input_file_name, "%s", data_file.c_str());
    status.file_read_mode = mode;
    status.wait_count = wait;

    int loaded = file_read();

    if (count_data < 1)
        std::abort();
    const std::uint64_t bits = 8ull * static_cast<std::uint64_t>(count_data);
    if (mode == FILE_TO_MEMORY && parallel_data != nullptr) {
        for (std::uint64_t i = 0; i < bits; ++i)
            if (parallel_data[i] > 1)
                std::abort();
    }

    bench::IoBus io;
    bench::PortioConnection seam(io);
    io.permissions().set_violation_policy(bench::ViolationPolicy::Record);
    bench::FpgaBenchConfig config;
    config.fpga.config_bits = bits;
    auto fpga_bench = std::make_unique<bench::FpgaBench>(io, config);

    int downloaded = download_data();

    auto &fpga = fpga_bench->fpga();
    const std::uint64_t edges = fpga.dclk_rising_edges();
    if (!io.permissions().violations().empty())
        std::abort();
    if (io.permissions().any_permitted())
        std::abort();
    if (fpga_bench->port().data_register() != 0 || fpga_bench->port().control_register() != 0x05)
        std::abort();
    if (downloaded == 0) {
        if (edges != bits + 10 || fpga.bits_received() != bits || !fpga.user_mode(io.now()))
            std::abort();
    } else if (edges != 0 && edges != bits) {
        std::abort();
    }
    if (mode == FILE_TO_MEMORY && loaded == 0 && downloaded != 0)
        std::abort();

    settle_all();
    fpga_bench.reset();
    return 0;
}
