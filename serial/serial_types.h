#pragma once
// Enumerations, sets, name tables and the error type of the serial port
// component. Ordinals are fixed: the COM number is the ordinal of TCommPort,
// and the other ordinals are what the component stores and hands to devices.
#include <bitset>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvane {

enum TCommPort : uint8_t {
  spNone = 0,
  spCOM1 = 1,
  spCOM2 = 2,
  spCOM3 = 3,
  spCOM4 = 4,
  spCOM5 = 5,
  spCOM6 = 6,
  spCOM7 = 7,
  spCOM8 = 8,
  spCOM9 = 9,
  spCOM10 = 10,
  spCOM11 = 11,
  spCOM12 = 12,
  spCOM13 = 13,
  spCOM14 = 14,
  spCOM15 = 15,
  spCOM16 = 16,
  spCOM17 = 17,
  spCOM18 = 18,
  spCOM19 = 19,
  spCOM20 = 20,
  spCOM21 = 21,
  spCOM22 = 22,
  spCOM23 = 23,
  spCOM24 = 24,
  spCOM25 = 25,
  spCOM26 = 26,
  spCOM27 = 27,
  spCOM28 = 28,
  spCOM29 = 29,
  spCOM30 = 30,
  spCOM31 = 31,
  spCOM32 = 32,
  spCOM33 = 33,
  spCOM34 = 34,
  spCOM35 = 35,
  spCOM36 = 36,
  spCOM37 = 37,
  spCOM38 = 38,
  spCOM39 = 39,
  spCOM40 = 40,
  spCOM41 = 41,
  spCOM42 = 42,
  spCOM43 = 43,
  spCOM44 = 44,
  spCOM45 = 45,
  spCOM46 = 46,
  spCOM47 = 47,
  spCOM48 = 48,
  spCOM49 = 49,
  spCOM50 = 50,
  spCOM51 = 51,
  spCOM52 = 52,
  spCOM53 = 53,
  spCOM54 = 54,
  spCOM55 = 55,
  spCOM56 = 56,
  spCOM57 = 57,
  spCOM58 = 58,
  spCOM59 = 59,
  spCOM60 = 60,
  spCOM61 = 61,
  spCOM62 = 62,
  spCOM63 = 63,
  spCOM64 = 64,
  spCOM65 = 65,
  spCOM66 = 66,
  spCOM67 = 67,
  spCOM68 = 68,
  spCOM69 = 69,
  spCOM70 = 70,
  spCOM71 = 71,
  spCOM72 = 72,
  spCOM73 = 73,
  spCOM74 = 74,
  spCOM75 = 75,
  spCOM76 = 76,
  spCOM77 = 77,
  spCOM78 = 78,
  spCOM79 = 79,
  spCOM80 = 80,
  spCOM81 = 81,
  spCOM82 = 82,
  spCOM83 = 83,
  spCOM84 = 84,
  spCOM85 = 85,
  spCOM86 = 86,
  spCOM87 = 87,
  spCOM88 = 88,
  spCOM89 = 89,
  spCOM90 = 90,
  spCOM91 = 91,
  spCOM92 = 92,
  spCOM93 = 93,
  spCOM94 = 94,
  spCOM95 = 95,
  spCOM96 = 96,
  spCOM97 = 97,
  spCOM98 = 98,
  spCOM99 = 99
};
constexpr int kMaxCommPort = 99;

enum TBaudRate : uint8_t {
  br000110 = 0,
  br000300 = 1,
  br000600 = 2,
  br001200 = 3,
  br002400 = 4,
  br004800 = 5,
  br009600 = 6,
  br014400 = 7,
  br019200 = 8,
  br038400 = 9,
  br057600 = 10,
  br115200 = 11,
  br128000 = 12,
  br256000 = 13,
  brCustom = 14
};

enum TDataWidth : uint8_t { dw5Bits = 0, dw6Bits = 1, dw7Bits = 2, dw8Bits = 3 };
enum TStopBits : uint8_t { sb1Bit = 0, sb1_5Bits = 1, sb2Bits = 2 };
enum TParityBits : uint8_t { pbNone = 0, pbOdd = 1, pbEven = 2, pbMark = 3, pbSpace = 4 };
enum THwFlowControl : uint8_t { hfNONE = 0, hfRTS = 1, hfRTSCTS = 2 };
enum TSwFlowControl : uint8_t { sfNONE = 0, sfXONXOFF = 1 };
enum TThreadPriority : uint8_t {
  tpIdle = 0,
  tpLowest = 1,
  tpLower = 2,
  tpNormal = 3,
  tpHigher = 4,
  tpHighest = 5,
  tpTimeCritical = 6
};

// The thread priority handed to the platform for each TThreadPriority
// (-15, -2, -1, 0, 1, 2, 15); out-of-range ordinals give 0.
int ThreadPriorityValue(TThreadPriority priority);

// The four modem input lines.
enum TLineStatus : uint8_t { lsCTS = 0, lsDSR = 1, lsRING = 2, lsRLSD = 3 };

// A set of modem input lines held in one byte (bit n = line of ordinal n).
struct TLineStatusSet {
  uint8_t Bits = 0;

  bool Contains(TLineStatus line) const { return (Bits >> line) & 1u; }
  TLineStatusSet& Include(TLineStatus line) {
    Bits = static_cast<uint8_t>(Bits | (1u << line));
    return *this;
  }
  bool Empty() const { return Bits == 0; }
  friend bool operator==(TLineStatusSet a, TLineStatusSet b) { return a.Bits == b.Bits; }
};

// A set of COM ports (bit n = COM number n; bit 0 is spNone and never set by the component).
struct TCommPortSet {
  std::bitset<kMaxCommPort + 1> Bits;

  bool Contains(TCommPort port) const { return port <= kMaxCommPort && Bits.test(port); }
  TCommPortSet& Include(TCommPort port) {
    if (port <= kMaxCommPort) Bits.set(port);
    return *this;
  }
  bool Empty() const { return Bits.none(); }
  friend bool operator==(const TCommPortSet& a, const TCommPortSet& b) { return a.Bits == b.Bits; }
};

// The one failure type of the serial component. Its message is the text users
// see: "Cannot connect to COM3.", "COM3 is not open." or
// "Invalid data-width and stop-bits combination.". A connect error also says
// why, when that is known ("/dev/ttyUSB0: in use by another program"): a
// second part, shown after the message.
class SerialError : public std::runtime_error {
public:
  explicit SerialError(const std::string& message, std::string reason = {})
      : std::runtime_error(message), reason_(std::move(reason)) {}
  const std::string& Reason() const { return reason_; }

private:
  std::string reason_;
};

// "COM1".."COM99" (whole text, case-sensitive, no leading zero) -> the port;
// anything else -> spNone.
TCommPort PortFromName(const std::string& name);
// "COM" + number for 1..99; the empty text for spNone or any other ordinal.
std::string PortName(TCommPort port);
// The fourteen standard rates map to their entries, every other value to brCustom.
TBaudRate BaudRateFromValue(int32_t value);
// The rate of a standard entry; brCustom (or any other ordinal) gives `custom`.
int32_t BaudRateValue(TBaudRate rate, int32_t custom);

} // namespace korvane
