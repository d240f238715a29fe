// What a refused take of the launch lock means. Decided from Windows' error codes and attribute bits alone,
// without platform calls, so that the cases Wine cannot show (it keeps a file whose delete is pending openable,
// and refuses a create-new on a folder with "file exists") are tested natively.
#pragma once

namespace quorventine {

// The error codes and attribute bits the decision turns on, as winerror.h and winnt.h number them (the Windows
// build checks them).
namespace win_error {
inline constexpr unsigned long none = 0, file_not_found = 2, path_not_found = 3, access_denied = 5,
                               file_exists = 80, already_exists = 183;
}  // namespace win_error
inline constexpr unsigned long directory_attribute = 0x10;

// A scanner keeps a deleted file open for milliseconds; ten holds' worth of refusals is something else.
inline constexpr unsigned long pending_wait_limit_ms = 30000;

// What the launcher knows after its create-new of the lock was refused.
struct RefusedTake {
  unsigned long create_error;       // why the create-new failed
  unsigned long attributes_error;   // why reading the name's attributes right after failed; none when they were read
  unsigned long attributes;         // what they were, when they were read
  unsigned long pending_waited_ms;  // spent so far waiting for a lock whose delete is pending
  bool created_again;               // the create was already repeated once after the name had gone
};

enum class Refusal {
  retest,        // something stands at the lock path: another launcher's lock, or a file that cannot be read
  wait,          // a lock on its way out: poll again
  create_again,  // the name has gone: try the create once more
  go_without,    // no lock can be had here: start without one, at once
};

[[nodiscard]] constexpr Refusal after_refused_take(const RefusedTake& take) {
  // A folder, or a junction or link to one, is no lock, and no create-new succeeds on it. NTFS and FAT check that a
  // file was asked for before they look at the disposition, so they refuse with "access denied", which alone would
  // read as a pending delete; Wine says "file exists". The attribute bits tell it on both.
  if (take.attributes_error == win_error::none && (take.attributes & directory_attribute) != 0) {
    return Refusal::go_without;
  }
  if (take.create_error == win_error::file_exists || take.create_error == win_error::already_exists) {
    return Refusal::retest;
  }
  if (take.create_error != win_error::access_denied) return Refusal::go_without;
  // A folder that cannot be written refuses the create, and its attributes say the name is not there. So does a
  // pending lock whose last scanner let go between the two calls: one more create tells them apart.
  if (take.attributes_error == win_error::file_not_found || take.attributes_error == win_error::path_not_found) {
    return take.created_again ? Refusal::go_without : Refusal::create_again;
  }
  // A lock whose holder has closed it stays delete-pending while another program (a virus scanner, the search
  // indexer) still has it open; until then every open of the name, the create and the attributes included, is
  // refused with "access denied". A filter may refuse the same way for ever, hence the bound.
  return take.pending_waited_ms < pending_wait_limit_ms ? Refusal::wait : Refusal::go_without;
}

}  // namespace quorventine
