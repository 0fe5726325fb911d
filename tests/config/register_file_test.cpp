#include "config/core/register_file.h"

#include "app/core/int_conv.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace korvane;
namespace fs = std::filesystem;

namespace {

// A folder of its own under /tmp, removed with everything in it.
class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/korvane-regfile-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (d == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = d;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, ec);
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.insert(e.path().filename().string());
    return names;
  }

private:
  std::string path_;
};

using test::ReadFile;
using test::WriteFile;

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
    lines.push_back(text.substr(start, p - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// A workspace whose every table is filled with non-zero values that differ
// per slot, table and element, and whose settings and pages are not the defaults.
std::unique_ptr<Workspace> FilledWorkspace(uint32_t seed) {
  auto ws = MakeWorkspace();
  uint32_t x = seed;
  auto next = [&x] {
    x = x * 1664525u + 1013904223u;
    return static_cast<int32_t>((x >> 8) % 65535 + 1);
  };
  for (int s = 1; s <= kSlotCount; ++s) {
    AddressSlot& t = ws->SlotTables(s);
    for (int i = 1; i <= kBitWords; ++i) t.CoilTable[i] = next(), t.StatusTable[i] = next();
    for (int i = 1; i <= kRegisters; ++i) t.InputRegTable[i] = next(), t.HoldingRegTable[i] = next();
    ws->Devices.SlotAddress[s] = 10 * s + static_cast<int32_t>(seed % 7);
  }
  ws->Settings.IsMaster = roMaster;
  ws->Settings.RtuMode = fmAscii;
  ws->Settings.CommPort = 7;
  ws->Settings.BaudRate = 19200;
  ws->Settings.DataBits = db7Bits;
  ws->Settings.Parity = "E";
  ws->Settings.StopBits = st2Bits;
  ws->Settings.PollTime = 3;
  for (int p = 1; p <= kPageCount; ++p)
    ws->View.PageTable[p] =
        Page{100 * p + 1, 50 + p, static_cast<TRegType>(p % 4), static_cast<TDisplayType>((p + 7) % 10 - 1)};
  return ws;
}

// Everything a load may change: the groups it commits, then the tables.
void ExpectSameLoadedState(const Workspace& a, const Workspace& b) {
  EXPECT_TRUE(a.Settings == b.Settings);
  EXPECT_TRUE(a.Devices == b.Devices);
  for (int p = 1; p <= kPageCount; ++p)
    EXPECT_TRUE(a.View.PageTable[p] == b.View.PageTable[p]) << "page " << p;
  EXPECT_TRUE(a.View == b.View);
  for (int s = 0; s <= kSlotCount; ++s) {
    const AddressSlot& x = a.SlotTables(s);
    const AddressSlot& y = b.SlotTables(s);
    EXPECT_TRUE(x.CoilTable == y.CoilTable) << "coils of slot " << s;
    EXPECT_TRUE(x.StatusTable == y.StatusTable) << "inputs of slot " << s;
    EXPECT_TRUE(x.InputRegTable == y.InputRegTable) << "input registers of slot " << s;
    EXPECT_TRUE(x.HoldingRegTable == y.HoldingRegTable) << "holding registers of slot " << s;
  }
}

// Lines 1 to 29 of a start-up workspace, with CR LF ends.
const std::string kStartHead = "SLAVE\r\nRTU\r\n1\r\n9600\r\n8\r\nN\r\n1\r\n5\r\n"
                               "       1       2       3       4       5\r\n" +
                               Repeat("       1     100       0       3\r\n", 20);

// Runs `fn` in a child process; returns what it reports ("" when all is well).
std::string InChild(const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    ::close(fds[0]);
    std::string r;
    try {
      r = fn();
    } catch (const std::exception& e) {
      r = std::string("unexpected exception: ") + e.what();
    }
    (void)!::write(fds[1], r.data(), r.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string report;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    report.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += " (child did not exit cleanly)";
  return report;
}

// Leaves root for the unused uid and gid 65534 with no supplementary groups;
// "" when done. Only for a child process: there is no way back.
std::string DropToNobody() {
  if (::geteuid() != 0) return "not root";
  if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) return "cannot drop root";
  return "";
}

// What a save that must fail reports, "" when it failed as expected.
std::string ExpectSaveFails(const Workspace& ws, const std::string& path, const std::string& message) {
  try {
    SaveRegisterFile(ws, path);
  } catch (const RegisterFileError& e) {
    return e.what() == message ? "" : "message '" + std::string(e.what()) + "'";
  }
  return "save did not fail";
}

} // namespace

// ------------------------------------------------------------------ writer

TEST(RegisterFileWriter, StartUpWorkspaceByteForByte) {
  const std::string text = RegisterFileText(*MakeWorkspace());
  // 8 settings lines, 5 addresses, 20 pages, then per slot 4 headers,
  // 1024 bit-word lines of 8 fields, 16382 register lines of 8 and 2 of 7.
  EXPECT_EQ(text.size(), 33u + 42u + 20u * 34u + 5u * (4u * 10u + 17406u * 66u + 2u * 58u));
  const std::vector<std::string> lines = SplitCrLf(text);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kRegisterFileLines));
  ASSERT_EQ(lines.size(), 87089u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 87089);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(text.substr(0, kStartHead.size()), kStartHead);

  const std::string zeros8 = Repeat("       0", 8);
  const std::string zeros7 = Repeat("       0", 7);
  const struct {
    size_t line; // 1-based
    std::string text;
  } expected[] = {
      {30, ";COILS  "},    {31, zeros8},    {542, zeros8},      {543, ";INPSTAT"},
      {1056, ";INPREGS"},  {9248, zeros7},  {9249, ";HOLDREG"}, {17441, zeros7},
      {17442, ";COILS  "}, {87088, zeros8}, {87089, zeros7},
  };
  for (const auto& e : expected) EXPECT_EQ(lines[e.line - 1], e.text) << "line " << e.line;
  size_t headers = 0;
  for (const auto& l : lines) headers += !l.empty() && l[0] == ';';
  EXPECT_EQ(headers, 20u);
}

