#include "loader/container.h"
#include "loader/pack/container_writer.h"
#include "loader/posix_files.h"
#include "loader_test_support.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <sys/stat.h>

namespace vel {
namespace {

using pack::ContainerOptions;
using pack::PackEntry;

// Bytes that compress somewhat, like program code, deterministic per seed.
std::string SampleBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = char(rng() % 8 == 0 ? rng() : i % 61);
  return s;
}

class MemorySource : public ByteSource {
public:
  explicit MemorySource(std::string bytes, uint32_t fail_after_bytes_errno = 0, size_t fail_at = 0)
      : bytes_(std::move(bytes)), fail_errno_(fail_after_bytes_errno), fail_at_(fail_at) {}
  uint32_t Read(uint8_t* buffer, size_t size, size_t& got) override {
    if (fail_errno_ != 0 && pos_ >= fail_at_) return fail_errno_;
    // Small, uneven pieces, so nothing depends on how the input is cut.
    got = std::min({size, bytes_.size() - pos_, size_t(4093)});
    std::memcpy(buffer, bytes_.data() + pos_, got);
    pos_ += got;
    return 0;
  }

private:
  std::string bytes_;
  size_t pos_ = 0;
  uint32_t fail_errno_;
  size_t fail_at_;
};

class MemorySink : public EntrySink {
public:
  uint32_t create_error = 0;
  uint32_t write_error = 0;
  size_t max_store = SIZE_MAX; // stores at most this much per call; 0 stores nothing
  std::string data;
  bool created = false, finished = false, abandoned = false;
  EntryHeader entry;

  uint32_t Create(const EntryHeader& e) override {
    created = true;
    entry = e;
    return create_error;
  }
  uint32_t Write(const uint8_t* p, size_t n, size_t& stored) override {
    if (write_error != 0) return write_error;
    stored = std::min(n, max_store);
    data.append(reinterpret_cast<const char*>(p), stored);
    return 0;
  }
  void Finish(const EntryHeader&) override { finished = true; }
  void Abandon() override { abandoned = true; }
};

PackEntry Entry(uint64_t id, std::string data, uint64_t time = 0, uint32_t attributes = 0) {
  PackEntry e;
  e.id = id;
  e.data = std::move(data);
  e.last_write_time = time;
  e.attributes = attributes;
  return e;
}

std::string Container(const std::vector<PackEntry>& entries, ContainerOptions options = {}) {
  std::string c;
  const std::string err = pack::WriteContainer(entries, options, c);
  if (!err.empty()) ADD_FAILURE() << err;
  return c;
}

const std::string kStub = SampleBytes(200 * 1024 + 17, 1);
const std::string kOther = SampleBytes(150 * 1024 + 3, 2);

TEST(ExtractEntry, SkipsOtherEntriesAndDeliversTheStubInFull) {
  const uint64_t time = 133000000000000000ULL;
  const std::string c = Container({Entry(7, kOther), Entry(kStubEntryId, kStub, time, 5), Entry(8, "tail")});
  MemorySource src(c);
  MemorySink sink;
  sink.max_store = 1000; // short writes must be continued, not lost
  ASSERT_EQ(ExtractEntry(src, kStubEntryId, sink), 0u);
  EXPECT_TRUE(sink.finished);
  EXPECT_FALSE(sink.abandoned);
  EXPECT_EQ(sink.data.size(), kStub.size());
  EXPECT_TRUE(sink.data == kStub);
  EXPECT_EQ(sink.entry.last_write_time, time);
  EXPECT_EQ(sink.entry.attributes, 5u);
  EXPECT_EQ(sink.entry.size, kStub.size());
}

TEST(ExtractEntry, AnEmptyEntryMakesAnEmptyFile) {
  MemorySource src(Container({Entry(kStubEntryId, "")}));
  MemorySink sink;
  ASSERT_EQ(ExtractEntry(src, kStubEntryId, sink), 0u);
  EXPECT_TRUE(sink.created);
  EXPECT_TRUE(sink.finished);
  EXPECT_TRUE(sink.data.empty());
}

// A dictionary size of 0 reads as 1, which the decoder takes as its smallest dictionary.
TEST(ExtractEntry, DictionaryZeroIsAccepted) {
  ContainerOptions small;
  small.lzma = LzmaProperties{3, 0, 2, 4096};
  std::string c = Container({Entry(kStubEntryId, kStub)}, small);
  WriteLe32(reinterpret_cast<uint8_t*>(&c[73]), 0);
  MemorySource src(c);
  MemorySink sink;
  ASSERT_EQ(ExtractEntry(src, kStubEntryId, sink), 0u);
  EXPECT_TRUE(sink.data == kStub);
}

std::string HeaderBytes(uint64_t id, uint64_t size) {
  const auto h = pack::MakeEntryHeader(Entry(id, ""), size);
  return std::string(reinterpret_cast<const char*>(h.data()), h.size());
}

std::string RawContainer(const std::string& payload) {
  std::string c;
  const std::string err = pack::WriteRawContainer(payload, {}, c);
  if (!err.empty()) ADD_FAILURE() << err;
  return c;
}

void Set32(std::string& c, size_t at, uint32_t v) { WriteLe32(reinterpret_cast<uint8_t*>(&c[at]), v); }

struct Damage {
  const char* name;
  std::function<void(std::string&)> apply;
  uint32_t result;
};

TEST(ExtractEntry, DamagedContainersGiveTheirResultCodes) {
  const std::string good = Container({Entry(3, kOther), Entry(kStubEntryId, kStub)});
  const std::vector<Damage> cases = {
      {"intact", [](std::string&) {}, 0},
      {"container magic", [](std::string& c) { c[16] = 'X'; }, kResultBadData},
      {"version", [](std::string& c) { Set32(c, 20, 0x00060000); }, kResultBadData},
      {"check block, flag bit 0 clear", [](std::string& c) { c[64] ^= 1; }, kResultBadData},
      {"check block, flag bit 0 set",
       [](std::string& c) {
         c[68] ^= 1;
         Set32(c, 24, 0xFFFFFFFF);
       },
       kResultCheckFailed},
      {"flag bit 0 set, check block fine", [](std::string& c) { Set32(c, 24, 1); }, 0},
      {"check block, only other flag bits set",
       [](std::string& c) {
         c[64] ^= 1;
         Set32(c, 24, 0xFFFFFFFE);
       },
       kResultBadData},
      {"property byte 225", [](std::string& c) { c[72] = char(225); }, kResultBadProperties},
      {"property byte 255", [](std::string& c) { c[72] = char(255); }, kResultBadProperties},
      {"lc + lp beyond the decoder", [](std::string& c) { c[72] = char(8); }, kResultBadProperties},
      {"file ends in the header", [](std::string& c) { c.resize(40); }, kResultEndedEarly},
      {"file ends in the properties", [](std::string& c) { c.resize(75); }, kResultEndedEarly},
      {"file ends in the first entry header", [](std::string& c) { c.resize(80); }, kResultCorrupt},
      {"file ends in the skipped entry", [](std::string& c) { c.resize(c.size() / 4); }, kResultEndedEarly},
      {"file ends in the stub", [](std::string& c) { c.resize(c.size() - 100); }, kResultEndedEarly},
      {"stream does not start with 0", [](std::string& c) { c[77] = char(0xFF); }, kResultCorrupt},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.name);
    std::string c = good;
    d.apply(c);
    MemorySource src(c);
    MemorySink sink;
    EXPECT_EQ(ExtractEntry(src, kStubEntryId, sink), d.result);
    EXPECT_EQ(sink.finished, d.result == 0);
    if (d.result == 0) {
      EXPECT_TRUE(sink.data == kStub);
    }
  }
}

