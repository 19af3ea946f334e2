// Effect ids: each names one effect for good, however its slot is reused.
#include <gtest/gtest.h>

#include "haptics/EffectSlots.h"

namespace {

using namespace Orvane::HardwareAPI::Haptics;

TEST(EffectSlots, RemovedIdNeverReachesTheNextEffectInItsSlot) {
    EffectSlots slots;
    const EffectId first = slots.Add(Damper{1.0}, 0);
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(slots.Remove(first));
    const EffectId second = slots.Add(Damper{2.0}, 0);
    ASSERT_NE(second, first);
    EXPECT_FALSE(slots.Update(first, Damper{9.0}));
    EXPECT_FALSE(slots.Remove(first));
    Effect e;
    EXPECT_FALSE(slots.Get(first, e));
    ASSERT_TRUE(slots.Get(second, e));
    EXPECT_EQ(std::get<Damper>(e).damping, 2.0);
    EXPECT_FALSE(slots.Get(0, e));
}

TEST(EffectSlots, FullTableAndDensePacking) {
    EffectSlots slots;
    std::vector<EffectId> ids;
    for (std::size_t i = 0; i < EffectSlots::kSlots; ++i) {
        ids.push_back(slots.Add(Damper{static_cast<double>(i)}, 0));
    }
    EXPECT_EQ(slots.Add(Damper{}, 0), 0u);
    slots.Remove(ids[3]);
    slots.Remove(ids[7]);
    EffectTable table;
    slots.Fill(table);
    ASSERT_EQ(table.count, EffectSlots::kSlots - 2);
    EXPECT_EQ(std::get<Damper>(table.effects[3]).damping, 4.0);
    EXPECT_EQ(std::get<Damper>(table.effects[6]).damping, 8.0);
}

}  // namespace
