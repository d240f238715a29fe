// Whether the path on the launcher's command line names the launcher's own file. The text that the system gives for
// that file names it without a look at the file system (the common launch, as the shell writes it); any other text is
// compared as a file: another letter case, a relative path, an 8.3 short name, a substituted drive, a hard or
// symbolic link all name the same file.
#pragma once

#include <cstddef>

#include "command_line.hpp"

namespace quorventine {

// The launcher's path as its command line writes it.
struct LauncherPath {
  Text read;            // as Windows reads it: quotes dropped, '/' taken for '\'
  std::size_t end;      // where it ends on the command line; the arguments follow
  bool names_own_file;  // whether it names this launcher's own file
};

// The path ends where it names the launcher's own file, if it does anywhere; otherwise at the first blank outside
// quotes.
[[nodiscard]] LauncherPath launcher_path(Text command_line, Text own_file);

}  // namespace quorventine
