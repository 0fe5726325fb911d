// Temporary name, command line, trailer text and the deletion at the end.
#include "loader/cleanup.h"
#include "loader/command_line.h"
#include "loader/text_codec.h"
#include "loader/trailer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <iconv.h>

namespace vel {
namespace {

TEST(TempFileName, HighAndLowHalvesOfTheProcessIdAreCombined) {
  const struct {
    uint32_t pid;
    const char* name;
  } cases[] = {
      {0x00012345, "Vel-2344.dll"}, {0, "Vel-0000.dll"},          {0x0000ABCD, "Vel-ABCD.dll"},
      {0xFFFF0000, "Vel-FFFF.dll"}, {0x12341234, "Vel-0000.dll"}, {0x7FFFFFFF, "Vel-8000.dll"},
  };
  for (const auto& k : cases) EXPECT_EQ(TempFileName(k.pid), k.name) << std::hex << k.pid;
}

TEST(SkipProgramName, FollowsTheQuotingRule) {
  const struct {
    std::u16string line, args;
  } cases[] = {
      {u"\"C:\\Setup Files\\setup.exe\"  /S", u"/S"},
      {u"   setup.exe   /S /Q", u"/S /Q"},
      {u"setup.exe", u""},
      {u"\"setup.exe", u""},     // no closing quote: everything is the name
      {u"\"a b\"c d", u"c d"},   // the name ends at the closing quote
      {u"a\"b c\" d", u"c\" d"}, // a quote later in an unquoted name is not special
      {u"", u""},
      {u"   ", u""},
  };
  for (const auto& k : cases) EXPECT_EQ(SkipProgramName(k.line), k.args) << Utf16ToUtf8(k.line);
}

TEST(JoinWindowsCommandLine, QuotesWhatWouldOtherwiseSplit) {
  const struct {
    std::vector<std::u16string> args;
    std::u16string line;
  } cases[] = {
      {{u"/opt/setup", u"/S"}, u"/opt/setup /S"},
      {{u"/opt/my setup", u"a b", u""}, u"\"/opt/my setup\" \"a b\" \"\""},
      {{u"p", u"say \"hi\""}, u"p \"say \\\"hi\\\"\""},
      {{u"p", u"C:\\dir with space\\"}, u"p \"C:\\dir with space\\\\\""},
      {{u"p", u"a\\b"}, u"p a\\b"},
      {{}, u""},
  };
  for (const auto& k : cases) EXPECT_EQ(JoinWindowsCommandLine(k.args), k.line) << Utf16ToUtf8(k.line);
}

TEST(BuildStubCommandLine, EmptyTextsLeaveTheirSpaces) {
  const std::u16string process = u"\"/opt/setup dir/setup\"  /S";
  EXPECT_EQ(BuildStubCommandLine(u"", u"", SkipProgramName(process), u"/opt/setup dir/setup"),
            u"  /S /d:\"/opt/setup dir/setup\"");
  EXPECT_EQ(BuildStubCommandLine(u"/lang:de", u"Grüße", u"/S /Q", u"/x"), u"/lang:de Grüße /S /Q /d:\"/x\"");
  EXPECT_EQ(BuildStubCommandLine(u"", u"", u"", u"/x"), u"   /d:\"/x\"");
}

TEST(TrailerWindowStart, SixtyFourKilobyteSteps) {
  EXPECT_FALSE(TrailerWindowStart(0));
  EXPECT_FALSE(TrailerWindowStart(65535));
  const struct {
    uint64_t size, start;
  } cases[] = {{65536, 0}, {131071, 0}, {131072, 65536}, {200000, 131072}, {1 << 20, (1 << 20) - 65536}};
  for (const auto& k : cases) EXPECT_EQ(TrailerWindowStart(k.size), k.start) << k.size;
}

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Utf16Bytes(std::u16string_view s) {
  std::vector<uint8_t> b;
  for (char16_t c : s) b.insert(b.end(), {uint8_t(c), uint8_t(c >> 8)});
  return b;
}

TEST(FindTrailerText, EightBitTexts) {
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F"
                           "e";
  const struct {
    const char* name;
    std::string tail;
    const char* codeset;
    std::u16string text;
  } cases[] = {
      {"UTF-8 after its byte-order mark", "code\xEF\xBB\xBF<|" + utf8 + "|>", "ISO-8859-1", u"Grüße"},
      {"same bytes without the mark: 8-bit", "code<|" + utf8 + "|>", "ISO-8859-1",
       u"Gr\u00C3\u00BC\u00C3\u009Fe"},
      {"C locale reads bytes as Latin-1",
       "<|Gr\xFC\xDF"
       "e|>",
       "ANSI_X3.4-1968", u"Grüße"},
      {"UTF-8 locale without the mark", "<|" + utf8 + "|>", "UTF-8", u"Grüße"},
      {"undecodable byte", "\xEF\xBB\xBF<|a\xFFz|>", "ISO-8859-1", u"a\uFFFDz"},
      {"mark only before the opening mark counts", "\xEF\xBB\xBFx<|" + utf8 + "|>", "ISO-8859-1",
       u"Gr\u00C3\u00BC\u00C3\u009Fe"},
      {"nearest opening mark", "<|old|> <|new|>", "UTF-8", u"new"},
      {"empty text", "xx<||>", "UTF-8", u""},
      {"marks may not overlap", "<|>", "UTF-8", u""},
      {"no opening mark", "text|>", "UTF-8", u""},
      {"no closing mark at the very end", "<|text|>\n", "UTF-8", u""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(FindTrailerText(Bytes(k.tail), k.codeset), k.text);
  }
}

TEST(FindTrailerText, WindowsCodePageWhenTheSystemHasIt) {
  iconv_t cd = iconv_open("UTF-16LE", "CP1252");
  if (cd == iconv_t(-1)) GTEST_SKIP() << "iconv has no CP1252";
  iconv_close(cd);
  EXPECT_EQ(FindTrailerText(Bytes("<|\x80 5|>"), "CP1252"), u"\u20AC 5");
}

TEST(FindTrailerText, Utf16Texts) {
  const auto text = Utf16Bytes(u"<|Grüße \U0001F600|>");
  std::vector<uint8_t> odd = {0x01};
  odd.insert(odd.end(), text.begin(), text.end());
  EXPECT_EQ(FindTrailerText(text, "UTF-8"), u"Grüße \U0001F600");
  EXPECT_EQ(FindTrailerText(odd, "UTF-8"), u"Grüße \U0001F600"); // in step with the end, not the start

  // "<|" one byte out of step with the end is not an opening mark.
  const std::vector<uint8_t> misaligned = {'<', 0, '|', 0, 'a', '|', 0, '>', 0};
  EXPECT_EQ(FindTrailerText(misaligned, "UTF-8"), u"");
}

TEST(DecodeBytes, UnknownCharacterSetFallsBackToLatin1) {
  EXPECT_EQ(DecodeBytes(Bytes("\xE9t\xE9"), "NO-SUCH-CHARSET"), u"été");
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("Grüße \xF0\x9F\x98\x80")), "Grüße \xF0\x9F\x98\x80");
}

struct DeleteScript {
  std::vector<int> results; // what each attempt returns; the last one repeats
  int attempts = 0;
  std::vector<uint32_t> waits;

