// Where the Windows agent keeps its files: next to vornagent.exe, as a program unzipped into
// a folder of its own expects (a service starts in the system folder, so paths are absolute).
#pragma once

#include <string>

namespace vorn::agent::win {

// The full path of the running executable.
std::string ExecutablePath();

// `name` in the executable's folder.
std::string BesideExecutable(const std::string& name);

// `path` made absolute against the current folder (unchanged when that fails).
std::string FullPath(const std::string& path);

// True when `path` names an existing file.
bool FileExists(const std::string& path);

}  // namespace vorn::agent::win