// The options of a run (RS-485, listening) never reach the file: it is the
// same byte for byte with or without them, and loading it leaves them alone.
TEST(RegisterFileWriter, RunOptionsStayOutOfTheFile) {
  auto plain = MakeWorkspace();
  auto withOptions = MakeWorkspace();
  withOptions->Run.Rs485 = true;
  withOptions->Run.Rs485DelayBeforeMs = 5;
  withOptions->Run.ListenOnly = true;
  EXPECT_EQ(RegisterFileText(*withOptions), RegisterFileText(*plain));
  TempDir dir;
  const std::string path = dir / "regs.txt";
  SaveRegisterFile(*plain, path);
  LoadRegisterFile(*withOptions, path);
  EXPECT_TRUE(withOptions->Run.ListenOnly);
  EXPECT_TRUE(withOptions->Run.Rs485);
}

TEST(RegisterFileWriter, CodesOutsideTheNamedOnesAreWrittenBackAsTheyCame) {
  // A role and a framing that are no code read as slave and ASCII; numbers
  // and the parity text are held as they stand, whatever they are.
  const std::string numbers = "1\r\n9600\r\n5\r\nQ\r\n3\r\n5\r\n"
                              "       1       2       3       4       5\r\n"
                              "      12     101      12       7\r\n"
                              "     -40       9      -3      -2\r\n" +
                              Repeat("       1     100       0       3\r\n", 18);
  const std::string head = "SLAVE\r\nASCII\r\n" + numbers;
  auto ws = MakeWorkspace();
  ReadRegisterText(*ws, "MASTERS\r\nRTU \r\n" + numbers);
  EXPECT_EQ(ws->Settings.IsMaster, roSlave);
  EXPECT_EQ(ws->Settings.RtuMode, fmRtu); // trimmed before it is read
  EXPECT_EQ(ws->Settings.DataBits, static_cast<TDataBitsCode>(5));
  EXPECT_EQ(ws->Settings.StopBits, static_cast<TStopBitsCode>(3));
  EXPECT_EQ(ws->View.PageTable[1].PageDisplayType, static_cast<TDisplayType>(12));
  EXPECT_EQ(ws->View.PageTable[1].PageRegType, static_cast<TRegType>(7));
  EXPECT_EQ(ws->View.PageTable[2].PageDisplayType, static_cast<TDisplayType>(-3));
  EXPECT_EQ(ws->View.RegType, static_cast<TRegType>(7)); // page 1 is the view
  ws->Settings.RtuMode = static_cast<TFrameMode>(2);     // neither code: not written as RTU
  const std::string text = RegisterFileText(*ws);
  EXPECT_EQ(text.substr(0, head.size()), head);
}

