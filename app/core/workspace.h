#pragma once
// The one workspace of the program: the register store of five address slots,
// the serial and protocol settings, the view of the grid with its twenty pages,
// the master request cycle and the traffic-monitor buffers. Everything is read
// and written in place by name, on the user-interface thread only, so there are
// no locks. Tables, slots and pages are numbered from 1: element 0 of every
// array exists but is never used.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "app/core/run_options.h"
#include "app/core/workspace_codes.h"

namespace korvane {

constexpr int kSlotCount = 5;
constexpr int kPageCount = 20;
constexpr int kBitWords = 4096;   // 16 coils or inputs per word: 65536 bits
constexpr int kRegisters = 65536; // register numbers 1..65536
constexpr int kWriteValues = 200;
constexpr int kGridRows = 20;
constexpr int kGridCols = 5;
constexpr int kGridCells = kGridRows * kGridCols;

// A bit table: word w (1..4096) holds coils 16*(w-1)+1 .. 16*w in bits 0..15.
using BitTable = std::array<int32_t, kBitWords + 1>;
// A register table: element n (1..65536) holds register n as 0..65535
// (the value ramp may store any 32-bit value).
using RegTable = std::array<int32_t, kRegisters + 1>;

struct AddressSlot {
  BitTable CoilTable{};
  BitTable StatusTable{};
  RegTable InputRegTable{};
  RegTable HoldingRegTable{};
  bool operator==(const AddressSlot&) const = default;
};

struct RegisterStore {
  std::array<AddressSlot, kSlotCount + 1> Slot{}; // Slot[1..5]
  void Clear();
  bool operator==(const RegisterStore&) const = default;
};

// Bit rules shared by every user of the bit tables. `n` is the 1-based coil or
// input number; word (n-1) div 16 + 1, bit (n-1) mod 16. Numbers outside
// 1..65536 read as 0 and are never written.
bool GetBit(const BitTable& table, int64_t n);
void SetBit(BitTable& table, int64_t n, bool on);
// The same rules by protocol address a = n - 1 (0..65535).
inline bool GetBitAt(const BitTable& table, int64_t a) { return GetBit(table, a + 1); }
inline void SetBitAt(BitTable& table, int64_t a, bool on) { SetBit(table, a + 1, on); }

// One saved view. The default page is the start view of the grid.
struct Page {
  int32_t PageStart = 1;
  int32_t PageLength = 100;
  TRegType PageRegType = rtHoldingRegs;
  TDisplayType PageDisplayType = dtDecimal;
  bool operator==(const Page&) const = default;
};

// Shared traffic-monitor buffers and switches (see monitor/core).
struct MonitorState {
  uint8_t MonitorTxOn = 1;
  uint8_t MonitorRxOn = 1;
  uint8_t MonitorStopped = 0;
  std::string MonitorText;
  std::string MonitorTxText;
  std::string MonitorRxText;
  int32_t MonitorRxCount = 0;
  bool operator==(const MonitorState&) const = default;
};

// The Modbus address of each slot and the slot in use.
struct DeviceAddresses {
  std::array<int32_t, kSlotCount + 1> SlotAddress{0, 1, 2, 3, 4, 5}; // slot s has address s
  int32_t ActiveSlot = 1;
  int32_t DeviceAddress = 1; // SlotAddress[ActiveSlot]
  bool operator==(const DeviceAddresses&) const = default;
};

// Serial and protocol settings.
struct WorkspaceSettings {
  int32_t CommPort = 1;
  int32_t BaudRate = 9600;
  TDataBitsCode DataBits = db8Bits;
  std::string Parity = "N";
  TStopBitsCode StopBits = st1Bit;
  TRole IsMaster = roSlave;
  TFrameMode RtuMode = fmRtu;
  uint8_t PortActive = 0;
  int32_t PollTime = 5;
  int32_t ResponseTime = 400;
  uint8_t SingleRegWrite = 0;
  int32_t WriteFunction = 16;
  uint8_t MonitorHex = static_cast<uint8_t>(RtuMode); // equal to RtuMode at start
  bool operator==(const WorkspaceSettings&) const = default;
};

// The view of the grid and its twenty saved pages.
struct ViewState {
  int32_t StartReg = Page{}.PageStart;
  int32_t RegLength = Page{}.PageLength;
  TRegType RegType = Page{}.PageRegType;
  TDisplayType DisplayType = Page{}.PageDisplayType;
  int32_t CurrentPage = 1;
  std::array<Page, kPageCount + 1> PageTable{};
  bool operator==(const ViewState&) const = default;
};

// The master request cycle.
struct MasterCycle {
  uint8_t PollEnabled = 1;
  int32_t PollCounter = 0;
  int32_t PollAddress = 0;
  int32_t PollCount = 0;
  uint32_t ReplyDeadline = 0; // ticks of the one tick source
  int32_t MasterWrite = 0;
  std::array<int32_t, kWriteValues + 1> WriteValues{};
  int32_t WriteAddress = 0;
  int32_t WriteCount = 0;
  uint8_t RegsChanged = 0;
  bool operator==(const MasterCycle&) const = default;
};

// Other user-interface state.
struct UiState {
  int32_t SelectedCol = 1;
  int32_t SelectedRow = 1;
  int32_t FloatHiWord = 0;
  int32_t FloatLoWord = 0;
  std::string FloatDecodeStatus;
  std::string HelpFilePath;
  bool operator==(const UiState&) const = default;
};

// Every group starts with its defaults; SetDefaults brings back what
// creating the main window resets.
struct Workspace {
  // Sets every default that creating the main window sets, and clears the store.
  void SetDefaults();

  // --- Register store and device addresses
  RegisterStore Store;
  DeviceAddresses Devices;

  // Shortcut to the tables of slot s (1..5).
  AddressSlot& SlotTables(int s) { return Store.Slot[static_cast<size_t>(s)]; }
  const AddressSlot& SlotTables(int s) const { return Store.Slot[static_cast<size_t>(s)]; }
  AddressSlot& Active() { return SlotTables(Devices.ActiveSlot); }
  const AddressSlot& Active() const { return SlotTables(Devices.ActiveSlot); }
  // Choosing item p (0-based) of the address selector: slot p + 1.
  void SelectSlot(int s);

  WorkspaceSettings Settings;
  ViewState View;
  MasterCycle Cycle;
  UiState Ui;
  MonitorState Monitor;

  // --- Options of this run (command line and dialog; not in the register file)
  RunOptions Run;
};

// The store is 2.7 MB: always on the heap.
std::unique_ptr<Workspace> MakeWorkspace();

} // namespace korvane
