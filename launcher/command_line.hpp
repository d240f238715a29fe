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

// Where the program's path on the command line may end, scanning from `from` (which stands outside quotes): at
// the first blank or control character outside quotes, or at the end of the line.
[[nodiscard]] std::size_t path_end(Text command_line, std::size_t from = 0);

// Past the blanks that stand from `at` on.
[[nodiscard]] std::size_t blanks_end(Text command_line, std::size_t at);

// The arguments after a program's path that ends at `end`: the rest of the line without the blanks before it.
[[nodiscard]] Text arguments_after(Text command_line, std::size_t end);

// Part of a written path as Windows reads it: quotes dropped wherever they stand (no file name holds one) and '/'
// taken for '\'. Writes into out, which holds written.size() units, and returns how many it wrote.
[[nodiscard]] std::size_t read_path(Text written, wchar_t* out);

// Whether Windows, finding a program by this path, adds ".exe": when its file name has no extension.
[[nodiscard]] bool lacks_extension(Text path);

// The launcher's path as written counts where it names the launcher's own file, or where the system cannot even say
// where that file is (own_file empty): then the install directory is that path's directory. Otherwise, and for a
// bare name, it is the directory of the launcher's own file. None when neither has a directory.
[[nodiscard]] std::optional<Text> install_directory(Text written_path, bool names_own_file, Text own_file);

// Every text the launcher hands on is a few of these views one after another: join writes them and a
// terminating zero into out, which holds joined_length(parts) + 1 units.
[[nodiscard]] std::size_t joined_length(std::initializer_list<Text> parts);
void join(std::initializer_list<Text> parts, wchar_t* out);

}  // namespace quorventine
