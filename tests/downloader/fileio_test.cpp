// Loading TTF data files into the bit image, counting for the sequential
// sender, and releasing; in process.
#include "psload_fixture.h"
#include "ttf_writer.h"

#include <climits>
#include <sstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Values read from TTF text by the plainest means: comma-separated decimals.
std::vector<int> values_in(const std::string &text)
{
    std::vector<int> v;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ','))
        v.push_back(std::stoi(item) & 0xFF);
    return v;
}

std::string line92(int first)
{
    std::string s;
    for (int k = 0; k < 92; ++k) {
        char f[8];
        std::snprintf(f, sizeof f, "%3d,", (first + k) % 256);
        s += f;
    }
    return s;
}

} // namespace

class Load : public PsloadTest {
protected:
    // Loads text in memory mode; returns file_read's result.
    int load(const std::string &text, int verbose = 0, std::string *out = nullptr)
    {
        use_file(dir.write("d.ttf", text), FILE_TO_MEMORY, verbose);
        testing::internal::CaptureStdout();
        int r = file_read();
        std::string printed = testing::internal::GetCapturedStdout();
        if (out != nullptr)
            *out = printed;
        EXPECT_EQ(status.input_file, nullptr);   // closed in memory mode, whatever happened
        return r;
    }
};

TEST_F(Load, ImageHoldsEveryValueLeastSignificantBitFirst)
{
    const std::string two = line92(0) + "\n" + line92(92) + "\r\n";
    const struct {
        std::string text;
        int count;
        std::vector<int> stored;
    } cases[] = {
        {"  7", 1, {7}},
        {"  7\r\n", 1, {7}},
        {line92(0) + "\n  1,  2,200", 95, values_in(line92(0) + "  1,  2,200")},
        {line92(0) + "\r\n  1,  2,200\r\n", 95, values_in(line92(0) + "  1,  2,200")},
        {"\n  1,  2,\n\n\r\n\r\n255,  0\n\n", 4, {1, 2, 255, 0}},        // blank lines
        {two + "  9", 185, values_in(line92(0) + line92(92) + "  9")},
        {" -1,256,999,+12,1 2,abc,\t 5,  3", 8, {255, 0, 231, 12, 1, 0, 5, 3}},
        // Entries that receive no value hold 0.
        {"  1,  2,", 3, {1, 2}},
        {"  1, 2", 2, {1}},
        {"", 1, {}},
        {"\n\r\n\n", 1, {}},
        {"  1,  2,\xff  3,  4", 3, {1, 2}},     // 0xFF ends the data
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        reset();
        ASSERT_EQ(load(c.text), 0);
        ASSERT_EQ(count_data, c.count);
        EXPECT_EQ(image(), image_of(c.stored, c.count));
        settle_all();
        EXPECT_EQ(parallel_data, nullptr);
    }
}

TEST_F(Load, FieldConversionMatchesTheLibraryForEveryFieldShape)
{
    // Every 3-character field over blanks, signs, digits, letters, commas
    // and NUL, each followed by its comma; the library's conversion of the
    // same field is the reference.
    const std::string alphabet = std::string(" \t\v\f+-09a,x5") + '\0';
    std::string text;
    std::vector<int> expected;
    for (char a : alphabet)
        for (char b : alphabet)
            for (char c : alphabet) {
                const char field[4] = {a, b, c, '\0'};
                text.append(field, 3);
                text += ',';
                expected.push_back(static_cast<unsigned char>(std::strtol(field, nullptr, 10)));
            }
    ASSERT_EQ(load(text), 0);
    auto img = image();
    for (size_t k = 0; k < expected.size(); ++k)
        for (int b = 0; b < 8; ++b)
            ASSERT_EQ(img[8 * k + b], (expected[k] >> b) & 1) << "field " << k;
}

TEST_F(Load, VerboseLoadAndReleaseMessages)
{
    std::string out;
    ASSERT_EQ(load(line92(0) + "\n  1,  2,  3\n", 1, &out), 0);
    const std::string name = status.input_file_name;
    EXPECT_EQ(out, "File loading...\n"
                   "  File(" + name + ") is opened.\n"
                   "  Include 95 byte data.\n"
                   "  Memory allocated 760(=8*95)byte.\n"
                   "  All data is loaded from file to memory.\n"
                   "  File(" + name + ") is closed.\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(settle_all(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Settleing...\n  Free memory.\n");
}

TEST_F(Load, BareValueIsUnexpectedDataOnStdout)
{
    std::string out;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load("  1,7,  3,  4\n", 1, &out), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::string name = status.input_file_name;
    EXPECT_EQ(out, "File loading...\n"
                   "  File(" + name + ") is opened.\n"
                   "  Include 4 byte data.\n"
                   "  Memory allocated 32(=8*4)byte.\n"
                   "Error unexpcted data.\n"
                   "  File(" + name + ") is closed.\n");
    EXPECT_EQ(image(), image_of({1}, 4));
}

