// Code-unit edge cases of the derivations, and what a refused take of the lock means in the states that Wine cannot
// show; what the application receives is proved on the real executable.
#include "command_line.hpp"
#include "lock_refusal.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using namespace quorventine;

struct Derivation {
  const char* name;
  std::wstring command_line, arguments;
  std::wstring path;                       // the launcher's path, read up to its usual end
  std::optional<std::wstring> install_dir;  // where that path counts
  bool lacks_extension = false;
  std::wstring own_file = L"D:\\Own Dir\\start.exe";
};

// Ġ, Ģ and Ŝ (U+0120, U+0122, U+015C) end in the bytes of a blank, a quote and a backslash.
const Derivation derivations[] = {
    {"control_units_separate", L"\"C:\\Q\\s.exe\"\x01\x1fz", L"z", L"C:\\Q\\s.exe", L"C:\\Q"},
    {"quote_closed_mid_word", L"\"C:\\A B\\s.exe\"x y", L"y", L"C:\\A B\\s.exex", L"C:\\A B"},
    {"quotes_dropped_anywhere", L"C:\\\"Program Files\"\\Q\\s.exe x", L"x", L"C:\\Program Files\\Q\\s.exe",
     L"C:\\Program Files\\Q"},
    {"slashes_separate", L"\"C:/Q\\v1.2/start\" /x", L"/x", L"C:\\Q\\v1.2\\start", L"C:\\Q\\v1.2", true},
    {"root_is_the_current_drive", L"\\start.exe a", L"a", L"\\start.exe", L""},
    {"bare_name_takes_own_directory", L"start a", L"a", L"start", L"D:\\Own Dir", true},
    {"own_file_unknown", L"start.exe", L"", L"start.exe", std::nullopt, false, L""},
    {"blank_command_line", L"   x\\y", L"x\\y", L"", L"D:\\Own Dir", true},
    {"units_holding_blank_quote_backslash_bytes", L"C:\\\u0120\u0122\\a\u015C.exe x", L"x",
     L"C:\\\u0120\u0122\\a\u015C.exe", L"C:\\\u0120\u0122"},
    {"ideographic_space_and_lone_surrogate_are_not_blanks", L"C:\\Q\\a\u3000b\xD800.exe x", L"x",
     L"C:\\Q\\a\u3000b\xD800.exe", L"C:\\Q"},
};

void PrintTo(const Derivation& d, std::ostream* out) { *out << d.name; }

class DerivationTest : public testing::TestWithParam<Derivation> {};

TEST_P(DerivationTest, ArgumentsPathAndInstallDirectory) {
  const Derivation& d = GetParam();
  const std::size_t end = path_end(d.command_line);
  EXPECT_EQ(arguments_after(d.command_line, end), d.arguments);
  std::wstring path(end, L'\0');
  path.resize(read_path(Text(d.command_line.data(), end), path.data()));
  EXPECT_EQ(path, d.path);
  EXPECT_EQ(lacks_extension(path), d.lacks_extension);
  EXPECT_EQ(install_directory(path, true, d.own_file), d.install_dir);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DerivationTest, testing::ValuesIn(derivations),
                         [](const auto& info) { return std::string(info.param.name); });

// A lock whose delete is pending is waited for; a folder that cannot be written is not.
TEST(LockRefusal, PendingLockIsWaitedForAndAnUnwritableFolderIsNot) {
  const struct {
    unsigned long create_error, attributes_error;
    Refusal expected;
  } cases[] = {
      {win_error::file_exists, win_error::none, Refusal::retest},                  // held, or a file made by hand
      {win_error::access_denied, win_error::access_denied, Refusal::wait},         // delete pending
      {win_error::access_denied, win_error::none, Refusal::wait},                  // name there, create refused
      {win_error::access_denied, win_error::file_not_found, Refusal::go_without},  // folder not writable
      {win_error::path_not_found, win_error::path_not_found, Refusal::go_without},  // no such install directory
      {123, 123, Refusal::go_without},                                             // a name Windows refuses
  };
  for (const auto& c : cases) {
    EXPECT_EQ(after_refused_take(c.create_error, c.attributes_error), c.expected)
        << c.create_error << " then " << c.attributes_error;
  }
}

}  // namespace
