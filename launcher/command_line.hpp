// Text derivations from the launcher's own command line. Pure UTF-16 work with no platform calls, so they build
// and are tested natively as well as on Windows.
#pragma once

#include <optional>
#include <string>

namespace quorventine {

// The tail of the command line after the program's path and the blanks behind it, unchanged.
[[nodiscard]] std::wstring argument_text(const std::wstring& command_line);

// The directory of the program's path as written on the command line, without an opening quote. A path with no
// backslash at all (a bare name, found through PATH or the current directory) takes the directory of the
// launcher's own file instead; a path whose only backslash is its first character has no directory.
[[nodiscard]] std::optional<std::wstring> install_directory(const std::wstring& command_line,
                                                            const std::wstring& arguments,
                                                            const std::wstring& own_file);

[[nodiscard]] std::wstring target_path(const std::wstring& install_dir);
[[nodiscard]] std::wstring child_command_line(const std::wstring& target, const std::wstring& arguments);
[[nodiscard]] std::wstring new_path_value(const std::wstring& install_dir, const std::wstring& old_path);
[[nodiscard]] std::wstring lock_path(const std::wstring& install_dir);

}  // namespace quorventine
