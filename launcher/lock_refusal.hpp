// What a refused take of the launch lock means. Decided from Windows' error codes alone, without platform calls,
// so that the cases Wine cannot show (it keeps a file whose delete is pending openable) are tested natively.
#pragma once

namespace quorventine {

// The error codes the decision turns on, as winerror.h numbers them (the Windows build checks them).
namespace win_error {
inline constexpr unsigned long none = 0, file_not_found = 2, path_not_found = 3, access_denied = 5,
                               file_exists = 80, already_exists = 183;
}  // namespace win_error

enum class Refusal {
  retest,      // something stands at the lock path: another launcher's lock, or a file that cannot be read
  wait,        // a lock on its way out: poll again
  go_without,  // no lock can be had here: start without one, at once
};

// create_error: why the create-new failed; attributes_error: why reading the name's attributes failed right after,
// or none when they could be read.
[[nodiscard]] constexpr Refusal after_refused_take(unsigned long create_error, unsigned long attributes_error) {
  if (create_error == win_error::file_exists || create_error == win_error::already_exists) return Refusal::retest;
  // A lock whose holder has closed it stays delete-pending while another program (a virus scanner, the search
  // indexer) still has it open; until then every open of the name, the create and the attributes included, is
  // refused with "access denied". A folder that cannot be written refuses only the create: its attributes say
  // the name is not there. So a refused create with the name still there is a lock on its way out.
  if (create_error == win_error::access_denied && attributes_error != win_error::file_not_found &&
      attributes_error != win_error::path_not_found) {
    return Refusal::wait;
  }
  return Refusal::go_without;
}

}  // namespace quorventine
