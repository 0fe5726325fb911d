// Extraction speed of the setup loader against xz on the same raw LZMA1 stream.
//
//   loader_bench [--size MB] [--rounds N]
//
// Builds a container with one stub entry of the given size (default 64 MB, preset 6), then
// times, best of N rounds each (default 5; wall-clock and CPU time, the latter being less
// sensitive to other load on the machine), the loader's extraction (file in, temporary file
// out) and `xz --format=raw --lzma1=preset=6 -d` decoding the container's stream into a file.
// Prints both speeds and the ratios; the loader should reach 0.90 or more.
#include "loader/container.h"
#include "loader/pack/container_writer.h"
#include "loader/posix_files.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
  double wall = 1e30, cpu = 1e30; // seconds; cpu is user + system time of the work alone
  void KeepBest(const Timing& t) {
    wall = std::min(wall, t.wall);
    cpu = std::min(cpu, t.cpu);
  }
};

double CpuSeconds(const rusage& u) {
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Something like program code: tokens from a skewed vocabulary, with some noise.
std::string SampleData(size_t size) {
  std::mt19937 rng(12345);
  std::vector<std::string> vocabulary(4096);
  for (auto& w : vocabulary) {
    w.resize(2 + rng() % 11);
    for (char& c : w) c = char(rng() % 256);
  }
  std::string data;
  data.reserve(size + 16);
  std::geometric_distribution<size_t> pick(0.002);
  while (data.size() < size) {
    if (rng() % 16 == 0)
      data += char(rng() % 256);
    else
      data += vocabulary[pick(rng) % vocabulary.size()];
  }
  data.resize(size);
  return data;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

Timing TimeLoader(const std::string& container, const std::string& out) {
  ::unlink(out.c_str());
  rusage u0, u1;
  ::getrusage(RUSAGE_SELF, &u0);
  const auto t0 = Clock::now();
  vel::FileSource source;
  uint32_t result = source.Open(container, 0);
  vel::TargetFile target(out);
  if (result == 0) result = vel::ExtractEntry(source, vel::kStubEntryId, target);
  target.Close();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  ::getrusage(RUSAGE_SELF, &u1);
  if (result != 0) {
    std::fprintf(stderr, "extraction failed: %u\n", result);
    std::exit(1);
  }
  return {s, CpuSeconds(u1) - CpuSeconds(u0)};
}

Timing TimeXz(const std::string& stream, const std::string& out) {
  ::unlink(out.c_str());
  std::vector<std::string> args = {"xz", "--format=raw", "--lzma1=preset=6", "-d", "-c", stream};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const auto t0 = Clock::now();
  pid_t pid = 0;
  int status = 0;
  rusage usage{};
  if (posix_spawnp(&pid, "xz", &actions, nullptr, argv.data(), environ) != 0 ||
      ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "xz failed\n");
    std::exit(1);
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  posix_spawn_file_actions_destroy(&actions);
  return {s, CpuSeconds(usage)};
}

} // namespace

int main(int argc, char** argv) {
  size_t megabytes = 64;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size") == 0) megabytes = size_t(std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  std::string dir_template = (std::filesystem::temp_directory_path() / "vel-bench-XXXXXX").string();
  if (::mkdtemp(dir_template.data()) == nullptr) return 1;
  const std::filesystem::path dir = dir_template;
  const std::string container_path = (dir / "container").string(),
                    stream_path = (dir / "stream.lzma").string(), ours = (dir / "ours.out").string(),
                    theirs = (dir / "xz.out").string();

  const std::string data = SampleData(megabytes << 20);
  vel::pack::PackEntry stub;
  stub.id = vel::kStubEntryId;
  stub.data = data;
  std::string container;
  if (const std::string err = vel::pack::WriteContainer({stub}, {}, container); !err.empty()) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  WriteFile(container_path, container);
  WriteFile(stream_path, container.substr(vel::kStreamOffset));
  std::printf("stub entry %zu MB, stream %.1f MB (ratio %.2f)\n", megabytes,
              double(container.size()) / (1 << 20), double(data.size()) / double(container.size()));

  // Alternating which one goes first spreads the effect of other load on the machine.
  Timing best_ours, best_xz;
  for (int r = 0; r < rounds; ++r) {
    if (r % 2 == 0) best_ours.KeepBest(TimeLoader(container_path, ours));
    best_xz.KeepBest(TimeXz(stream_path, theirs));
    if (r % 2 == 1) best_ours.KeepBest(TimeLoader(container_path, ours));
  }
  // Both must have produced the whole output: the stub, and the stream's header plus the stub.
  if (FileSize(ours) != data.size() || FileSize(theirs) != data.size() + vel::kEntryHeaderSize) {
    std::fprintf(stderr, "output sizes differ: %llu %llu\n", (unsigned long long)FileSize(ours),
                 (unsigned long long)FileSize(theirs));
    return 1;
  }
  const double mb = double(data.size()) / (1 << 20);
  std::printf("loader extraction: wall %.3f s  %.1f MB/s   cpu %.3f s  %.1f MB/s\n", best_ours.wall,
              mb / best_ours.wall, best_ours.cpu, mb / best_ours.cpu);
  std::printf("xz -d (raw lzma1): wall %.3f s  %.1f MB/s   cpu %.3f s  %.1f MB/s\n", best_xz.wall,
              mb / best_xz.wall, best_xz.cpu, mb / best_xz.cpu);
  std::printf("speed ratio loader/xz: wall %.3f  cpu %.3f (target >= 0.90)\n", best_xz.wall / best_ours.wall,
              best_xz.cpu / best_ours.cpu);
  std::filesystem::remove_all(dir);
  return 0;
}
