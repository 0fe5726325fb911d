// The trace file: header and one line per frame in a regular file (emptied
// first), in a FIFO as its reader gets them, a reader that goes away (the
// trace stops, the process lives on), a file standard error already writes
// to, and a path that cannot be opened.
#include "app/core/trace_file.h"
#include "support/files.h"
#include "support/recording_sender.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;

namespace {

class TraceFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvane-trace-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    // As the program does before it opens a trace.
    oldPipe = std::signal(SIGPIPE, SIG_IGN);
    request.TimeUs = 1500;
    request.EndUs = 9834;
    request.Dir = line::Direction::kRx;
    request.Kind = line::FrameKind::kRequest;
    request.Device = 1;
    request.Function = 3;
    request.Bytes = test::Rtu({0x01, 0x03, 0x00, 0x00, 0x00, 0x02});
    reply = request;
    reply.Dir = line::Direction::kTx;
    reply.Kind = line::FrameKind::kReply;
    reply.TimeUs = 14000;
    reply.ResponseUs = 4166;
    reply.Bytes = test::Rtu({0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78});
  }
  void TearDown() override {
    std::signal(SIGPIPE, oldPipe);
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }
  static std::string Line(const line::Frame& f) {
    std::string s;
    line::AppendCsvLine(s, f);
    return s;
  }
  static std::string Header() { return std::string(line::kCsvHeader) + "\n"; }
  // What `fd` gives within two seconds until `n` bytes came.
  static std::string ReadSome(int fd, size_t n) {
    std::string out;
    while (out.size() < n) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) break;
      char buf[512];
      const ssize_t r = ::read(fd, buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }

  std::string dir;
  void (*oldPipe)(int) = SIG_DFL;
  line::Frame request, reply;
};

} // namespace

TEST_F(TraceFileTest, ARegularFileIsEmptiedAndGetsTheHeaderThenALinePerFrame) {
  const std::string path = dir + "/trace.csv";
  test::WriteFile(path, "an older trace, longer than the new one will be at first\n");
  TraceFile trace;
  std::string error;
  ASSERT_TRUE(trace.Open(path, error)) << error;
  EXPECT_EQ(test::ReadFile(path), Header()) << "the header is written at once";
  ASSERT_TRUE(trace.Write(request));
  EXPECT_EQ(test::ReadFile(path), Header() + Line(request)) << "each line is written as it is made";
  ASSERT_TRUE(trace.Write(reply));
  EXPECT_EQ(test::ReadFile(path), Header() + Line(request) + Line(reply));
  EXPECT_EQ(Line(reply).rfind("14000,tx,1,3,9,ok,4166,", 0), 0u) << Line(reply);
  EXPECT_TRUE(trace.Error().empty());
}

TEST_F(TraceFileTest, AFifoCarriesTheLinesAndAReaderThatGoesStopsTheTraceOnly) {
  const std::string path = dir + "/trace.fifo";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  // The reader first: a FIFO opens for writing once somebody reads it.
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  TraceFile trace;
  std::string error;
  ASSERT_TRUE(trace.Open(path, error)) << error;
  EXPECT_EQ(ReadSome(reader, Header().size()), Header());
  ASSERT_TRUE(trace.Write(request));
  EXPECT_EQ(ReadSome(reader, Line(request).size()), Line(request));

  ::close(reader);
  EXPECT_FALSE(trace.Write(reply));
  EXPECT_FALSE(trace.IsOpen());
  EXPECT_EQ(trace.Error(), std::strerror(EPIPE));
  EXPECT_FALSE(trace.Write(reply)) << "once stopped it stays stopped";
}

TEST_F(TraceFileTest, TheFileStandardErrorWritesToIsSharedNotEmptied) {
  const std::string path = dir + "/stderr.txt";
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  const int saved = ::dup(2);
  ASSERT_GE(saved, 0);
  ::dup2(file, 2);
  ::close(file);
  const std::string before = "said before the trace opened\n", after = "said after\n";
  bool opened = false, wrote = false;
  std::string error;
  {
    [[maybe_unused]] const ssize_t a = ::write(2, before.data(), before.size());
    TraceFile trace;
    opened = trace.Open("/dev/stderr", error);
    wrote = opened && trace.Write(request);
    [[maybe_unused]] const ssize_t b = ::write(2, after.data(), after.size());
  }
  ::dup2(saved, 2);
  ::close(saved);
  ASSERT_TRUE(opened) << error;
  EXPECT_TRUE(wrote);
  EXPECT_EQ(test::ReadFile(path), before + Header() + Line(request) + after);
}

TEST_F(TraceFileTest, APathThatCannotBeOpenedSaysWhy) {
  TraceFile trace;
  std::string error;
  EXPECT_FALSE(trace.Open(dir + "/no-such-folder/trace.csv", error));
  EXPECT_EQ(error, std::strerror(ENOENT));
  EXPECT_FALSE(trace.IsOpen());
  EXPECT_FALSE(trace.Write(request));
}
