// The effects of one servo loop as callers name them: a fixed table of slots, each with a
// generation, so that an id outlives its effect safely (a removed effect's id never reaches
// the effect added next in its slot). Not thread-safe: the loop serializes its writers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Orvane/HardwareAPI/Effects.h"
#include "Orvane/HardwareAPI/ServoLoop.h"

namespace Orvane::HardwareAPI::Haptics {

// The effects in force, densely packed, as the loop thread reads them: the arm's own (with
// when each was added, for its soft start), and the fixtures it sees through the workspace
// map.
struct EffectTable {
    std::array<Effect, ServoLoop::kMaxEffects> effects{};
    std::array<std::int64_t, ServoLoop::kMaxEffects> added_ns{};
    std::size_t count = 0;
    std::array<Effect, ServoLoop::kMaxEffects> fixtures{};
    std::size_t fixture_count = 0;
};

class EffectSlots {
public:
    static constexpr std::size_t kSlots = ServoLoop::kMaxEffects;
    // Ids wrap after this many reuses of one slot (some 134 million).
    static constexpr std::uint32_t kGenerations = UINT32_MAX / kSlots;

    // The new effect's id, or 0 when every slot is taken. `now_ns`: when it was added.
    EffectId Add(const Effect& effect, std::int64_t now_ns);
    // False when the id names no live effect. The effect keeps the time it was added.
    bool Update(EffectId id, const Effect& effect);
    bool Remove(EffectId id);
    bool Get(EffectId id, Effect& effect) const;

    // The live effects, in slot order.
    void Fill(EffectTable& table) const;

private:
    struct Slot {
        std::uint32_t generation = 0;
        bool used = false;
        std::int64_t added_ns = 0;
        Effect effect{};
    };

    Slot* Live(EffectId id);
    const Slot* Live(EffectId id) const;

    std::array<Slot, kSlots> slots_{};
};

}  // namespace Orvane::HardwareAPI::Haptics
