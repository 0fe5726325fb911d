// Throughput of the Modbus engine alone: bytes per second through the slave's
// and the master's checkers on long streams of valid frames, fed in chunks of
// the size given as the argument (8 bytes: a slow line read byte-wise; 4096: a
// fast line read in bulk). The slave serves every request (function 3 and 16,
// 10 registers each, in turn); the master checks replies to a 10-register read.
// Replies go to a sender that only counts them.
//
//   build/bench/bench/engine_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/core/tick.h"
#include "app/core/workspace.h"
#include "modbus/core.h"
#include "modbus/frame_rules.h"
#include "modbus/master.h"
#include "modbus/sender.h"
#include "modbus/slave.h"

using namespace korvane;

namespace {

class CountingSender final : public FrameSender {
public:
  void SendCommStr(int, const std::string& frame) override {
    ++frames;
    bytes += frame.size();
  }
  int64_t frames = 0;
  int64_t bytes = 0;
};

constexpr size_t kStreamBytes = 1 << 20;

// Back-to-back requests for all five slots: read 10 holding registers, write 10.
std::vector<std::string> SlaveRequests() {
  std::vector<std::string> out;
  for (int slot = 1; slot <= kSlotCount; ++slot) {
    out.push_back(frame::Bytes({slot, 3, 0, 10 * slot, 0, 10}));
    std::string w = frame::Bytes({slot, 16, 0, 10 * slot, 0, 10, 20});
    for (int i = 0; i < 10; ++i) frame::PutWord(w, 1000 * slot + i);
    out.push_back(w);
  }
  return out;
}

std::string Stream(const std::vector<std::string>& bodies, bool ascii) {
  std::string s;
  while (s.size() < kStreamBytes)
    for (const std::string& body : bodies) {
      if (ascii) {
        s += ConvertToASCII(body);
      } else {
        std::string f = body;
        frame::AppendCrc(f);
        s += f;
      }
    }
  return s;
}

std::vector<std::string> Chunks(const std::string& s, size_t size) {
  std::vector<std::string> out;
  for (size_t at = 0; at < s.size(); at += size) out.push_back(s.substr(at, size));
  return out;
}

template <bool Ascii> void BM_Slave(benchmark::State& state) {
  auto ws = MakeWorkspace();
  ws->Settings.RtuMode = FrameModeOf(!Ascii);
  FakeTickSource ticks(1000);
  CountingSender sender;
  TSlave slave(*ws, sender, ticks);
  const std::vector<std::string> chunks = Chunks(Stream(SlaveRequests(), Ascii), state.range(0));
  int64_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& c : chunks) {
      if constexpr (Ascii)
        slave.CheckModbusASCII(static_cast<int32_t>(c.size()), c);
      else
        slave.CheckModbusRTU(static_cast<int32_t>(c.size()), c);
      bytes += static_cast<int64_t>(c.size());
    }
  }
  state.SetBytesProcessed(bytes);
  state.counters["replies/s"] =
      benchmark::Counter(static_cast<double>(sender.frames), benchmark::Counter::kIsRate);
  if (sender.frames == 0) state.SkipWithError("no request was answered");
}

template <bool Ascii> void BM_Master(benchmark::State& state) {
  auto ws = MakeWorkspace();
  ws->Settings.RtuMode = FrameModeOf(!Ascii);
  ws->Settings.IsMaster = roMaster;
  ws->View.RegType = rtHoldingRegs;
  ws->View.StartReg = 1;
  ws->View.RegLength = 10;
  ws->Cycle.PollAddress = 0;
  ComputePollWindow(*ws);
  FakeTickSource ticks(1000);
  CountingSender sender;
  TMaster master(*ws, sender, ticks);
  master.MasterPollPLC();
  ws->Cycle.ReplyDeadline = 0x7FFFFFFF; // never passed in this run
  std::string reply = frame::Bytes({1, 3, 20});
  for (int i = 0; i < 10; ++i) frame::PutWord(reply, 300 + i);
  const std::string stream = Stream({reply}, Ascii);
  const std::vector<std::string> chunks = Chunks(stream, state.range(0));
  // A status is returned per chunk, so a chunk holding several replies reports
  // one: replies are counted from the stream and checked by their effect.
  const int64_t replies_per_pass =
      static_cast<int64_t>(stream.size() / (Ascii ? ConvertToASCII(reply).size() : reply.size() + 2));
  int64_t bytes = 0, passes = 0;
  bool failed = false;
  for (auto _ : state) {
    ws->Active().HoldingRegTable[10] = 0;
    for (const std::string& c : chunks) {
      const int32_t status = Ascii ? master.MasterCheckASCII(static_cast<int32_t>(c.size()), c)
                                   : master.MasterCheckRTU(static_cast<int32_t>(c.size()), c);
      failed |= status != kReplyOk && status != kReplyNone;
      bytes += static_cast<int64_t>(c.size());
    }
    failed |= ws->Active().HoldingRegTable[10] != 309;
    ++passes;
  }
  state.SetBytesProcessed(bytes);
  state.counters["replies/s"] =
      benchmark::Counter(static_cast<double>(passes * replies_per_pass), benchmark::Counter::kIsRate);
  if (failed) state.SkipWithError("a reply was not accepted");
}

} // namespace

BENCHMARK(BM_Slave<false>)->Name("CheckModbusRTU")->Arg(8)->Arg(256)->Arg(4096);
BENCHMARK(BM_Slave<true>)->Name("CheckModbusASCII")->Arg(8)->Arg(256)->Arg(4096);
BENCHMARK(BM_Master<false>)->Name("MasterCheckRTU")->Arg(8)->Arg(256)->Arg(4096);
BENCHMARK(BM_Master<true>)->Name("MasterCheckASCII")->Arg(8)->Arg(256)->Arg(4096);

BENCHMARK_MAIN();
