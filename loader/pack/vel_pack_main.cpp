// vel-pack: builds a setup loader that carries an installer stub and an archive.
//
//   vel-pack --loader LOADER --stub STUB.so --out OUTPUT [--archive FILE]... [--arguments TEXT]
//            [--trailer TEXT] [--flags N] [--preset N] [--objcopy PROGRAM]
//
// The stub becomes the entry 0xFFFFFFFFFFFF000F of the ".velstub" container (read-only and
// system, its file's modification time); each --archive file becomes an entry of the ".velarch"
// container, numbered from 1 in the order given. --arguments is stored in the ".velver" section,
// --trailer is appended as a UTF-8 trailer text. Exit status 0 on success, 2 on bad usage, 1 on
// any other failure (with a message on standard error).
#include "loader/pack/container_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int Usage() {
  std::fprintf(stderr, "usage: vel-pack --loader LOADER --stub STUB.so --out OUTPUT [--archive FILE]...\n"
                       "                [--arguments TEXT] [--trailer TEXT] [--flags N] [--preset N]\n"
                       "                [--objcopy PROGRAM]\n");
  return 2;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "vel-pack: %s\n", what.c_str());
  return 1;
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  return ::close(fd) == 0 && done == bytes.size();
}

} // namespace

int main(int argc, char** argv) {
  using namespace vel::pack;
  std::string loader, stub, out, objcopy = "objcopy";
  std::vector<std::string> archives;
  std::optional<std::string> arguments, trailer;
  ContainerOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (opt == "--loader")
      loader = value;
    else if (opt == "--stub")
      stub = value;
    else if (opt == "--out")
      out = value;
    else if (opt == "--archive")
      archives.push_back(value);
    else if (opt == "--arguments")
      arguments = value;
    else if (opt == "--trailer")
      trailer = value;
    else if (opt == "--flags")
      options.flags = uint32_t(std::strtoul(value.c_str(), nullptr, 0));
    else if (opt == "--preset")
      options.preset = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
    else if (opt == "--objcopy")
      objcopy = value;
    else
      return Usage();
  }
  if (loader.empty() || stub.empty() || out.empty()) return Usage();

  PackEntry stub_entry;
  stub_entry.id = vel::kStubEntryId;
  stub_entry.file_path = stub;
  stub_entry.creation_time = stub_entry.last_write_time = FileWriteTime(stub);
  stub_entry.attributes = vel::kAttrReadOnly | vel::kAttrSystem;
  std::string stub_container;
  if (std::string e = WriteContainer({stub_entry}, options, stub_container); !e.empty()) return Fail(e);

  std::vector<PackEntry> archive_entries;
  for (size_t i = 0; i < archives.size(); ++i) {
    PackEntry e;
    e.id = i + 1;
    e.file_path = archives[i];
    e.creation_time = e.last_write_time = FileWriteTime(archives[i]);
    e.attributes = vel::kAttrArchive;
    archive_entries.push_back(e);
  }
  std::string archive_container;
  if (std::string e = WriteContainer(archive_entries, options, archive_container); !e.empty()) return Fail(e);

  // Section contents go through files next to the output, removed again afterwards.
  const std::string stub_file = out + ".velstub.tmp", archive_file = out + ".velarch.tmp",
                    version_file = out + ".velver.tmp";
  std::vector<std::pair<std::string, std::string>> sections = {{".velstub", stub_file},
                                                               {".velarch", archive_file}};
  bool written = WriteWhole(stub_file, stub_container) && WriteWhole(archive_file, archive_container);
  if (arguments) {
    written = written && WriteWhole(version_file, *arguments);
    sections.emplace_back(".velver", version_file);
  }
  std::string error = written ? AddSections(objcopy, loader, out, sections) : "cannot write next to " + out;
  ::unlink(stub_file.c_str());
  ::unlink(archive_file.c_str());
  if (arguments) ::unlink(version_file.c_str());
  if (error.empty() && trailer) error = AppendToFile(out, Utf8Trailer(*trailer));
  if (!error.empty()) return Fail(error);
  return 0;
}