TEST(RegisterFileWriter, FieldsAreRightAlignedAndWidenWhenTheyMust) {
  auto ws = MakeWorkspace();
  ws->Settings.IsMaster = roMaster;
  ws->Settings.RtuMode = fmAscii;
  ws->Settings.Parity = "E";
  ws->Settings.CommPort = 12;
  ws->Devices.SlotAddress = {0, 247, -1, 0, 12345678, 99999999};
  auto& h = ws->SlotTables(2).HoldingRegTable;
  h[1] = 65535;
  h[2] = -5;
  h[3] = 100000000;
  h[4] = INT32_MIN;
  h[65535] = 9;
  h[65536] = 1; // never written
  const std::vector<std::string> lines = SplitCrLf(RegisterFileText(*ws));
  EXPECT_EQ(lines[0], "MASTER");
  EXPECT_EQ(lines[1], "ASCII");
  EXPECT_EQ(lines[2], "12");
  EXPECT_EQ(lines[5], "E");
  EXPECT_EQ(lines[8], "     247      -1       012345678"
                      "99999999");
  const size_t hold2 = 29 + 17412 + 2 * (1 + 512) + (1 + 8192); // slot 2's ";HOLDREG", from 0
  ASSERT_EQ(lines[hold2], ";HOLDREG");
  EXPECT_EQ(lines[hold2 + 1], "   65535      -5100000000-2147483648" + Repeat("       0", 4));
  EXPECT_EQ(lines[hold2 + 8192], Repeat("       0", 6) + "       9");
  EXPECT_EQ(lines[hold2 + 8193], ";COILS  ");
}

// ------------------------------------------------------------------ reader

TEST(RegisterFileReader, SaveThenLoadGivesTheSameState) {
  TempDir dir;
  auto saved = FilledWorkspace(1);
  SaveRegisterFile(*saved, dir / "ws.txt");
  EXPECT_EQ(dir.Names(), std::set<std::string>{"ws.txt"}); // no temporary left behind
  EXPECT_EQ(ReadFile(dir / "ws.txt"), RegisterFileText(*saved));

  auto loaded = MakeWorkspace();
  loaded->SelectSlot(3);
  loaded->Settings.ResponseTime = 1234;
  loaded->SlotTables(4).InputRegTable[65536] = 77; // not in the file: stays
  loaded->View.StartReg = 900;
  loaded->View.CurrentPage = 7;
  LoadRegisterFile(*loaded, dir / "ws.txt");

  // The view comes from page 1, the active slot is the first.
  saved->View.StartReg = saved->View.PageTable[1].PageStart;
  saved->View.RegLength = saved->View.PageTable[1].PageLength;
  saved->View.DisplayType = saved->View.PageTable[1].PageDisplayType;
  saved->View.RegType = saved->View.PageTable[1].PageRegType;
  saved->View.CurrentPage = 1;
  saved->SelectSlot(1);
  saved->Settings.ResponseTime = 1234; // not in the file: the loaded workspace keeps its own
  saved->SlotTables(4).InputRegTable[65536] = 77;
  for (int s = 1; s <= kSlotCount; ++s) saved->SlotTables(s).HoldingRegTable[65536] = 0;
  for (int s = 1; s <= kSlotCount; ++s)
    if (s != 4) saved->SlotTables(s).InputRegTable[65536] = 0;
  ExpectSameLoadedState(*loaded, *saved);
  EXPECT_EQ(loaded->Devices.DeviceAddress, saved->Devices.SlotAddress[1]);
  EXPECT_EQ(loaded->Settings.ResponseTime, 1234);
}

