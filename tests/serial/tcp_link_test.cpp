// The serial component on network links through the default backend: device
// strings, a client link to a loopback server (bytes both ways, loss, the
// back-off, the return), a refused first connection, and a listener that
// takes one client at a time.
#include "event_log.h"
#include "serial/platform/tcp_backend.h"
#include "serial/serial_port.h"
#include "tcp_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>

using namespace korvane;
using namespace std::chrono_literals;
using korvane::test::EventLog;
using korvane::test::MessageOf;
using korvane::test::TcpConnection;
using korvane::test::TcpListener;

namespace {

struct DeviceCase {
  const char* text;
  bool valid;
  bool listen;
  const char* host;
  uint16_t port;
};

// COM3 on a network link; handlers run on the test thread (QueuedInvoker),
// as on the user-interface thread, and link changes go into the event log.
class TcpLinkTest : public ::testing::Test {
protected:
  void SetUp() override {
    port = std::make_unique<TSerialPort>(invoker, DefaultCommBackend(), ports);
    port->SetPort(spCOM3);
    log.Attach(*port);
    port->OnLinkChange = [this](TSerialPort&, const LinkStatus& link) {
      log.Add(std::string(link.Up ? "up: " : "down: ") + link.Text);
    };
  }
  void Map(const std::string& device) { ports.SetPortOverride(3, device); }
  // Pumps at most ten seconds (a reconnection waits out its back-off).
  bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      invoker.WaitAndPump(20ms);
    }
    return true;
  }
  bool PumpUntilEntry(const std::string& entry) {
    return PumpUntil([&] { return log.Count(entry) > 0; });
  }
  // A round trip with NUL bytes on an established connection.
  void RoundTrip(TcpConnection& peer) {
    const std::string out("\x01\x03\x00\x00\x00\x02\xc4\x0b", 8);
    ASSERT_EQ(port->SendBuffer(out.data(), static_cast<uint32_t>(out.size())), out.size());
    EXPECT_EQ(peer.Read(out.size()), out);
    const std::string in("\x01\x03\x04\x00\x00\xff\x00\x00\x00", 9);
    const size_t before = log.Received().size();
    ASSERT_TRUE(peer.Write(in));
    ASSERT_TRUE(PumpUntil([&] { return log.Received().size() >= before + in.size(); }));
    EXPECT_EQ(log.Received().substr(before), in);
  }

  PortMap ports{"/nonexistent-sys", "/nonexistent-dev"};
  QueuedInvoker invoker;
  EventLog log;
  std::unique_ptr<TSerialPort> port;
};

} // namespace

