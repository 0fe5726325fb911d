#pragma once
// The passive poll of listen-only mode: the frames the line analyzer cuts from
// a bus Korvane only listens to, turned into values in the tables. A reply
// paired with its request stores what the request asked for into every slot
// whose address is the replying device's: coils for function 1, discrete
// inputs for 2, holding registers for 3, input registers for 4; a reply that
// confirms a write (5, 6, 15, 16) stores what that write wrote. So the grid
// shows the live values of the bus, and the status line the last exchange.
// No Qt, no clock: frames in, the store and a status text out.
#include <optional>
#include <string>

#include "app/core/workspace.h"
#include "modbus/line_decoder.h"

namespace korvane {

// What one frame did.
struct SeenExchange {
  // The status line: "Seen: device 7 Read Holding Registers 1-10, reply in
  // 4.2 ms"; nullopt for a frame that completes no exchange (a request, noise,
  // a frame with a bad checksum, a reply without its request).
  std::optional<std::string> StatusText;
  // Values went into the shown table of the active slot: the grid is redrawn.
  bool Redraw = false;
};

class PassivePoll {
public:
  explicit PassivePoll(Workspace& ws) : ws_(ws) {}

  // One frame as the analyzer framed it, in line order. Values are stored
  // only from frames whose checksum holds, never past entry 65536, only as
  // many as the reply (or, for 15 and 16, the request) carries and the
  // request asked for. A store sets RegsChanged. `timed`: the read stamps
  // can time the line (the analyzer's TimingResolved), so the status text
  // gives the reply time.
  SeenExchange OnFrame(const line::Frame& frame, bool timed = true);
  // Forgets the request held for the next reply (the port closed).
  void Reset() { haveRequest_ = false; }

private:
  // Stores what `reply` answers or confirms; true when the active slot's
  // shown table took values.
  bool StoreReply(const line::Frame& reply, const line::Fields& fields);

  Workspace& ws_;
  // The last request seen with a good checksum: a reply to 15 or 16 carries
  // no values of its own.
  line::Frame request_;
  bool haveRequest_ = false;
};

// The status text of a paired reply or exception: "Seen: device 7 Read
// Holding Registers 1-10, reply in 4.2 ms", "Seen: device 3 Write Single Coil
// 17, reply in 1.0 ms", "Seen: device 7 Read Coils 1-8, exception 2 Illegal
// Data Address"; the reply time is left out when it is not known or not
// `timed` (read stamps of a pseudo-terminal or a network link say nothing of
// the line).
std::string SeenText(const line::Frame& reply, const line::Fields& fields, bool timed = true);

} // namespace korvane