TEST(RegisterFileReader, PiecesOfAnySizeReadLikeTheWhole) {
  // CR LF, LF alone, a CR that ends one piece and an LF that starts the next,
  // and a last line without its end.
  const std::string text = "MASTER\nASCII\r\n3\r\n4800\n7\r\nO\r\n2\r\n9\r\n       6       7\r\n" +
                           Repeat("       2      20       1       2\n", 20) +
                           ";COILS  \r\n      11      12\r\n" + ";HOLDREG\n      13\r\n      14 \r\n      15";
  auto whole = MakeWorkspace();
  ReadRegisterText(*whole, text);
  EXPECT_EQ(whole->Settings.IsMaster, roMaster);
  EXPECT_EQ(whole->Settings.BaudRate, 4800);
  EXPECT_EQ(whole->Settings.Parity, "O");
  EXPECT_EQ(whole->Devices.SlotAddress[2], 7);
  EXPECT_EQ(whole->SlotTables(1).CoilTable[2], 12);
  EXPECT_EQ(whole->SlotTables(1).HoldingRegTable[1], 13);
  EXPECT_EQ(whole->SlotTables(1).HoldingRegTable[2], 14); // the one-character field after it is no field
  EXPECT_EQ(whole->SlotTables(1).HoldingRegTable[3], 15);
  EXPECT_EQ(whole->View.StartReg, 2);

  for (size_t piece : {1u, 2u, 3u, 7u}) {
    auto ws = MakeWorkspace();
    RegisterFileReader reader(*ws);
    for (size_t i = 0; i < text.size(); i += piece) reader.Feed(std::string_view(text).substr(i, piece));
    reader.Finish();
    reader.Commit();
    SCOPED_TRACE(piece);
    ExpectSameLoadedState(*ws, *whole);
  }
}

struct ReaderCase {
  const char* name;
  std::string text;
  std::function<void(const Workspace&)> check;
};

