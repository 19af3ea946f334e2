#include "haptics/EffectSlots.h"

namespace Orvane::HardwareAPI::Haptics {
namespace {

// An id names a slot and the slot's generation; 0 names none.
std::size_t SlotOf(EffectId id) {
    return (id - 1) % EffectSlots::kSlots;
}
std::uint32_t GenerationOf(EffectId id) {
    return (id - 1) / EffectSlots::kSlots;
}

}  // namespace

EffectId EffectSlots::Add(const Effect& effect, std::int64_t now_ns) {
    for (std::size_t i = 0; i < kSlots; ++i) {
        Slot& slot = slots_[i];
        if (!slot.used) {
            slot.used = true;
            slot.added_ns = now_ns;
            slot.effect = effect;
            return static_cast<EffectId>(slot.generation * kSlots + i + 1);
        }
    }
    return 0;
}

bool EffectSlots::Update(EffectId id, const Effect& effect) {
    Slot* slot = Live(id);
    if (slot == nullptr) {
        return false;
    }
    slot->effect = effect;
    return true;
}

bool EffectSlots::Remove(EffectId id) {
    Slot* slot = Live(id);
    if (slot == nullptr) {
        return false;
    }
    slot->used = false;
    slot->generation = (slot->generation + 1) % kGenerations;
    return true;
}

bool EffectSlots::Get(EffectId id, Effect& effect) const {
    const Slot* slot = Live(id);
    if (slot == nullptr) {
        return false;
    }
    effect = slot->effect;
    return true;
}

void EffectSlots::Fill(EffectTable& table) const {
    table.count = 0;
    table.fixture_count = 0;
    for (const Slot& slot : slots_) {
        if (!slot.used) {
            continue;
        }
        if (IsFixture(slot.effect)) {
            table.fixtures[table.fixture_count++] = slot.effect;
        } else {
            table.added_ns[table.count] = slot.added_ns;
            table.effects[table.count++] = slot.effect;
        }
    }
}

EffectSlots::Slot* EffectSlots::Live(EffectId id) {
    return const_cast<Slot*>(static_cast<const EffectSlots*>(this)->Live(id));
}

const EffectSlots::Slot* EffectSlots::Live(EffectId id) const {
    if (id == 0) {
        return nullptr;
    }
    const Slot& slot = slots_[SlotOf(id)];
    return slot.used && slot.generation == GenerationOf(id) ? &slot : nullptr;
}

}  // namespace Orvane::HardwareAPI::Haptics