TEST(ExtractEntry, EntryHeaderChecks) {
  std::string bad_magic = HeaderBytes(kStubEntryId, 0);
  bad_magic[3] = '2';
  std::string bad_word = HeaderBytes(kStubEntryId, 0);
  bad_word[6] = 1;
  const struct {
    const char* name;
    std::string payload;
    uint32_t result;
  } cases[] = {
      {"entry magic", bad_magic, kResultBadData},
      {"second word not 0", bad_word, kResultBadEntryWord},
      {"bad header after a skipped entry", HeaderBytes(4, 3) + "xyz" + bad_word, kResultBadEntryWord},
      {"stream ends inside a header", HeaderBytes(kStubEntryId, 0).substr(0, 63), kResultCorrupt},
      {"no stub entry", HeaderBytes(4, 2) + "xy", kResultCorrupt},
      {"stub shorter than its size", HeaderBytes(kStubEntryId, 100) + "abc", kResultEndedEarly},
      {"skipped entry shorter than its size", HeaderBytes(4, 70000) + "abc", kResultEndedEarly},
      {"stub of one full chunk", HeaderBytes(kStubEntryId, kChunkSize) + std::string(kChunkSize, 'a'), 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    MemorySource src(RawContainer(k.payload));
    MemorySink sink;
    EXPECT_EQ(ExtractEntry(src, kStubEntryId, sink), k.result);
    // The target is created only once the stub's header has been accepted.
    if (k.result == kResultBadData || k.result == kResultBadEntryWord) {
      EXPECT_FALSE(sink.created);
    }
  }
}

TEST(ExtractEntry, SinkAndSourceFailuresAreReported) {
  const std::string c = Container({Entry(kStubEntryId, kStub)});
  {
    SCOPED_TRACE("create fails");
    MemorySource src(c);
    MemorySink sink;
    sink.create_error = EACCES;
    EXPECT_EQ(ExtractEntry(src, kStubEntryId, sink), uint32_t(EACCES));
  }
  {
    SCOPED_TRACE("write fails");
    MemorySource src(c);
    MemorySink sink;
    sink.write_error = ENOSPC;
    EXPECT_EQ(ExtractEntry(src, kStubEntryId, sink), uint32_t(ENOSPC));
    EXPECT_TRUE(sink.abandoned);
    EXPECT_FALSE(sink.finished);
  }
  {
    SCOPED_TRACE("write stores nothing");
    MemorySource src(c);
    MemorySink sink;
    sink.max_store = 0;
    EXPECT_EQ(ExtractEntry(src, kStubEntryId, sink), kResultNothingWritten);
    EXPECT_TRUE(sink.abandoned);
  }
  for (size_t fail_at : {size_t(0), size_t(70), c.size() / 2}) {
    SCOPED_TRACE(fail_at);
    MemorySource src(c, EIO, fail_at);
    MemorySink sink;
    EXPECT_EQ(ExtractEntry(src, kStubEntryId, sink), uint32_t(EIO));
  }
}

// Python's lzma module is a second, independent writer of raw streams; unusual lc/lp/pb catch a
// property byte split the wrong way round.
TEST(ExtractEntry, ReadsStreamsOfAnIndependentEncoder) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
  test::TempDir dir;
  const std::string payload =
      HeaderBytes(9, 5000) + kOther.substr(0, 5000) + HeaderBytes(kStubEntryId, kStub.size()) + kStub;
  test::WriteFile(dir / "payload", payload);
  const struct {
    LzmaProperties props;
  } cases[] = {{{0, 2, 0, 1 << 20}}, {{4, 0, 4, 65536}}, {{1, 3, 1, 3 << 16}}};
  for (const auto& k : cases) {
    const LzmaProperties& p = k.props;
    SCOPED_TRACE(testing::Message() << "lc=" << p.lc << " lp=" << p.lp << " pb=" << p.pb);
    const std::string script =
        "import lzma,sys\n"
        "f=[{'id':lzma.FILTER_LZMA1,'preset':6,'lc':" +
        std::to_string(p.lc) + ",'lp':" + std::to_string(p.lp) + ",'pb':" + std::to_string(p.pb) +
        ",'dict_size':" + std::to_string(p.dict_size) +
        "}]\n"
        "d=open(sys.argv[1],'rb').read()\n"
        "open(sys.argv[2],'wb').write(lzma.compress(d,format=lzma.FORMAT_RAW,filters=f))\n";
    test::WriteFile(dir / "pack.py", script);
    const auto run =
        test::Run({"/usr/bin/python3", dir / "pack.py", dir / "payload", dir / "stream"}, {}, dir.path());
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ContainerOptions options;
    options.lzma = p;
    MemorySource src(pack::WrapStream(test::ReadFile(dir / "stream"), options));
    MemorySink sink;
    ASSERT_EQ(ExtractEntry(src, kStubEntryId, sink), 0u);
    EXPECT_TRUE(sink.data == kStub);
  }
}