  DeleteOps Ops() {
    return {[this](const char*) {
              const int r = results[std::min<size_t>(size_t(attempts), results.size() - 1)];
              ++attempts;
              return r;
            },
            [this](uint32_t ms) { waits.push_back(ms); }};
  }
};

TEST(DeleteWithRetry, RetriesOnlyWhileAccessIsDenied) {
  const struct {
    const char* name;
    std::vector<int> results;
    int attempts;
    int result;
  } cases[] = {
      {"deleted at once", {0}, 1, 0},
      {"already gone", {ENOENT}, 1, 0},
      {"locked for good", {EACCES}, 10, EACCES},
      {"busy twice, then deleted", {EBUSY, EPERM, 0}, 3, 0},
      {"other error stops at once", {EIO}, 1, EIO},
      {"denied, then another error", {EACCES, EROFS}, 2, EROFS},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    DeleteScript script;
    script.results = k.results;
    EXPECT_EQ(DeleteWithRetry("/tmp/Vel-0000.dll", script.Ops()), k.result);
    EXPECT_EQ(script.attempts, k.attempts);
    // A wait follows every attempt that was denied, and only those.
    int denied = 0;
    for (int i = 0; i < script.attempts; ++i)
      denied += IsAccessDenied(script.results[std::min<size_t>(size_t(i), script.results.size() - 1)]);
    EXPECT_EQ(script.waits, std::vector<uint32_t>(size_t(denied), 500u));
  }
}

} // namespace
} // namespace vel
