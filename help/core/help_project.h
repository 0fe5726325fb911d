#pragma once
// Context numbers of the help file. The help project (help/content/
// Korvane_Help.hhp) names each context in [MAP] ("#define IDH_NAME 40") and
// points the name at its page in [ALIAS] ("IDH_NAME=page.htm"). The program
// carries the project text, because the compiled file cannot be trusted for
// this: chmcmd stores each context's target as the absolute path the page had
// on the build machine, so a viewer asked for a context number finds nothing.
#include <map>
#include <string>

namespace korvane {

// Context number -> page inside the compiled file ("/name.htm"). Names in
// [MAP] without an [ALIAS] entry, and aliases without a number, are dropped.
// Numbers are decimal or "0x" hexadecimal.
std::map<int, std::string> ParseHelpProjectMap(const std::string& projectText);

// The text of Korvane's own help project, built into the program.
const std::string& KorvaneHelpProjectText();
// Its parsed map (parsed once).
const std::map<int, std::string>& KorvaneHelpContextPages();

} // namespace korvane