TEST(RegisterFileReader, EdgeCases) {
  const std::string head = kStartHead;
  const ReaderCase cases[] = {
      {"a ';COILS' without its spaces is a comment",
       head + ";COILS\r\n       7\r\n;COILS  \r\n       1\r\n;COILS\r\n;INPSTAT\r\n       2\r\n",
       [](const Workspace& ws) {
         EXPECT_EQ(ws.SlotTables(1).CoilTable[1], 1);
         EXPECT_EQ(ws.SlotTables(1).StatusTable[1], 2); // still slot 1
         EXPECT_EQ(ws.SlotTables(2).StatusTable[1], 0);
       }},
      {"a one-character last field is not a field",
       head + ";COILS  \r\n7\r\n       1       23\r\n       9\r\n",
       [](const Workspace& ws) {
         const auto& c = ws.SlotTables(1).CoilTable;
         EXPECT_EQ(c[1], 1);
         EXPECT_EQ(c[2], 2);
         EXPECT_EQ(c[3], 9); // neither "7" nor "3" took an element
       }},
      {"short last fields are read; values are taken as they stand",
       head + ";INPREGS\r\n;COILS  \r\n;INPREGS\r\n      -1 1234567\t12\r\n",
       [](const Workspace& ws) {
         const auto& r = ws.SlotTables(1).InputRegTable;
         EXPECT_EQ(r[1], -1);
         EXPECT_EQ(r[2], 1234567);
         EXPECT_EQ(r[3], 12);
       }},
      {"role and framing compare exactly after trimming", "master\r\n  RTU \t\r\n" + head.substr(12),
       [](const Workspace& ws) {
         EXPECT_EQ(ws.Settings.IsMaster, roSlave);
         EXPECT_EQ(ws.Settings.RtuMode, fmRtu);
       }},
      {"a sixth slot section changes nothing",
       head + Repeat(";COILS  \r\n;HOLDREG\r\n       5\r\n", 5) +
           ";COILS  \r\n       6\r\n;HOLDREG\r\n       6\r\n",
       [](const Workspace& ws) {
         for (int s = 1; s <= 5; ++s) {
           EXPECT_EQ(ws.SlotTables(s).HoldingRegTable[1], 5);
           EXPECT_EQ(ws.SlotTables(s).CoilTable[1], 0);
         }
         EXPECT_EQ(ws.SlotTables(0).HoldingRegTable[1], 0);
       }},
      {"page 1 with display format 8 becomes the view",
       head.substr(0, 75) + "     200      40       8       2\r\n     300      10       9       1\r\n",
       [](const Workspace& ws) {
         EXPECT_EQ(ws.View.DisplayType, dtRegFloat);
         EXPECT_EQ(ws.View.StartReg, 200);
         EXPECT_EQ(ws.View.RegLength, 40);
         EXPECT_EQ(ws.View.RegType, rtInputRegs);
         EXPECT_EQ(ws.View.CurrentPage, 1);
         EXPECT_EQ(ws.View.PageTable[2].PageDisplayType, dtRegFloatReverse);
       }},
      {"headers in any order and more than once",
       head + ";COILS  \r\n;HOLDREG\r\n       1       2\r\n;INPREGS\r\n       3\r\n;comment\r\n       4\r\n"
              ";HOLDREG\r\n       5\r\n",
       [](const Workspace& ws) {
         const AddressSlot& t = ws.SlotTables(1);
         EXPECT_EQ(t.HoldingRegTable[1], 5);
         EXPECT_EQ(t.HoldingRegTable[2], 2);
         EXPECT_EQ(t.HoldingRegTable[3], 77); // not in the file: kept
         EXPECT_EQ(t.InputRegTable[1], 3);
         EXPECT_EQ(t.InputRegTable[2], 4);
       }},
      {"data before any slot and past a table's end are dropped unconverted",
       head + ";HOLDREG\r\n       x\r\n;COILS  \r\n" + Repeat("       1", 4096) + "       x\r\n       x\r\n" +
           ";INPREGS\r\n" + Repeat("       2", 65535) + "       x\r\n",
       [](const Workspace& ws) {
         EXPECT_EQ(ws.SlotTables(1).CoilTable[4096], 1);
         EXPECT_EQ(ws.SlotTables(1).StatusTable[0], 0);
         EXPECT_EQ(ws.SlotTables(1).InputRegTable[65535], 2);
         EXPECT_EQ(ws.SlotTables(1).InputRegTable[65536], 0);
       }},
      {"a short file keeps addresses and pages; extra fields are not converted",
       "SLAVE\r\nRTU\r\n1\r\n9600\r\n8\r\nN\r\n1\r\n5\r\n       9       8       7       6       5    junk\r\n"
       "      50",
       [](const Workspace& ws) {
         EXPECT_EQ(ws.Devices.SlotAddress[1], 9);
         EXPECT_EQ(ws.Devices.SlotAddress[5], 5);
         EXPECT_EQ(ws.Devices.DeviceAddress, 9);
         EXPECT_EQ(ws.View.PageTable[1].PageStart, 50);
         EXPECT_EQ(ws.View.PageTable[1].PageLength, 33); // kept from before
         EXPECT_EQ(ws.View.StartReg, 50);
         EXPECT_EQ(ws.View.RegLength, 33);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto ws = MakeWorkspace();
    ws->View.PageTable[1].PageLength = 33;
    ws->SlotTables(1).HoldingRegTable[3] = 77;
    ws->SelectSlot(2);
    ReadRegisterText(*ws, c.text);
    EXPECT_EQ(ws->Devices.ActiveSlot, 1);
    c.check(*ws);
  }
}

TEST(RegisterFileReader, AFileThatStopsTheLoadLeavesTheWorkspaceAsItWas) {
  const std::string good_start =
      "MASTER\r\nASCII\r\n4\r\n19200\r\n7\r\nE\r\n2\r\n1\r\n      21      22      23      24      25\r\n" +
      Repeat("      10      20       1       2\r\n", 20) + ";COILS  \r\n      99\r\n";
  const struct {
    const char* name;
    std::string text;
    std::string bad;
  } cases[] = {
      {"a field of eight spaces", good_start + "      98        \r\n", ""},
      {"a field with a letter", good_start + ";HOLDREG\r\n     1x2\r\n", "1x2"},
      {"a settings number above 32 bits", "SLAVE\r\nRTU\r\n1\r\n3000000000\r\n", "3000000000"},
      {"a settings line that is no number", "SLAVE\r\nRTU\r\n1\r\n96OO\r\n", "96OO"},
      {"a file that ends before its settings", "MASTER\r\nRTU\r\n1\r\n9600\r\n8", ""},
      {"a bad address field", "SLAVE\r\nRTU\r\n1\r\n9600\r\n8\r\nN\r\n1\r\n5\r\n       1      -\r\n", "-"},
      {"a bad page field", kStartHead.substr(0, 75) + "       1     1 0\r\n", "1 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto ws = FilledWorkspace(2);
    ws->SelectSlot(4);
    ws->View.StartReg = 321;
    ws->View.CurrentPage = 6;
    const auto before = std::make_unique<Workspace>(*ws);
    TempDir dir;
    WriteFile(dir / "bad.txt", c.text);
    try {
      LoadRegisterFile(*ws, dir / "bad.txt");
      ADD_FAILURE() << "load did not stop";
    } catch (const ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + c.bad + "' is not a valid integer value");
    }
    ExpectSameLoadedState(*ws, *before);
  }
}

// ------------------------------------------------------------------ files

TEST(RegisterFileErrors, LoadFailuresNameTheCause) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  fs::create_directory(dir / "folder");
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {dir / "missing", "File not found"},        {"", "Invalid filename"},
      {dir / "plain/inside", "Invalid filename"}, {dir / std::string(300, 'n'), "Invalid filename"},
      {dir / "folder", "File access denied"},
  };
  auto ws = FilledWorkspace(3);
  const auto before = std::make_unique<Workspace>(*ws);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      LoadRegisterFile(*ws, c.path);
      ADD_FAILURE() << "load did not fail";
    } catch (const RegisterFileError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  ExpectSameLoadedState(*ws, *before);
  EXPECT_EQ(RegisterFileErrorText(EMFILE), "Too many open files");
  EXPECT_EQ(RegisterFileErrorText(EIO), "I/O error 5");
}

