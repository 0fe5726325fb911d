#pragma once
// Whole files read and written as bytes, for tests.
#include <string>

namespace korvane::test {

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file's content with `content`.
void WriteFile(const std::string& path, const std::string& content);

} // namespace korvane::test
