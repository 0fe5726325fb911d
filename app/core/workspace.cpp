#include "app/core/workspace.h"

#include <cstring>
#include <type_traits>

namespace korvane {

void RegisterStore::Clear() {
  // Plain arrays of integers: one pass over the 2.7 MB.
  static_assert(std::is_trivially_copyable_v<RegisterStore>);
  std::memset(static_cast<void*>(Slot.data()), 0, sizeof(Slot));
}

bool GetBit(const BitTable& table, int64_t n) {
  if (n < 1 || n > static_cast<int64_t>(kBitWords) * 16) return false;
  const int64_t word = (n - 1) / 16 + 1;
  const int bit = static_cast<int>((n - 1) % 16);
  return (table[static_cast<size_t>(word)] >> bit) & 1;
}

void SetBit(BitTable& table, int64_t n, bool on) {
  if (n < 1 || n > static_cast<int64_t>(kBitWords) * 16) return;
  const int64_t word = (n - 1) / 16 + 1;
  const int bit = static_cast<int>((n - 1) % 16);
  int32_t& w = table[static_cast<size_t>(word)];
  if (on)
    w |= (1 << bit);
  else
    w &= ~(1 << bit);
}

void Workspace::SelectSlot(int s) {
  if (s < 1 || s > kSlotCount) return;
  Devices.ActiveSlot = s;
  Devices.DeviceAddress = Devices.SlotAddress[static_cast<size_t>(s)];
}

void Workspace::SetDefaults() {
  Devices = {};
  // The function-6 option is not among the settings this resets.
  const uint8_t singleRegWrite = Settings.SingleRegWrite;
  Settings = {};
  Settings.SingleRegWrite = singleRegWrite;
  View = {};
  // Of the request cycle and the other state, only these.
  Cycle.PollCounter = MasterCycle{}.PollCounter;
  Cycle.PollEnabled = MasterCycle{}.PollEnabled;
  Ui.SelectedRow = UiState{}.SelectedRow;
  Ui.SelectedCol = UiState{}.SelectedCol;
  Store.Clear();
}

std::unique_ptr<Workspace> MakeWorkspace() { return std::make_unique<Workspace>(); }

} // namespace korvane
