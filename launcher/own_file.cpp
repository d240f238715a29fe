#include "own_file.hpp"

#include "system.hpp"

namespace quorventine {

namespace {

constexpr Text program_extension = L".exe";

// Whether the path read so far, at the start of room, names this launcher's own file the way Windows finds a
// program: with ".exe" added to a name without an extension.
[[nodiscard]] bool names_own_file(wchar_t* room, std::size_t length, const FileIdentity& own) {
  join({lacks_extension(Text(room, length)) ? program_extension : Text()}, room + length);
  FileIdentity named;
  return identify(room, named) && same_file(named, own);
}

}  // namespace

// Windows reads an unquoted path with blanks (a registry entry written without quotes) up to the first blank at
// which the text so far names a program; read the same way, it may end at any later blank at which it names this
// launcher, so that no fragment of it reaches the application.
LauncherPath launcher_path(Text line, Text own_file) {
  // The whole line read as one path, then ".exe" and a terminator: each end tried only adds to what was read.
  wchar_t* const room = new_text(line.size() + program_extension.size());
  const std::size_t first_end = path_end(line);
  const std::size_t first_length = read_path(Text(line.data(), first_end), room);
  FileIdentity own;
  if (identify(own_file.data(), own)) {
    const bool unquoted = line.empty() || line[0] != L'"';
    for (std::size_t end = first_end, length = first_length;;) {
      if (names_own_file(room, length, own)) return {Text(room, length), end, true};
      if (!unquoted || end == line.size()) break;
      const std::size_t from = end;
      end = path_end(line, blanks_end(line, end));
      length += read_path(Text(line.data() + from, end - from), room + length);
    }
  }
  return {Text(room, first_length), first_end, false};
}

}  // namespace quorventine
