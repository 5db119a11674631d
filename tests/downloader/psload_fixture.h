// Shared pieces of the psload tests: a fixture that gives every test fresh
// globals, the exact usage text, and helpers for exact-output checks.
#ifndef TESTS_PSLOAD_FIXTURE_H
#define TESTS_PSLOAD_FIXTURE_H

#include "psload.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The 10 lines that usage() writes after its first line.
inline std::string usage_text(const std::string &name)
{
    return "Usage is " + name + " [options] input_file\n"
           " Options:\n"
           "    -v              Verbose (Default: Off)\n"
           "    -b              Display progress bar (Default: Off)\n"
           "    -p  <number>    Parallel port base address (Default: 0 (0x378))\n"
           "    -d  <number>    Dummy port base (Default: 0 (0x80))\n"
           "    -w  <value>     Wait loop counts of DCLK (Default: 0)\n"
           "    -mf <number>    File read mode (Default: 0 (File to memory))\n"
           "    -md <number>    Port access mode(Default: 0 (Direct access))\n"
           "    -h              Usage of program\n";
}

// A regular expression that matches exactly the text s (for death tests).
inline std::string exactly(const std::string &s)
{
    std::string re = "^";
    for (char c : s) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr)
            re += '\\';
        re += c;
    }
    return re + "$";
}

// The bits that the image must hold for the given values.
inline std::vector<unsigned char> image_of(const std::vector<int> &values, size_t total_values)
{
    std::vector<unsigned char> bits(8 * total_values, 0);
    for (size_t k = 0; k < values.size(); ++k)
        for (int b = 0; b < 8; ++b)
            bits[8 * k + b] = (values[k] >> b) & 1;
    return bits;
}

class PsloadTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset()
    {
        if (status.input_file != nullptr)
            std::fclose(status.input_file);
        std::free(parallel_data);
        parallel_data = nullptr;
        count_data = 0;
        std::memset(&status, 0, sizeof status);
    }

    // options_parse on a vector of words (argv[0] first).
    static int parse(std::vector<std::string> words)
    {
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        return options_parse(static_cast<int>(words.size()), argv.data());
    }

    // Sets up a load of the file name with the given mode.
    void use_file(const std::string &name, int mode = FILE_TO_MEMORY, int verbose = 0)
    {
        initialize_defaults();
        std::snprintf(status.input_file_name, sizeof status.input_file_name, "%s", name.c_str());
        status.file_read_mode = mode;
        status.verbose = verbose;
    }

    std::vector<unsigned char> image() const
    {
        return std::vector<unsigned char>(parallel_data, parallel_data + 8 * count_data);
    }

    testutil::TempDir dir;
};

#endif
