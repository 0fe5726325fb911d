#pragma once
// A pseudo-terminal pair standing in for a serial line in tests: the
// component opens the slave by its path; the test holds the master (the far
// end of the line). All waits are bounded.
#include <cstdint>
#include <string>

namespace korvane::test {

class PtyPair {
public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0; }
  const std::string& Error() const { return error_; }
  const std::string& SlavePath() const { return slave_path_; }
  int MasterFd() const { return master_; }

  // Writes all bytes to the line.
  bool Write(const std::string& bytes);
  // Reads until `count` bytes came or `timeout_ms` passed without any byte.
  std::string Read(size_t count, int timeout_ms = 5000);
  // The far end goes away.
  void CloseMaster();

private:
  int master_ = -1;
  std::string slave_path_;
  std::string error_;
};

// The line settings of a terminal as the kernel holds them (read through the
// master, which reports its slave's settings).
struct LineProbe {
  bool ok = false;
  uint32_t output_rate = 0;
  uint32_t input_rate = 0;
  bool other_rate = false; // the rate is given as a number, not a classic code
  int data_bits = 0;
  bool parity = false, odd = false, mark_space = false, two_stop = false;
  bool rts_cts = false, xon_out = false, xon_in = false;
  bool raw = false; // no line editing, echo, signals or output processing
  unsigned vmin = 0;
};
LineProbe ProbeLine(int fd);

} // namespace korvane::test
