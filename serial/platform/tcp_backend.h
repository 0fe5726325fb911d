#pragma once
// The network backend of the platform layer: a COM number mapped to a TCP
// link instead of a serial device. Serial device servers (Ethernet to RS-485
// gateways) carry the RTU or ASCII bytes unchanged, so the component and
// everything above it see an ordinary port.
//
//   tcp:HOST:PORT                 connects to HOST (a name, an IPv4 address or
//                                 [an IPv6 address]) at PORT (1..65535)
//   tcp-listen:PORT               listens on every IPv4 address at PORT and
//   tcp-listen:HOST:PORT          takes one client at a time (PORT 0: a free
//                                 port the system picks; the link text names it)
//
// A link that drops stays open: the client connects again after 1, 2, 4, then
// every 8 seconds; the listener waits for its next client. GetLinkStatus tells
// which state the link is in, in words; the modem status shows CTS, DSR and
// carrier while a peer is there.
#include "serial/platform/comm_backend.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

struct NetworkDevice {
  bool Listen = false;
  std::string Host; // empty only for a listener on every address
  uint16_t Port = 0;
};

// True when `device` is written as a network link ("tcp:" or "tcp-listen:"),
// well formed or not.
bool IsNetworkDevice(const std::string& device);
// The parts of a network device string; nullopt when it is not one or is
// malformed (no port, a port outside its range, an empty host for a client,
// an IPv6 address without brackets).
std::optional<NetworkDevice> ParseNetworkDevice(const std::string& device);

// Handles of the network backend start here, far above any file descriptor,
// so a handle tells which backend opened it.
inline constexpr CommHandle kNetworkHandleBase = 0x40000000;
inline constexpr bool IsNetworkHandle(CommHandle handle) { return handle >= kNetworkHandleBase; }

// Timing of a client link: the first connection is tried for at most
// kConnectTimeoutMs inside Open; after a loss the next try comes after
// kFirstRetryMs, and each failure doubles the wait up to kLongestRetryMs.
inline constexpr uint32_t kConnectTimeoutMs = 3000;
inline constexpr uint32_t kFirstRetryMs = 1000;
inline constexpr uint32_t kLongestRetryMs = 8000;

CommBackend& NetworkBackend();

} // namespace korvane
