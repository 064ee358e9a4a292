// How the program finds its command-line text and its profile file name. Portable.
#pragma once

#include <string>

// The text after the program's name: a quoted name runs to its closing quote, otherwise to
// the first blank; the blanks after it (codes 1 to 32) are skipped; the rest is kept whole.
const char* SkipProgramName(const char* commandLine);

// The profile file name for an executable path: the base name without directory and
// extension, followed by ".INI".
std::string ProfileNameForModule(const std::string& modulePath);
