// The start-up check that the program's own executable file is unmodified.
#pragma once

// True when the checksum stamped into the executable at build time matches its file.
bool ExecutableIsIntact();