TEST(NetworkDeviceText, ClientAndListenerForms) {
  const DeviceCase cases[] = {
      {"tcp:127.0.0.1:502", true, false, "127.0.0.1", 502},
      {"tcp:gateway.local:4001", true, false, "gateway.local", 4001},
      {"tcp:[::1]:1502", true, false, "::1", 1502},
      {"tcp:host:65535", true, false, "host", 65535},
      {"tcp-listen:1502", true, true, "", 1502},
      {"tcp-listen:0", true, true, "", 0},
      {"tcp-listen:127.0.0.1:0", true, true, "127.0.0.1", 0},
      {"tcp-listen:[::]:5020", true, true, "::", 5020},
      {"tcp:127.0.0.1", false, false, "", 0},    // no port
      {"tcp::502", false, false, "", 0},         // no host
      {"tcp:host:0", false, false, "", 0},       // a client needs a real port
      {"tcp:host:65536", false, false, "", 0},   // out of range
      {"tcp:host:5o2", false, false, "", 0},     // not a number
      {"tcp:host:", false, false, "", 0},        // empty port
      {"tcp:::1:502", false, false, "", 0},      // IPv6 without brackets
      {"tcp:[::1]502", false, false, "", 0},     // bracket without its colon
      {"tcp:ho st:502", false, false, "", 0},    // blank inside the host
      {"tcp-listen:", false, false, "", 0},      // nothing
      {"tcp-listen:70000", false, false, "", 0}, // out of range
      {"tcp-listen:host:", false, false, "", 0}, // empty port
      {"/dev/ttyUSB0", false, false, "", 0},     // a device, not a link
  };
  for (const DeviceCase& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = ParseNetworkDevice(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(parsed->Listen, c.listen);
    EXPECT_EQ(parsed->Host, c.host);
    EXPECT_EQ(parsed->Port, c.port);
  }
  EXPECT_TRUE(IsNetworkDevice("tcp:"));
  EXPECT_TRUE(IsNetworkDevice("tcp-listen:x"));
  EXPECT_FALSE(IsNetworkDevice("/dev/ttyS0"));
  EXPECT_FALSE(IsNetworkDevice("tcpx:1:2"));
}

TEST_F(TcpLinkTest, ClientCarriesBytesBothWaysAndComesBackAfterALoss) {
  TcpListener server;
  ASSERT_TRUE(server.Ok());
  const std::string where = "127.0.0.1:" + std::to_string(server.Port());
  Map("tcp:" + where);
  port->Open();
  ASSERT_EQ(port->ConnectedPort(), spCOM3);
  EXPECT_EQ(log.Entries().front(), "connect COM3");
  TcpConnection peer = server.Accept();
  ASSERT_TRUE(peer.Ok());
  LinkStatus link;
  ASSERT_TRUE(port->GetLinkStatus(link));
  EXPECT_TRUE(link.Up);
  EXPECT_EQ(link.Text, "connected to " + where);
  // A peer is there: CTS, DSR and carrier.
  TLineStatusSet lines;
  for (TLineStatus l : {lsCTS, lsDSR, lsRLSD}) lines.Include(l);
  ASSERT_TRUE(PumpUntilEntry("lines " + std::to_string(lines.Bits)))
      << ::testing::PrintToString(log.Entries());
  RoundTrip(peer);

  peer.Close();
  ASSERT_TRUE(PumpUntilEntry("down: connection to " + where + " lost; retrying in 1 s"))
      << ::testing::PrintToString(log.Entries());
  EXPECT_EQ(port->ConnectedPort(), spCOM3) << "the port stays open while its link is down";
  EXPECT_EQ(MessageOf([&] { port->SendString("x"); }), "COM3 is not open.") << "no peer to write to";
  EXPECT_EQ(log.Count("disconnect COM3"), 0u);

  // The next attempt, a second later, reaches the server again.
  // The reader waits for the owner thread on each event: keep pumping meanwhile.
  TcpConnection again;
  ASSERT_TRUE(PumpUntil([&] {
    again = server.Accept(0ms);
    return again.Ok();
  }));
  ASSERT_TRUE(PumpUntil([&] { return log.Count("up: connected to " + where) == 1; }))
      << ::testing::PrintToString(log.Entries());
  RoundTrip(again);

  port->Close();
  EXPECT_EQ(port->ConnectedPort(), spNone);
  EXPECT_TRUE(again.ClosedByPeer()) << "closing the port ends the connection";
}

TEST_F(TcpLinkTest, ClientBacksOffWhileNobodyListens) {
  auto server = std::make_unique<TcpListener>();
  ASSERT_TRUE(server->Ok());
  const std::string where = "127.0.0.1:" + std::to_string(server->Port());
  Map("tcp:" + where);
  port->Open();
  TcpConnection peer = server->Accept();
  ASSERT_TRUE(peer.Ok());
  server.reset(); // from now on the port refuses connections
  peer.Close();
  const std::string refused = "down: cannot connect to " + where + " (Connection refused); retrying in ";
  ASSERT_TRUE(PumpUntilEntry(refused + "4 s")) << ::testing::PrintToString(log.Entries());
  std::vector<std::string> links;
  for (const auto& e : log.Entries())
    if (e.rfind("down: ", 0) == 0 || e.rfind("up: ", 0) == 0) links.push_back(e);
  EXPECT_EQ(links, (std::vector<std::string>{"down: connection to " + where + " lost; retrying in 1 s",
                                             refused + "2 s", refused + "4 s"}));
  port->Close();
  EXPECT_EQ(port->ConnectedPort(), spNone);
}

TEST_F(TcpLinkTest, OpenFailsWhenNothingListens) {
  const uint16_t unused = test::UnusedPort();
  ASSERT_NE(unused, 0);
  const std::string device = "tcp:127.0.0.1:" + std::to_string(unused);
  Map(device);
  EXPECT_EQ(MessageOf([&] { port->Open(); }), "Cannot connect to COM3.");
  EXPECT_EQ(port->ConnectedPort(), spNone);
  EXPECT_NE(port->LastOpenError().find(device), std::string::npos) << port->LastOpenError();
  EXPECT_NE(port->LastOpenError().find("refused"), std::string::npos) << port->LastOpenError();
  EXPECT_TRUE(log.Entries().empty()) << "no connect or disconnect for a port that never opened";
}

TEST_F(TcpLinkTest, ListenerTakesOneClientAtATimeAndWaitsForTheNext) {
  Map("tcp-listen:127.0.0.1:0");
  port->Open();
  ASSERT_EQ(port->ConnectedPort(), spCOM3);
  LinkStatus link;
  ASSERT_TRUE(port->GetLinkStatus(link));
  EXPECT_FALSE(link.Up);
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(link.Text, m, std::regex(R"(listening on 127\.0\.0\.1:(\d+), waiting for a client)")))
      << link.Text;
  const auto listenPort = static_cast<uint16_t>(std::stoi(m[1]));
  ASSERT_NE(listenPort, 0) << "port 0 asks for a free port, and the text names the one taken";
  EXPECT_EQ(MessageOf([&] { port->SendString("x"); }), "COM3 is not open.") << "no client yet";

  TcpConnection first = TcpConnection::To(listenPort);
  ASSERT_TRUE(first.Ok());
  ASSERT_TRUE(PumpUntil([&] {
    for (const auto& e : log.Entries())
      if (std::regex_match(e, std::regex(R"(up: client 127\.0\.0\.1:\d+ connected)"))) return true;
    return false;
  })) << ::testing::PrintToString(log.Entries());
  RoundTrip(first);

  // A second master is turned away; the first one goes on.
  TcpConnection second = TcpConnection::To(listenPort);
  ASSERT_TRUE(second.Ok());
  EXPECT_TRUE(PumpUntil([&] { return second.ClosedByPeer(0ms); })) << "a second client is closed at once";
  RoundTrip(first);

  first.Close();
  ASSERT_TRUE(PumpUntil([&] {
    for (const auto& e : log.Entries())
      if (std::regex_match(e, std::regex(R"(down: client 127\.0\.0\.1:\d+ disconnected; listening on )"
                                         R"(127\.0\.0\.1:\d+, waiting for the next client)")))
        return true;
    return false;
  })) << ::testing::PrintToString(log.Entries());
  EXPECT_EQ(port->ConnectedPort(), spCOM3);

  TcpConnection third = TcpConnection::To(listenPort);
  ASSERT_TRUE(third.Ok());
  ASSERT_TRUE(PumpUntil([&] {
    size_t ups = 0;
    for (const auto& e : log.Entries()) ups += e.rfind("up: client ", 0) == 0;
    return ups == 2;
  })) << ::testing::PrintToString(log.Entries());
  RoundTrip(third);

  port->Close();
  EXPECT_TRUE(third.ClosedByPeer());
  EXPECT_FALSE(TcpConnection::To(listenPort).Ok()) << "a closed port listens no more";
}
