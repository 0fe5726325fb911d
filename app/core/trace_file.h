#pragma once
// The trace file of --trace: every frame the line analyzer frames, as one CSV
// line (the header first, then line::AppendCsvLine per frame), each line
// handed to the system in one write as soon as it is made. No Qt.
//
// A pipe whose reader has gone fails the write with EPIPE, but only once
// SIGPIPE is ignored (the program does that before it opens a trace);
// otherwise the signal ends the process.
#include <string>

#include "modbus/line_decoder.h"

namespace korvane {

class TraceFile {
public:
  TraceFile() = default;
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Opens `path` for writing (created, emptied) and writes the header line.
  // A FIFO or a character device (a terminal, /dev/stderr on a pipe) is
  // written as it is. A path that leads to the regular file standard output
  // or standard error already writes to is written through that descriptor,
  // not emptied and not overwritten at an offset of its own. False with
  // `error` the system's reason when it cannot be opened or written.
  bool Open(const std::string& path, std::string& error);
  // `frame` as one line. The first write that fails ends the trace (the file
  // is closed): false, and Error() says why.
  bool Write(const line::Frame& frame);
  bool IsOpen() const { return fd_ >= 0; }
  // Why writing stopped; empty while it goes on.
  const std::string& Error() const { return error_; }
  void Close();

private:
  bool WriteAll(const std::string& text);

  int fd_ = -1;
  std::string line_; // keeps its capacity: no allocation per frame
  std::string error_;
};

} // namespace korvane
