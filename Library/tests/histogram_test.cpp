#include <gtest/gtest.h>

#include <cstdint>

#include "haptics/Histogram.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

TEST(HistogramBucketsTest, EachBucketEndsWhereTheNextBegins) {
    EXPECT_EQ(Histogram::Index(0), 0u);
    for (std::size_t i = 0; i + 1 < Histogram::kBuckets; ++i) {
        const std::uint64_t last = Histogram::UpperBound(i);
        ASSERT_EQ(Histogram::Index(last), i) << "bucket " << i;
        ASSERT_EQ(Histogram::Index(last + 1), i + 1) << "bucket " << i;
    }
    // Exact below 64 ns, then 64 buckets per power of two.
    EXPECT_EQ(Histogram::Index(63), 63u);
    EXPECT_EQ(Histogram::Index(64), 64u);
    EXPECT_EQ(Histogram::Index(128), 128u);
    EXPECT_EQ(Histogram::Index(129), 128u);
    EXPECT_EQ(Histogram::Index(~std::uint64_t{0}), Histogram::kBuckets - 1);
}

struct PercentileCase {
    const char* name;
    std::uint64_t first, count, step;
    double p50, p99, p999, max;
};

class HistogramPercentileTest : public ::testing::TestWithParam<PercentileCase> {};

TEST_P(HistogramPercentileTest, ReportsTheBucketsUpperBoundCappedAtTheMaximum) {
    const PercentileCase& c = GetParam();
    Histogram h;
    for (std::uint64_t k = 0; k < c.count; ++k) {
        h.Record(c.first + k * c.step);
    }
    const Histogram::Summary s = h.Summarize();
    EXPECT_EQ(s.p50, c.p50);
    EXPECT_EQ(s.p99, c.p99);
    EXPECT_EQ(s.p999, c.p999);
    EXPECT_EQ(s.max, c.max);
}

INSTANTIATE_TEST_SUITE_P(
    Values, HistogramPercentileTest,
    ::testing::Values(PercentileCase{"empty", 0, 0, 1, 0, 0, 0, 0},
                      // 0..63 are counted exactly: ranks 32 and 63 of 64 are 31 and 62.
                      PercentileCase{"exact_range", 0, 64, 1, 31, 62, 62, 63},
                      // 128 and 129 share a bucket whose last value is 129.
                      PercentileCase{"shared_bucket", 128, 2, 1, 129, 129, 129, 129},
                      // Past the last octave every value lands in one bucket, reported as
                      // the largest seen.
                      PercentileCase{"overflow", std::uint64_t{1} << 50, 3, 1,
                                     (std::uint64_t{1} << 50) + 2, (std::uint64_t{1} << 50) + 2,
                                     (std::uint64_t{1} << 50) + 2, (std::uint64_t{1} << 50) + 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