TEST(RegisterFileSave, ReplacesThroughLinksAndKeepsPermissions) {
  TempDir dir;
  WriteFile(dir / "real.txt", "old");
  ASSERT_EQ(::chmod((dir / "real.txt").c_str(), 0640), 0);
  fs::create_symlink("real.txt", dir / "alias.txt");
  fs::create_symlink("sub/new.txt", dir / "dangling.txt");
  fs::create_directory(dir / "sub");

  auto ws = FilledWorkspace(4);
  SaveRegisterFile(*ws, dir / "alias.txt");
  SaveRegisterFile(*ws, dir / "dangling.txt");

  EXPECT_TRUE(fs::is_symlink(dir / "alias.txt"));
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.txt"));
  EXPECT_EQ(ReadFile(dir / "real.txt"), RegisterFileText(*ws));
  EXPECT_EQ(ReadFile(dir / "sub/new.txt"), RegisterFileText(*ws));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "real.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.Names(), (std::set<std::string>{"alias.txt", "dangling.txt", "real.txt", "sub"}));
}

// Saving as an unprivileged user: a file that may be replaced safely is
// replaced by a new one; one whose owner, group or other names a new file
// would lose, or whose folder takes no new file, is written where it is; a
// file the user may not write is refused and left alone. The mode stays.
TEST(RegisterFileSave, KeepsTheFileIdentityOwnerGroupAndModeForAnUnprivilegedUser) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to set up files of other owners and to drop to the unused uid 65534";
  constexpr uid_t kNobody = 65534;
  constexpr uid_t kOther = 54321; // an id uid 65534 has nothing to do with
  enum Outcome { Replaced, InPlace, Refused };
  const struct Case {
    const char* name;
    uid_t folder_uid;
    mode_t folder_mode;
    uid_t file_uid;
    gid_t file_gid;
    mode_t file_mode;
    bool second_link;
    Outcome outcome;
  } cases[] = {
      {"own file in own folder", kNobody, 0755, kNobody, kNobody, 0640, false, Replaced},
      {"odd mode", kNobody, 0755, kNobody, kNobody, 0606, false, Replaced},
      {"read-only file in own folder", kNobody, 0755, kNobody, kNobody, 0444, false, Refused},
      {"another owner's file", kNobody, 0755, kOther, kNobody, 0664, false, InPlace},
      {"group the user is not in", kNobody, 0755, kNobody, kOther, 0664, false, InPlace},
      {"second hard link", kNobody, 0755, kNobody, kNobody, 0600, true, InPlace},
      {"writable file in read-only folder", 0, 0755, kNobody, kNobody, 0660, false, InPlace},
      {"read-only file in read-only folder", 0, 0755, kNobody, kNobody, 0444, false, Refused},
  };
  TempDir top;
  ASSERT_EQ(::chmod(top.path().c_str(), 0755), 0);
  auto ws = FilledWorkspace(8);
  const std::string text = RegisterFileText(*ws);
  const std::string old_text = "old content\r\n";
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = top / ("case" + std::to_string(++n));
    const std::string target = folder + "/ws.txt";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    WriteFile(target, old_text);
    ASSERT_EQ(::chown(target.c_str(), c.file_uid, c.file_gid), 0);
    ASSERT_EQ(::chmod(target.c_str(), c.file_mode), 0);
    std::set<std::string> names{"ws.txt"};
    if (c.second_link) {
      ASSERT_EQ(::link(target.c_str(), (folder + "/twin.txt").c_str()), 0);
      names.insert("twin.txt");
    }
    ASSERT_EQ(::chown(folder.c_str(), c.folder_uid, c.folder_uid), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folder_mode), 0);
    struct stat before {};
    ASSERT_EQ(::stat(target.c_str(), &before), 0);

    const std::string report = InChild([&]() -> std::string {
      if (const std::string d = DropToNobody(); !d.empty()) return d;
      ::umask(022);
      try {
        SaveRegisterFile(*ws, target);
      } catch (const RegisterFileError& e) {
        return std::string("error ") + e.what();
      }
      return "saved";
    });

    struct stat after {};
    ASSERT_EQ(::stat(target.c_str(), &after), 0);
    if (c.outcome == Refused) {
      EXPECT_EQ(report, "error File access denied");
      EXPECT_TRUE(ReadFile(target) == old_text) << "the refused file was changed";
    } else {
      EXPECT_EQ(report, "saved");
      EXPECT_TRUE(ReadFile(target) == text) << "the file does not hold the new content";
    }
    EXPECT_EQ(after.st_ino == before.st_ino, c.outcome != Replaced)
        << "inode " << before.st_ino << " -> " << after.st_ino;
    EXPECT_EQ(after.st_uid, c.file_uid);
    EXPECT_EQ(after.st_gid, c.file_gid);
    EXPECT_EQ(after.st_mode & 07777, c.file_mode);
    EXPECT_EQ(after.st_nlink, c.second_link ? 2u : 1u);
    if (c.second_link) {
      EXPECT_TRUE(ReadFile(folder + "/twin.txt") == text) << "the second link does not see the new content";
    }
    std::set<std::string> found;
    for (const auto& e : fs::directory_iterator(folder)) found.insert(e.path().filename().string());
    EXPECT_EQ(found, names); // no temporary file left behind
  }
}

