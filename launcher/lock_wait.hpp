// How the wait for the launch lock goes on after each thing it finds at the lock path. Decided from Windows' error
// codes, attribute bits and clocks alone, without platform calls, so that what Wine never shows (a file whose
// delete is pending, a create-new on a folder refused with "access denied", a filter that refuses for ever, a
// machine that stopped during a hold) is tested natively, and so is what the wait remembers from one look to the
// next.
#pragma once

#include <cstdint>

namespace quorventine {

// The error codes and attribute bits the decisions turn on, as winerror.h and winnt.h number them (the Windows
// build checks them).
namespace win_error {
inline constexpr unsigned long none = 0, file_not_found = 2, path_not_found = 3, access_denied = 5,
                               sharing_violation = 32, file_exists = 80, already_exists = 183;
}  // namespace win_error
inline constexpr unsigned long directory_attribute = 0x10, reparse_point_attribute = 0x400;

// A scanner keeps a deleted file open for milliseconds, and a launcher's read test is as short: ten holds' worth of
// refusals is something else.
inline constexpr std::uint32_t refusal_limit_ms = 30000;

// When the system started, in FILETIME units: its clock now less the time since then. Windows XP counts that time in
// 32 bits, which wrap after 49.7 days and make the start look later than it was.
[[nodiscard]] constexpr std::uint64_t system_start(std::uint64_t now, std::uint64_t uptime_ms) {
  const std::uint64_t uptime = uptime_ms * 10000;
  return uptime < now ? now - uptime : 0;
}

// A lock file that no launcher holds (the read test could open it) and that was last written before the system
// started was left by a machine that stopped during a hold: no launcher is left to remove it. One written since is
// somebody's on purpose, and blocks.
[[nodiscard]] constexpr bool left_from_before_start(std::uint64_t last_written, std::uint64_t started) {
  return last_written < started;
}

enum class Seen {
  held,             // the read test found the lock: held by a launcher, or a file made since the system started
  nothing,          // the read test found no file that it could read
  create_refused,   // the create-new of the lock was refused
  leftover_delete,  // a file from before the start was deleted, or the delete was refused (error)
};

// One look at the lock path.
struct Look {
  Seen seen;
  unsigned long error = win_error::none;             // why the create or the delete failed
  unsigned long attributes_error = win_error::none;  // why the name's attributes could not be read right after
  unsigned long attributes = 0;                      // what they were, when they were read
  std::uint32_t now_ms = 0;                          // the system's tick count
};

// What the wait remembers of one refusal of the lock. Seeing the lock held ends the refusal: after that launcher's
// release, a refusal is a new one, with a new bound and a new extra create.
struct Refusal {
  bool exists_refused = false;    // the last create met a file: the read test that follows tells what it is
  bool found_unreadable = false;  // a file stood there that the read test could not open
  bool created_again = false;     // the create was repeated once after the name had gone
  bool bounded = false;           // a bounded wait is under way, since waiting_since_ms
  std::uint32_t waiting_since_ms = 0;
};

enum class Next {
  poll,        // sleep 100 ms, then look again
  look,        // look again at once
  create,      // create the lock file
  go_without,  // no lock file can be had here: space the launch in the user's session instead
};

// Polls again within one bound per refusal, on the clock: sleeps alone would leave out the time the looks take.
[[nodiscard]] inline Next poll_within_bound(std::uint32_t now_ms, Refusal& refusal) {
  if (!refusal.bounded) {
    refusal.bounded = true;
    refusal.waiting_since_ms = now_ms;
  }
  return static_cast<std::uint32_t>(now_ms - refusal.waiting_since_ms) < refusal_limit_ms ? Next::poll
                                                                                           : Next::go_without;
}

[[nodiscard]] inline bool name_gone(unsigned long attributes_error) {
  return attributes_error == win_error::file_not_found || attributes_error == win_error::path_not_found;
}

[[nodiscard]] inline Next after_refused_create(const Look& look, Refusal& refusal) {
  // A folder is no lock, and no create-new succeeds on it. NTFS and FAT check that a file was asked for before they
  // look at the disposition, so they refuse with "access denied", which alone would read as a pending delete; Wine
  // says "file exists". Nor is a link of any kind (a symbolic link, a junction, a mount point), whatever it points
  // to: the create does not follow it, and the read test would, so a link to a file made during this boot would
  // hold every launch while one to a missing file would not. The attribute bits, which are the link's own, tell
  // both on every system.
  if (look.attributes_error == win_error::none &&
      (look.attributes & (directory_attribute | reparse_point_attribute)) != 0) {
    return Next::go_without;
  }
  if (look.error == win_error::file_exists || look.error == win_error::already_exists) {
    refusal.exists_refused = true;
    return Next::look;
  }
  if (look.error != win_error::access_denied) return Next::go_without;
  // A folder that cannot be written refuses the create, and its attributes say the name is not there. So does a
  // pending lock whose last scanner let go between the two calls: one more create tells them apart.
  if (name_gone(look.attributes_error)) {
    if (refusal.created_again) return Next::go_without;
    refusal.created_again = true;
    return Next::create;
  }
  // A lock whose holder has closed it stays delete-pending while another program (a virus scanner, the search
  // indexer) still has it open; until then every open of the name, the create and the attributes included, is
  // refused with "access denied". A filter may refuse the same way for ever, hence the bound.
  return poll_within_bound(look.now_ms, refusal);
}

[[nodiscard]] inline Next after_leftover_delete(const Look& look, Refusal& refusal) {
  if (look.error == win_error::none || name_gone(look.error)) return Next::create;
  // Another launcher tests it or has just taken the name (a new lock shares no delete access), or a program has it
  // open: the next look tells which, and a program that keeps it is not waited for beyond the bound.
  if (look.error == win_error::sharing_violation) return poll_within_bound(look.now_ms, refusal);
  if (look.error == win_error::access_denied) {
    if (name_gone(look.attributes_error)) return Next::create;
    // Attributes that can be read while the delete is refused: a read-only file, or another user's, which will never
    // go. Unreadable ones: its delete is already pending.
    if (look.attributes_error != win_error::none) return poll_within_bound(look.now_ms, refusal);
  }
  return Next::go_without;
}

[[nodiscard]] inline Next after(const Look& look, Refusal& refusal) {
  switch (look.seen) {
    case Seen::held:
      refusal = {};
      return Next::poll;
    case Seen::nothing:
      if (!refusal.exists_refused) return Next::create;
      refusal.exists_refused = false;
      // The create met a file that the read test cannot open: a file that cannot be read, which is no lock; or a
      // launcher whose start failed removed its lock between the two calls. A second time tells them apart.
      if (refusal.found_unreadable) return Next::go_without;
      refusal.found_unreadable = true;
      return Next::create;
    case Seen::create_refused:
      return after_refused_create(look, refusal);
    case Seen::leftover_delete:
      return after_leftover_delete(look, refusal);
  }
  return Next::go_without;
}

}  // namespace quorventine
