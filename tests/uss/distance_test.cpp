// The distance the echo handler works out from an interval, against the
// table of known intervals and against the x87 evaluation it must equal:
// the interval as a 32-bit int (out of range: -2147483648), times the double
// 343.7, divided by 2000000, each step rounded to a 64-bit significand,
// truncated toward zero.
#include <cstdint>
#include <limits>

#include "module_fixture.h"

namespace uss_test {
namespace {

static_assert(std::numeric_limits<long double>::digits == 64,
              "the reference needs x87 extended precision (x86 long double)");

int x87_reference(long long interval)
{
    int dt = (interval < INT32_MIN || interval > INT32_MAX) ? INT32_MIN : static_cast<int>(interval);
    long double product = static_cast<long double>(dt) * static_cast<long double>(343.7);
    long double quotient = product / 2000000.0L;
    return static_cast<int>(quotient);
}

class DistanceRule : public ModuleTest {
protected:
    decltype(&distance_mm) distance = nullptr;

    void SetUp() override
    {
        load();
        distance = reinterpret_cast<decltype(&distance_mm)>(m.module_symbol("distance_mm"));
        ASSERT_NE(distance, nullptr);
    }
};

TEST_F(DistanceRule, KnownIntervals)
{
    const struct {
        long long interval;
        int mm;
    } table[] = {
        {0, 0},
        {5819, 0},
        {5820, 1},
        {5819028, 999},
        {5819029, 1000},
        {20000000, 3436},
        {40000000, 6873},
        {58190283, 10000},
        {-5820, -1},
        {-20000000, -3436},
        {2147483647, 369045},
        {-2147483647LL - 1, -369045},
        {2147483648LL, -369045},
        {3000000000LL, -369045},
        {std::numeric_limits<long long>::max(), -369045},
        {-2147483649LL, -369045},
        {std::numeric_limits<long long>::min(), -369045},
    };
    for (const auto &row : table)
        EXPECT_EQ(distance(row.interval), row.mm) << "interval " << row.interval;
    for (long long dt = 58184464; dt <= 58190282; ++dt)
        ASSERT_EQ(distance(dt), 9999) << "interval " << dt;
    EXPECT_EQ(distance(58184463), 9998);
}

// The reference really is extended precision: in double the product of
// 20000000 and 343.7 rounds up to exactly 6874000000 and gives 3437.
TEST_F(DistanceRule, ReferenceIsExtendedPrecision)
{
    EXPECT_EQ(x87_reference(20000000), 3436);
    volatile double product = 20000000.0 * 343.7;
    EXPECT_EQ(static_cast<int>(product / 2000000.0), 3437);
}

TEST_F(DistanceRule, EqualsReferenceAtEveryMultipleOf20msAndTheRangeEnds)
{
    long checked = 0;
    for (long long k = INT32_MIN / 20000000; k <= INT32_MAX / 20000000; ++k) {
        for (long long d = -1; d <= 1; ++d) {
            long long dt = k * 20000000 + d;
            ASSERT_EQ(distance(dt), x87_reference(dt)) << "interval " << dt;
            ++checked;
        }
    }
    EXPECT_GE(checked, 3 * 214);
    for (long long dt : {0LL, 1LL, -1LL, 2147483646LL, 2147483647LL, -2147483647LL, -2147483648LL})
        EXPECT_EQ(distance(dt), x87_reference(dt)) << "interval " << dt;
}

// ECHORANGE_SWEEP intervals (ten million): a third
// contiguous around zero (every small distance and its sign), a third
// spread evenly over the whole signed 32-bit range, a third pseudo-random
// (a fixed starting state, so a failure repeats).
TEST_F(DistanceRule, EqualsReferenceAcrossTheSigned32BitRange)
{
    const long long n = (ECHORANGE_SWEEP + 2) / 3;
    long long checked = 0, mismatches = 0, first_mismatch = 0;
    auto check = [&](long long dt) {
        ++checked;
        if (distance(dt) != x87_reference(dt)) {
            if (mismatches++ == 0)
                first_mismatch = dt;
        }
    };

    for (long long dt = -n / 2; dt < n - n / 2; ++dt)
        check(dt);

    const long long stride = (1LL << 32) / n;
    for (long long i = 0; i < n; ++i)
        check(INT32_MIN + i * stride + (i % 7));

    uint64_t state = 0x9e3779b97f4a7c15ULL;
    for (long long i = 0; i < n; ++i) {
        state += 0x9e3779b97f4a7c15ULL;  // splitmix64
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        check(static_cast<int32_t>(static_cast<uint32_t>(z)));
    }
    EXPECT_GE(checked, ECHORANGE_SWEEP);
    EXPECT_EQ(mismatches, 0) << "first at interval " << first_mismatch;
}

}  // namespace
}  // namespace uss_test
