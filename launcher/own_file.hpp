// Whether the path on the launcher's command line names the launcher's own file. Files are compared, not texts:
// another letter case, a relative path, an 8.3 short name, a substituted drive, a hard or symbolic link all name
// the same file.
#pragma once

#include <cstddef>
#include <optional>

#include "command_line.hpp"
#include "file_identity.hpp"

namespace quorventine {

// Where the launcher's path on its command line ends if it names this launcher's own file; none where it does
// not. The path read up to that end is left at the start of room, which holds line.size() + 5 units.
[[nodiscard]] std::optional<std::size_t> own_file_end(Text line, const FileIdentity& own, wchar_t* room);

}  // namespace quorventine
