#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "haptics/HistoryRing.h"
#include "haptics/LatestValue.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRun = std::chrono::milliseconds(300);

// Every word of a value says which write it came from, so a torn one shows.
struct Wide {
    std::array<std::uint64_t, 32> words{};
};

TEST(LatestValueTest, ReaderSeesOnlyWholeValuesNewestLast) {
    LatestValue<Wide> latest;
    std::atomic<bool> stop{false};
    std::uint64_t last_written = 0;
    std::thread writer([&] {
        for (std::uint64_t n = 1; !stop.load(std::memory_order_relaxed); ++n) {
            Wide& w = latest.Back();
            w.words.fill(n);
            latest.Publish();
            last_written = n;
        }
    });
    std::uint64_t seen = 0, updates = 0;
    const auto until = Clock::now() + kRun;
    while (Clock::now() < until) {
        if (!latest.Update()) {
            continue;
        }
        ++updates;
        const Wide& w = latest.Front();
        for (std::uint64_t word : w.words) {
            ASSERT_EQ(word, w.words[0]) << "torn value";
        }
        ASSERT_GT(w.words[0], seen) << "an older value came after a newer one";
        seen = w.words[0];
    }
    stop.store(true);
    writer.join();
    EXPECT_GT(updates, 0u);
    latest.Update();
    EXPECT_EQ(latest.Front().words[0], last_written);
    EXPECT_FALSE(latest.Update());
}

LoopState StateOf(std::uint64_t n) {
    const double d = static_cast<double>(n);
    return {d, n, {d, d, d}, {d, d, d}, {d, d, d}};
}

// Every field of the record says the same number.
bool Whole(const HistoryRecord& r) {
    const double d = static_cast<double>(r.state.sequence);
    bool whole = r.state.time == d && r.period_error_us == d && r.exchange_us == d;
    for (const Vec3* v : {&r.state.position, &r.state.velocity, &r.state.force}) {
        for (double c : *v) {
            whole = whole && c == d;
        }
    }
    return whole;
}

struct RingCase {
    const char* name;
    std::size_t capacity;
};

class HistoryRingTest : public ::testing::TestWithParam<RingCase> {};

// A writer that laps the reader over and over: every record read is whole, in order, and
// no older than the capacity allows. Without dropping the records the writer may have been
// over while they were copied, torn ones show here within milliseconds.
TEST_P(HistoryRingTest, ReaderLappedByTheWriterGetsOnlyWholeRecordsInOrder) {
    HistoryRing ring(GetParam().capacity);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> pushed{0};
    std::thread writer([&] {
        for (std::uint64_t n = 1; !stop.load(std::memory_order_relaxed); ++n) {
            const double d = static_cast<double>(n);
            ring.Push({StateOf(n), d, d});
            pushed.store(n, std::memory_order_relaxed);
        }
    });
    std::uint64_t reads = 0, records = 0;
    const auto until = Clock::now() + kRun;
    while (Clock::now() < until) {
        const std::uint64_t before = pushed.load(std::memory_order_relaxed);
        const std::vector<HistoryRecord> got = ring.Read();
        ++reads;
        ASSERT_LE(got.size(), GetParam().capacity);
        for (std::size_t k = 0; k < got.size(); ++k) {
            const HistoryRecord& r = got[k];
            const auto n = r.state.sequence;
            ASSERT_TRUE(Whole(r)) << "torn record " << n;
            ASSERT_GE(n + GetParam().capacity, before) << "older than the ring holds";
            if (k > 0) {
                ASSERT_EQ(n, got[k - 1].state.sequence + 1);
            }
        }
        records += got.size();
    }
    stop.store(true);
    writer.join();
    EXPECT_GT(reads, 10u);  // enough laps to matter, also under ThreadSanitizer
    EXPECT_GT(records, 0u);
}

INSTANTIATE_TEST_SUITE_P(Capacities, HistoryRingTest,
                         ::testing::Values(RingCase{"one", 1}, RingCase{"three", 3},
                                           RingCase{"many", 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Orvane::HardwareAPI::Haptics
