// Text derivations from the launcher's own command line. Pure UTF-16 work with no platform calls and no
// allocation, so they build and are tested natively as well as on Windows, where the launcher links no C++
// runtime: nothing here may throw (no substr, no at, no value).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace quorventine {

// A view of UTF-16 code units; on Linux, where the native tests run, the same units in a wider wchar_t.
using Text = std::wstring_view;

// The install tree, below the install directory.
inline constexpr Text application_file = L"\\bin\\quorventine.exe";
inline constexpr Text library_directory = L"\\lib";
inline constexpr Text lock_file = L"\\quorventine.lock";

// The tail of the command line after the program's path and the blanks behind it, unchanged.
[[nodiscard]] Text argument_text(Text command_line);

// The directory of the program's path as written on the command line, without an opening quote. A path with no
// backslash at all (a bare name, found through PATH or the current directory) takes the directory of the
// launcher's own file instead; a path whose only backslash is its first character has no directory.
[[nodiscard]] std::optional<Text> install_directory(Text command_line, Text arguments, Text own_file);

// Every text the launcher hands on is a few of these views one after another: join writes them and a
// terminating zero into out, which holds joined_length(parts) + 1 units.
[[nodiscard]] std::size_t joined_length(std::initializer_list<Text> parts);
void join(std::initializer_list<Text> parts, wchar_t* out);

}  // namespace quorventine
