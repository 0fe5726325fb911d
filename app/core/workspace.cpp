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

Workspace::Workspace() { SetDefaults(); }

void Workspace::SelectSlot(int s) {
  if (s < 1 || s > kSlotCount) return;
  ActiveSlot = s;
  DeviceAddress = SlotAddress[static_cast<size_t>(s)];
}

void Workspace::SetDefaults() {
  DeviceAddress = 1;
  ActiveSlot = 1;
  WriteFunction = 16;
  PollTime = 5;
  PollCounter = 0;
  ResponseTime = 400;
  SelectedRow = 1;
  SelectedCol = 1;
  PollEnabled = 1;
  for (int s = 1; s <= kSlotCount; ++s) SlotAddress[static_cast<size_t>(s)] = s;
  CommPort = 1;
  BaudRate = 9600;
  DataBits = 8;
  Parity = "N";
  StopBits = 1;
  IsMaster = 0;
  RtuMode = 1;
  MonitorHex = RtuMode;
  PortActive = 0;
  StartReg = 1;
  RegLength = 100;
  RegType = 3;
  DisplayType = 0;
  CurrentPage = 1;
  for (auto& p : PageTable) p = Page{StartReg, RegLength, RegType, DisplayType};
  Store.Clear();
}

std::unique_ptr<Workspace> MakeWorkspace() { return std::make_unique<Workspace>(); }

} // namespace korvane
