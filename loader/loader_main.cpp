// The setup loader: unpacks the installer stub it carries in its own file into a temporary file,
// loads it, calls its entry point and ends with the stub's result.
#include "loader/cleanup.h"
#include "loader/command_line.h"
#include "loader/container.h"
#include "loader/posix_files.h"
#include "loader/text_codec.h"
#include "loader/trailer.h"

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

// The stub's entry point. ELF cannot carry the decorated Windows name, so the stub exports it
// undecorated; the arguments are the NUL-terminated command line and 0.
constexpr const char* kEntryPointName = "_VelRunInstallerW";
using EntryPoint = uint32_t (*)(const char16_t* command_line, uint32_t reserved);

constexpr int kExitStubFailed = 249;
constexpr int kExitNoStubSection = 254;
constexpr int kExitNoPath = 255;

// The message box and the debugger output of the loader are both standard error here.
[[gnu::format(printf, 1, 2)]] void Message(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "VEL Loader: %s", text);
  std::fflush(stderr);
}

std::u16string Decode(const std::string& bytes) {
  return vel::DecodeBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                          vel::LocaleCodeset());
}

std::u16string CommandLineForStub(const std::string& own_path) {
  std::string arguments = vel::ReadFileSection(own_path, ".velver");
  while (!arguments.empty() && arguments.back() == '\0') arguments.pop_back();

  const std::vector<uint8_t> tail = vel::ReadFileTail(own_path);
  const std::u16string trailer = vel::FindTrailerText(tail, vel::LocaleCodeset());

  std::vector<std::u16string> argv;
  for (const std::string& a : vel::ProcessArguments()) argv.push_back(Decode(a));
  const std::u16string process_line = vel::JoinWindowsCommandLine(argv);

  return vel::BuildStubCommandLine(vel::Utf8ToUtf16(arguments), trailer, vel::SkipProgramName(process_line),
                                   Decode(own_path));
}

// An exit status holds 8 bits: a larger result must not turn into success or another small code.
int ExitStatusFor(uint32_t result) { return result > 255 ? 255 : int(result); }

int RunLoader() {
  std::string own_path;
  if (uint32_t err = vel::OwnExecutablePath(own_path)) {
    Message("GetModuleFileName() failed => %u\n", err);
    return kExitNoPath;
  }
  const vel::SectionLookup stub = vel::FindFileSection(own_path, ".velstub");
  if (stub.status == vel::SectionLookup::NoValidHeaders) {
    Message("Executable has no valid MZ signature\n");
    return kExitNoStubSection;
  }
  if (stub.status != vel::SectionLookup::Found) {
    Message("Executable has no .velstub section\n");
    return kExitNoStubSection;
  }
  std::string temp_path;
  if (uint32_t err = vel::TempFolder(temp_path)) {
    Message("GetTempPath() failed => %u\n", err);
    return kExitNoPath;
  }
  temp_path += vel::TempFileName(uint32_t(::getpid()));

  int exit_code = kExitStubFailed;
  void* library = nullptr;
  {
    vel::TargetFile target(temp_path);
    vel::FileSource source;
    uint32_t result = source.Open(own_path, stub.offset, stub.size);
    if (result == 0) result = vel::ExtractEntry(source, vel::kStubEntryId, target);
    if (result != 0) {
      Message("Error %u while extracting VEL.DLL to %s\n", result, temp_path.c_str());
    } else {
      // Loaded through the descriptor that wrote it, not by name.
      errno = 0;
      library = ::dlopen(target.DescriptorPath().c_str(), RTLD_NOW | RTLD_LOCAL);
      if (library == nullptr) {
        const int err = errno != 0 ? errno : ENOEXEC;
        const char* why = ::dlerror();
        Message("Error %u while loading VEL.DLL %s\n", unsigned(err), temp_path.c_str());
        if (why != nullptr) std::fprintf(stderr, "VEL Loader: %s\n", why);
      }
    }
  }

  if (library != nullptr) {
    ::dlerror();
    void* symbol = ::dlsym(library, kEntryPointName);
    if (symbol == nullptr) {
      Message("Error %u while retrieving VelRunInstaller() entry point from %s\n", unsigned(ENOENT),
              temp_path.c_str());
    } else {
      const std::u16string command_line = CommandLineForStub(own_path);
      const auto entry = reinterpret_cast<EntryPoint>(symbol);
      exit_code = ExitStatusFor(entry(command_line.c_str(), 0));
    }
    ::dlclose(library);
  }

  vel::DeleteWithRetry(temp_path.c_str(), vel::SystemDeleteOps());
  return exit_code;
}

} // namespace

int main() {
  std::setlocale(LC_ALL, "");
  return RunLoader();
}
