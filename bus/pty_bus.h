#pragma once
// The pseudo-terminals of korvane-bus and the poll loop that joins them.
//
// Each node is a pseudo-terminal whose slave side (/dev/pts/M) a program opens as its serial
// port; the bus reads and writes the master sides. The bus holds every slave side open itself,
// so a program closing its port neither hangs up the master nor loses the line settings, and
// the node works again when it is reopened. Master sides are nonblocking: bytes for a node that
// cannot take them wait in a bounded queue, what does not fit is dropped and counted, and the
// bus goes on.
//
// Like a port on a real line, a node nobody has open receives nothing: the bus follows the
// programs' opens and closes (inotify), drops the bytes meant for a node while no program holds
// it, and discards what the last program left unread when it closes, so a program opening the
// node later does not read old traffic.
#include "bus/bus_core.h"

#include <poll.h>

#include <csignal>
#include <string>
#include <vector>

namespace korvane::bus {

struct BusNode {
  int Master = -1;
  int HeldSlave = -1;           // the bus's own descriptor of the slave side
  int Watch = -1;               // inotify watch on the slave device
  bool Held = false;            // a program has the slave side open (always true without a watch)
  std::vector<uint8_t> Pending; // bytes for the node its terminal could not take yet
  std::string Device;           // /dev/pts/M
  std::string Link;             // empty without --link
};

class PtyBus {
public:
  explicit PtyBus(const BusOptions& options);
  PtyBus(const PtyBus&) = delete;
  PtyBus& operator=(const PtyBus&) = delete;
  ~PtyBus(); // removes the links and closes every descriptor

  // Makes the nodes and their links; false with Error() set.
  bool Open();
  const std::string& Error() const { return error_; }
  const std::vector<BusNode>& Nodes() const { return nodes_; }

  // Carries bytes until `stop` is set. The caller blocks the signals that set it; `wait_mask`
  // is the mask during the wait (ppoll), so a signal always ends the wait. False when polling
  // fails for another reason.
  bool Run(const volatile std::sig_atomic_t& stop, const sigset_t* wait_mask);

  // Removes the links that still point at their devices.
  void RemoveLinks();

  const std::vector<NodeCounts>& Counts() const { return router_.Counts(); }

private:
  bool OpenNode(size_t index);
  bool MakeLink(BusNode& node);
  // Takes the programs' opens and closes reported so far: a node opened is held; a node closed
  // is held while another process still has it open, and its input is emptied when not.
  void FollowHolders();
  // Node `index` was opened, or closed by some program.
  void Follow(size_t index, bool opened);
  // One pass over a node after the wait: a hang-up of its slave side, bytes waiting to go out,
  // bytes it wrote.
  void Serve(size_t index);
  // A node rests (is left out of the wait) while its terminal cannot be held.
  void Rest(size_t index, bool on);
  // The bus's own slave descriptor was hung up: hold the slave side anew and set it raw again.
  // False when it cannot be reopened.
  bool HoldAgain(BusNode& node);
  // Hands bytes to a node: written, or queued behind what already waits; returns how many.
  size_t WriteTo(size_t to, std::span<const uint8_t> bytes);
  void SendPending(BusNode& node);
  // What waits for the node is dropped (and counted so).
  void DropPending(size_t index);

  BusOptions options_;
  std::vector<BusNode> nodes_;
  BusRouter router_;
  int inotify_ = -1;
  // The wait of Run: [0] the open events, [1 + i] node i's master, [1 + N + i] node i's slave
  // side as the bus holds it.
  std::vector<pollfd> fds_;
  std::vector<bool> resting_;
  std::vector<uint8_t> chunk_;
  std::string error_;
};

} // namespace korvane::bus
