// Names and texts the loader builds: the temporary file name and the stub's command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// "Vel-%04X.dll" from the process identifier: its high 16 bits exclusive-or its low 16 bits.
std::string TempFileName(uint32_t process_id);

// Joins arguments into one Windows-style command line: an argument that is empty or holds a
// space, a tab or a double quote is enclosed in double quotes, with quotes and the backslashes
// before them escaped so a Windows-style parser gets the argument back.
std::u16string JoinWindowsCommandLine(const std::vector<std::u16string>& args);

// The arguments part of a command line: leading spaces, then the program name (up to and
// including the closing double quote when it starts with one, else up to and including the next
// space), then further spaces are skipped.
std::u16string_view SkipProgramName(std::u16string_view command_line);

// "<arguments> <trailer> <own arguments> /d:\"<own path>\"".
std::u16string BuildStubCommandLine(std::u16string_view version_arguments, std::u16string_view trailer,
                                    std::u16string_view own_arguments, std::u16string_view own_path);

} // namespace vel