// The temporary file on disk: created exclusively in place of whatever was there, written
// through its own descriptor, then given the entry's time and read-only attribute.
TEST(TargetFile, ReplacesAPlantedLinkAndAppliesTimeAndAttributes) {
  test::TempDir dir;
  const std::string victim = dir / "victim", path = dir / "Vel-0001.dll";
  test::WriteFile(victim, "keep me");
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);

  const std::string c =
      Container({Entry(kStubEntryId, kStub, 132000000001234567ULL, kAttrReadOnly | kAttrSystem)});
  MemorySource src(c);
  {
    TargetFile target(path);
    ASSERT_EQ(ExtractEntry(src, kStubEntryId, target), 0u);
    // What the descriptor names is the file just written.
    EXPECT_TRUE(test::ReadFile(target.DescriptorPath()) == kStub);
  }
  EXPECT_EQ(test::ReadFile(victim), "keep me");
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0400u);
  // 132000000001234567 * 100 ns after 1601-01-01 is 1555526400 s and 123456700 ns after 1970.
  EXPECT_EQ(st.st_mtim.tv_sec, 1555526400);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);
  EXPECT_TRUE(test::ReadFile(path) == kStub);
}

TEST(TargetFile, WritableEntryKeepsOwnerOnlyModeAndTimeZeroLeavesTheTime) {
  test::TempDir dir;
  const std::string path = dir / "Vel-0002.dll";
  test::WriteFile(path, "old content that is longer than the new one");
  MemorySource src(Container({Entry(kStubEntryId, "new", 0, kAttrArchive)}));
  TargetFile target(path);
  ASSERT_EQ(ExtractEntry(src, kStubEntryId, target), 0u);
  target.Close();
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_GT(st.st_mtim.tv_sec, 1555526400); // now, not 1601
  EXPECT_EQ(test::ReadFile(path), "new");
}

} // namespace
} // namespace vel
