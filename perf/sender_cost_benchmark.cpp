// The downloader's own work per configuration bit, with a port seam that
// does nothing: what the senders add to the three (or more) port accesses
// of each bit, which on the lab PC take about a microsecond each.
#include "psload.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kValues = 100000;

void settings()
{
    status = download_status{};
    status.parallel_port_address = 0x378;
    status.dummy_port_address = 0x80;
    status.port_access_mode = DIRECT_ACCESS;
    count_data = kValues;
}

void BM_MemorySenderPerBit(benchmark::State &state)
{
    settings();
    status.file_read_mode = FILE_TO_MEMORY;
    std::vector<unsigned char> image(static_cast<std::size_t>(kValues) * 8);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>((i * 7 >> 2) & 1);
    parallel_data = image.data();
    for (auto _ : state) {
        if (data_download_from_mem_direct() != 0) {
            state.SkipWithError("sender failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kValues * 8);
    parallel_data = nullptr;
}
BENCHMARK(BM_MemorySenderPerBit)->Unit(benchmark::kMicrosecond);

void BM_FileSenderPerBit(benchmark::State &state)
{
    settings();
    status.file_read_mode = FILE_SEQUENTIAL;
    std::string text;
    for (int k = 0; k < kValues; ++k) {
        char field[8];
        std::snprintf(field, sizeof field, "%3d", (k * 37) & 0xFF);
        text += field;
        if (k + 1 < kValues)
            text += ',';
        if ((k + 1) % 92 == 0 || k + 1 == kValues)
            text += '\n';
    }
    std::FILE *f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    status.input_file = f;
    for (auto _ : state) {
        std::rewind(f);
        if (data_download_from_file_direct() != 0) {
            state.SkipWithError("sender failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kValues * 8);
    std::fclose(f);
    status.input_file = nullptr;
}
BENCHMARK(BM_FileSenderPerBit)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
