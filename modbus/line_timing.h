#pragma once
// How long characters take on an asynchronous serial line: each character is
// a start bit, its data bits, an optional parity bit and its stop bits, all at
// the line's bit rate. No clock here: the master's reply deadline and anything
// that reasons about the line's timing use this one rule.
#include <cstdint>

namespace korvane {

struct CharacterFormat {
  int32_t DataBits = 8;
  bool ParityBit = false; // even, odd, mark or space: one bit more
  int32_t StopBits = 1;
};

// Bits one character takes on the line: 1 + data bits + parity bit + stop bits.
// Data bits are taken as 5..8 and stop bits as 1..2 (values outside are
// clamped to that range), so a setting from a file cannot give a nonsense result.
int32_t BitsPerCharacter(const CharacterFormat& format);

// Microseconds `characters` take at `baud` bits per second, rounded up; 0 for
// no characters or a rate of 0 or less (no known rate, no known time).
uint64_t TransmissionMicros(uint64_t characters, int64_t baud, const CharacterFormat& format);

} // namespace korvane
