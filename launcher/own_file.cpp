#include "own_file.hpp"

#include "system.hpp"

namespace quorventine {

namespace {

// The launcher's own file as its file system tells it apart from others: looked up once, and only when a path's
// text is not the system's own name for the file.
struct OwnIdentity {
  bool looked_up = false, known = false;
  FileIdentity file;
};

// Whether the path read so far, at the start of room, names this launcher's own file. The text that the system
// gives for that file names it, with no look at the file system; any other text only where both files' identities
// match, with ".exe" added to a name without an extension as Windows adds it to find a program.
[[nodiscard]] bool names_own_file(wchar_t* room, std::size_t length, Text own_file, OwnIdentity& own) {
  if (is_own_file_text(Text(room, length), own_file)) return true;
  if (!own.looked_up) {
    own.looked_up = true;
    own.known = identify(own_file.data(), own.file);
  }
  join({lacks_extension(Text(room, length)) ? program_extension : Text()}, room + length);
  FileIdentity named;
  return own.known && identify(room, named) && same_file(named, own.file);
}

}  // namespace

// The path may end at any place that Windows may have ended it (the first blank of an unquoted path with blanks that
// names a program), and ends where it names this launcher, so that no fragment of it reaches the application. The
// text is compared at each place as well as the identity: where the text is the system's own name for the launcher,
// that answer holds even where the identity could give none (a file system without file IDs), so such a path ends at
// the launcher there too.
LauncherPath launcher_path(Text line, Text own_file) {
  // The whole line read as one path, then ".exe" and a terminator: each place tried only adds to what was read.
  wchar_t* const room = new_text(line.size() + program_extension.size());
  PathEnd at = first_path_end(line, room);
  const PathEnd first = at;
  OwnIdentity own;
  do {
    if (names_own_file(room, at.length, own_file, own)) return {Text(room, at.length), at.end, true};
  } while (next_path_end(line, at, room));
  return {Text(room, first.length), first.end, false};
}

}  // namespace quorventine
