#include "own_file.hpp"

#include "system.hpp"

namespace quorventine {

namespace {

// Whether the path read from the command line, at the start of room (which has 5 units to spare after it), names
// this launcher's own file the way Windows finds a program: with ".exe" added to a name without an extension.
[[nodiscard]] bool names_own_file(wchar_t* room, std::size_t length, const FileIdentity& own) {
  join({lacks_extension(Text(room, length)) ? Text(L".exe") : Text()}, room + length);
  FileIdentity named;
  return identify(room, named) && same_file(named, own);
}

}  // namespace

// It ends at the first blank outside quotes. Windows reads an unquoted path with blanks (a registry entry written
// without quotes) up to the first blank at which the text so far names a program; read the same way, it may end at
// any later blank at which it names this launcher, so that no fragment of it reaches the application.
std::optional<std::size_t> own_file_end(Text line, const FileIdentity& own, wchar_t* room) {
  const bool unquoted = line.empty() || line[0] != L'"';
  for (std::size_t from = 0, end = path_end(line), read = 0;;) {
    read += read_path(Text(line.data() + from, end - from), room + read);
    if (names_own_file(room, read, own)) return end;
    if (!unquoted || end == line.size()) return std::nullopt;
    from = end;
    end = path_end(line, blanks_end(line, end));
  }
}

}  // namespace quorventine
