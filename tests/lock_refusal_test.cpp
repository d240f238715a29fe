// A refused take of the lock, for the states that Wine cannot show: a lock whose delete is pending.
#include "lock_refusal.hpp"

#include <gtest/gtest.h>

namespace {

using namespace quorventine;

TEST(LockRefusal, PendingLockIsWaitedForAndAnUnwritableFolderIsNot) {
  const struct {
    unsigned long create_error, attributes_error;
    Refusal expected;
  } cases[] = {
      {win_error::file_exists, win_error::none, Refusal::retest},                  // held, or a file made by hand
      {win_error::already_exists, win_error::access_denied, Refusal::retest},
      {win_error::access_denied, win_error::access_denied, Refusal::wait},         // delete pending
      {win_error::access_denied, win_error::none, Refusal::wait},                  // name there, create refused
      {win_error::access_denied, win_error::file_not_found, Refusal::go_without},  // folder not writable
      {win_error::access_denied, win_error::path_not_found, Refusal::go_without},
      {win_error::path_not_found, win_error::path_not_found, Refusal::go_without},  // no such install directory
      {123, 123, Refusal::go_without},                                             // a name Windows refuses
  };
  for (const auto& c : cases) {
    EXPECT_EQ(after_refused_take(c.create_error, c.attributes_error), c.expected)
        << c.create_error << " then " << c.attributes_error;
  }
}

}  // namespace