TEST_F(Load, VendorLayoutFilesLoadExactly)
{
    for (const char *name : {"vendor16_crlf.ttf", "vendor16_lf.ttf"}) {
        SCOPED_TRACE(name);
        reset();
        const std::string path = std::string(PSLOAD_TEST_DATA) + "/" + name;
        const std::vector<int> values = values_in(testutil::read_file(path));
        use_file(path);
        ASSERT_EQ(file_read(), 0);
        ASSERT_EQ(count_data, static_cast<int>(values.size()));
        EXPECT_EQ(image(), image_of(values, values.size()));
    }
    // Generated files in both layouts, both line ends, with and without a
    // final line end, hold the generator's values.
    for (int per_line : {16, 92})
        for (int flags = 0; flags < 4; ++flags) {
            reset();
            ttfgen::Layout l;
            l.count = 1000 + per_line;
            l.per_line = per_line;
            l.crlf = flags & 1;
            l.final_line_end = flags & 2;
            ASSERT_EQ(load(ttfgen::text(l)), 0);
            auto v = ttfgen::values(l.count, l.series);
            EXPECT_EQ(image(), image_of(std::vector<int>(v.begin(), v.end()), v.size())) << per_line << "/" << flags;
        }
}

TEST_F(Load, ImageTooLargeTakesTheAllocationFailurePath)
{
    for (int count : {INT_MAX / 8 + 1, INT_MAX, -1}) {
        reset();
        use_file(dir.write("d.ttf", "  1,  2"));
        status.input_file = std::fopen(status.input_file_name, "r");
        count_data = count;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ttf_file_read_to_mem(), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "ttf_file_read_to_mem(): Can't allocate memory for download data.\n");
        EXPECT_EQ(parallel_data, nullptr);
    }
}

TEST_F(Load, NeverStoresMoreValuesThanCounted)
{
    // The file has grown since it was counted: the image keeps its size.
    use_file(dir.write("d.ttf", "  1,  2,  3,  4,  5"));
    status.input_file = std::fopen(status.input_file_name, "r");
    count_data = 2;
    ASSERT_EQ(ttf_file_read_to_mem(), 0);
    EXPECT_EQ(image(), image_of({1, 2}, 2));
}

TEST_F(Load, SequentialModeCountsAndKeepsTheFileOpenAtItsStart)
{
    use_file(dir.write("d.ttf", line92(0) + "\r\n  1,  2,  3\r\n"), FILE_SEQUENTIAL, 1);
    const std::string name = status.input_file_name;
    testing::internal::CaptureStdout();
    EXPECT_EQ(file_read(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "File loading...\n  File(" + name + ") is opened.\n  Include 95 byte data.\n");
    ASSERT_NE(status.input_file, nullptr);
    EXPECT_EQ(std::ftell(status.input_file), 0);
    EXPECT_EQ(parallel_data, nullptr);

    testing::internal::CaptureStdout();
    EXPECT_EQ(settle_all(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Settleing...\n  File(" + name + ") closed.\n");
    EXPECT_EQ(status.input_file, nullptr);
}

TEST_F(Load, InvalidModeFailsInBothPhasesAndLeavesTheFileOpen)
{
    use_file(dir.write("d.ttf", "  1"), 7);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(file_read(), 1);
    EXPECT_EQ(settle_all(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "file_read() : Mode (File read) Error\nsettle_all() : Mode (File read) Error\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(status.input_file, nullptr);
}

TEST_F(Load, UnopenableFileEndsTheProcess)
{
    use_file(dir.path() + "/missing.ttf");
    EXPECT_EXIT(file_read(), testing::ExitedWithCode(8),
                exactly("Error: Can't open " + dir.path() + "/missing.ttf for reading\n"));
}

// Runs body in a child that looks like a set-user-ID (and set-group-ID) root
// program started by user/group 65534; returns the child's exit status, or
// -1 when this machine cannot set that up.
static int as_raised_program(int (*body)())
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 0, 0) != 0 || setresuid(65534, 0, 0) != 0)
            _exit(77);
        std::fclose(stderr);
        _exit(body());
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) && WEXITSTATUS(st) != 77 ? WEXITSTATUS(st) : -1;
}

TEST_F(Load, RaisedPrivilegeOpensTheFileWithTheRealUsersRights)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to play a set-user-ID program";
    // Readable by root's group only: the raised IDs could read it, user
    // 65534 cannot.  Then the same for a file anyone may read.
    const std::string secret = dir.write("secret.ttf", "  1,  2");
    ASSERT_EQ(chown(secret.c_str(), 4242, 0), 0);
    ASSERT_EQ(chmod(secret.c_str(), 0040), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    use_file(secret);
    int r = as_raised_program([] { return (file_read(), 0); });
    if (r == -1)
        GTEST_SKIP() << "cannot change user IDs here";
    EXPECT_EQ(r, 8);

    use_file(dir.write("open.ttf", "  1,  2"));
    r = as_raised_program([] {
        int loaded = file_read();
        return loaded == 0 && count_data == 2 && geteuid() == 0 && getegid() == 0 ? 0 : 1;
    });
    EXPECT_EQ(r, 0);
}
