#pragma once
// The register file: the whole workspace image (settings, slot addresses, the
// twenty pages and all four tables of the five slots) as 8-bit text with CR LF
// line ends and right-aligned eight-character number fields.
//
// Saving keeps the file's identity: where nothing of the old file would be
// lost, the content goes to a new file in the same folder (with the old
// owner, group and mode), is flushed to disk and then renamed over the target;
// a file with a second hard link, an owner or group the user cannot give a new
// file, or a folder that takes no new file is written in place. A file the
// user may not write is refused.
// Loading is all or nothing: the file is read completely into a pending copy,
// and the workspace changes only when the whole file has been read.
//
// Failures throw RegisterFileError (file system) or ConversionError (a text
// that should be a number, from app/core/int_conv.h).
#include "app/core/workspace.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvane {

// A file that cannot be created, opened, read or written. what() is the text
// shown to the user ("File not found", "Disk full", "I/O error 5", ...).
class RegisterFileError : public std::runtime_error {
public:
  RegisterFileError(int error_number, const std::string& message)
      : std::runtime_error(message), errno_(error_number) {}
  // The errno behind the failure (EINVAL for an empty file name).
  int ErrorNumber() const { return errno_; }

private:
  int errno_;
};

// The user's text for a failed file operation with this errno.
std::string RegisterFileErrorText(int error_number);

// Number of lines a written file has: 29 + 5 * (4 + 512 + 512 + 8192 + 8192).
constexpr int kRegisterFileLines = 87089;

// The complete file content for the workspace.
std::string RegisterFileText(const Workspace& ws);

// Writes the file; throws RegisterFileError ("File access denied" for a file
// the user may not write). On failure the file at `path` is as it was before,
// except when a write in place fails past its start (the room for the new
// content is taken first where the file system can). When `path` is a
// symbolic link, the file it points to is saved and the link stays.
void SaveRegisterFile(const Workspace& ws, const std::string& path);

// Reads a register file in pieces of any size and applies it to its workspace
// only when Commit is called. Lines may end in CR LF or LF alone; the last
// line needs no line end.
class RegisterFileReader {
public:
  // Starts from the workspace's current Settings, Devices and View groups:
  // whatever the file does not supply keeps the value it had here. The
  // workspace must outlive the reader and not change until Commit.
  explicit RegisterFileReader(Workspace& ws);
  ~RegisterFileReader();
  RegisterFileReader(const RegisterFileReader&) = delete;
  RegisterFileReader& operator=(const RegisterFileReader&) = delete;

  // Throws ConversionError for a number that is not one; the reader is then
  // unusable and nothing has reached any workspace.
  void Feed(std::string_view bytes);
  // Ends the file (reads the missing lines of a short file as empty). Throws
  // ConversionError like Feed.
  void Finish();
  // Applies the file to the workspace, the three groups whole: settings, slot
  // addresses with ActiveSlot := 1 and DeviceAddress := SlotAddress[1], pages
  // with page 1 as the view and CurrentPage := 1; then the table values it
  // supplies. Only after Finish.
  void Commit();

private:
  struct Pending;
  void Line(std::string_view line, uint64_t length);
  void HeaderLine(std::string_view line, uint64_t length);
  void DataLine(std::string_view line, uint64_t length);

  Workspace& ws_;
  std::unique_ptr<Pending> p_;
  std::string partial_;      // the line being assembled across pieces
  uint64_t partial_len_ = 0; // its true length (only the first kLineKeep bytes are kept)
  char partial_last_ = 0;    // its last character, kept or not
  uint64_t line_no_ = 0;     // lines done
  bool finished_ = false;
  bool failed_ = false;
};

// Reads a whole text (as a file would be read) into the workspace, all or
// nothing. Throws ConversionError.
void ReadRegisterText(Workspace& ws, std::string_view text);

// Reads the file into the workspace, all or nothing. Throws RegisterFileError
// or ConversionError; either leaves the workspace exactly as it was. Closing
// the port, the poll interval and redrawing are the caller's.
void LoadRegisterFile(Workspace& ws, const std::string& path);

} // namespace korvane