// A save that cannot complete leaves the previous file as it was and no
// temporary file behind.
class RegisterFileFailedSave : public ::testing::TestWithParam<const char*> {};

TEST_P(RegisterFileFailedSave, KeepsTheOldFile) {
  const std::string how = GetParam();
  TempDir dir;
  const std::string target = dir / "ws.txt";
  auto old_ws = FilledWorkspace(5);
  auto new_ws = FilledWorkspace(6);
  std::string old_text = RegisterFileText(*old_ws);
  if (how == "in place, file size limit") old_text.resize(1 << 19); // what the child leaves of it

  const std::string report = InChild([&]() -> std::string {
    std::string expected = "Disk full";
    if (how == "tmpfs") {
      // A private mount namespace: the small file system is seen by this child only.
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=8m") != 0)
        return "SKIP: cannot mount a tmpfs here";
    }
    SaveRegisterFile(*old_ws, target);
    if (how == "file size limit") {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{1 << 20, 1 << 20};
      if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return "setrlimit failed";
    } else if (how == "in place, file size limit") {
      // A file the user may write in a folder the user may not: written in
      // place, and a file that cannot grow to the new size is not touched.
      if (::geteuid() == 0 && ::chown(target.c_str(), 65534, 65534) != 0) return "chown failed";
      if (::chmod(dir.path().c_str(), 0555) != 0) return "chmod failed";
      if (::geteuid() == 0) {
        if (const std::string d = DropToNobody(); !d.empty()) return d;
      }
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{1 << 20, 1 << 20};
      if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return "setrlimit failed";
      // The old file is shorter than the new one, so the new one must grow.
      if (::truncate(target.c_str(), 1 << 19) != 0) return "truncate failed";
    } else if (how == "read-only folder") {
      expected = "File access denied";
      if (::chmod(dir.path().c_str(), 0555) != 0) return "chmod failed";
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return "cannot drop root";
    } else if (how == "target is a folder") {
      expected = "File access denied";
      fs::create_directory(dir / "folder");
      const std::string r = ExpectSaveFails(*new_ws, dir / "folder", expected);
      return r.empty() && dir.Names() != std::set<std::string>{"folder", "ws.txt"} ? "files left behind" : r;
    }
    std::string r = ExpectSaveFails(*new_ws, target, expected);
    if (ReadFile(target) != old_text) r += " old file changed";
    if (dir.Names() != std::set<std::string>{"ws.txt"}) r += " files left behind";
    return r;
  });
  if (report.rfind("SKIP", 0) == 0) GTEST_SKIP() << report;
  EXPECT_EQ(report, "");
  if (how != std::string("tmpfs")) {
    EXPECT_EQ(ReadFile(target), old_text);
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, RegisterFileFailedSave,
                         ::testing::Values("tmpfs", "file size limit", "in place, file size limit",
                                           "read-only folder", "target is a folder"),
                         [](const auto& param_info) {
                           std::string n = param_info.param;
                           for (char& c : n)
                             if (c == ' ' || c == '-' || c == ',') c = '_';
                           return n;
                         });
