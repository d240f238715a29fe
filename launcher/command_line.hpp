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
// What Windows adds to a program's name without an extension to find it.
inline constexpr Text program_extension = L".exe";

// One place where the launcher's path may end on its command line, with the path read up to there (quotes dropped
// wherever they stand, as no file name holds one, and '/' taken for '\\') at the start of the caller's room, which
// holds the whole line read as one path and a terminator.
struct PathEnd {
  std::size_t end;     // on the command line; the arguments follow
  std::size_t length;  // of the path read into the room
};

// The first place: the first blank or control character outside quotes, or the end of the line.
[[nodiscard]] PathEnd first_path_end(Text command_line, wchar_t* room);

// The next place, reading on into the room: for a path written without quotes, the next blank. Windows reads such a
// path with blanks (a registry entry written without quotes) up to the first blank at which the text so far names a
// program, so it may end at any of them. False where there is no later place.
[[nodiscard]] bool next_path_end(Text command_line, PathEnd& at, wchar_t* room);

// The arguments after a program's path that ends at `end`: the rest of the line without the blanks before it.
[[nodiscard]] Text arguments_after(Text command_line, std::size_t end);

// Whether Windows, finding a program by this path, adds ".exe": when its file name has no extension.
[[nodiscard]] bool lacks_extension(Text path);

// Whether a path read from the command line is the very text that the system gives for the launcher's own file,
// with ".exe" added where Windows adds it to find a program. The same text names the same file at that moment on
// any file system, so no look at the file is needed, and none could tell more.
[[nodiscard]] bool is_own_file_text(Text path, Text own_file);

// The launcher's path as written counts where it names the launcher's own file, or where the system cannot even say
// where that file is (own_file empty): then the install directory is that path's directory. Otherwise, and for a
// bare name, it is the directory of the launcher's own file. None when neither has a directory.
[[nodiscard]] std::optional<Text> install_directory(Text written_path, bool names_own_file, Text own_file);

// Every text the launcher hands on is a few of these views one after another: join writes them and a
// terminating zero into out, which holds joined_length(parts) + 1 units.
[[nodiscard]] std::size_t joined_length(std::initializer_list<Text> parts);
void join(std::initializer_list<Text> parts, wchar_t* out);

}  // namespace quorventine
