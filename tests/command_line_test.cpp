// Code-unit edge cases of the derivations, and the decisions on what Windows' own file systems show and Wine does
// not: a refused take of the lock, and whether two paths name one file. What the application receives is proved on
// the real executable.
#include "command_line.hpp"
#include "file_identity.hpp"
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
  WrittenPath written = WrittenPath::names_own_file;
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
    {"own_file_unknown", L"start.exe", L"", L"start.exe", std::nullopt, false, L"", WrittenPath::unchecked},
    {"own_path_unknown_takes_written_path", L"C:\\Q\\s.exe", L"", L"C:\\Q\\s.exe", L"C:\\Q", false, L"",
     WrittenPath::unchecked},
    {"own_file_not_identified_takes_own_directory", L"C:\\Q\\s.exe", L"", L"C:\\Q\\s.exe", L"D:\\Own Dir", false,
     L"D:\\Own Dir\\start.exe", WrittenPath::unchecked},
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
  EXPECT_EQ(install_directory(path, d.written, d.own_file), d.install_dir);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DerivationTest, testing::ValuesIn(derivations),
                         [](const auto& info) { return std::string(info.param.name); });

// Each row is named for the fault it catches.
TEST(LockRefusal, OnlyAPendingDeleteIsWaitedForAndNotForEver) {
  using namespace win_error;
  constexpr unsigned long unread = ~0UL, folder = directory_attribute, junction = 0x410, file = 0x20;
  const struct { const char* fault; RefusedTake take; Refusal expected; } cases[] = {
      {"held lock not retested", {file_exists, none, file, 0, false}, Refusal::retest},
      {"folder read as a pending delete", {access_denied, none, folder, 0, false}, Refusal::go_without},
      {"junction read as a pending delete", {access_denied, none, junction, 0, false}, Refusal::go_without},
      {"folder under Wine retested", {file_exists, none, folder, 0, false}, Refusal::go_without},
      {"pending delete not waited for", {access_denied, access_denied, unread, 0, false}, Refusal::wait},
      {"name there, refusal not waited for", {access_denied, none, file, 29900, false}, Refusal::wait},
      {"pending delete waited for ever", {access_denied, access_denied, unread, 30000, false}, Refusal::go_without},
      {"name gone, no second create", {access_denied, file_not_found, unread, 0, false}, Refusal::create_again},
      {"name gone twice, waited", {access_denied, file_not_found, unread, 0, true}, Refusal::go_without},
      {"a name Windows refuses, waited", {123, 123, unread, 0, false}, Refusal::go_without},
  };
  for (const auto& c : cases) EXPECT_EQ(after_refused_take(c.take), c.expected) << c.fault;
}

// Two records of one file through two names, and what must still tell two files apart.
TEST(FileIdentity, OnlyATrueMatchIsTheSameFile) {
  constexpr FileIdentity own{7, 42, 74752, 1000, 2000};
  constexpr std::uint64_t no_id = ~std::uint64_t{0};
  const struct { const char* fault; FileIdentity a, b; bool same; } cases[] = {
      {"another name of the file not matched", own, own, true},
      {"index 0 (no stable IDs) matched", {7, 0, 74752, 1000, 2000}, {7, 0, 74752, 1000, 2000}, false},
      {"index of all ones (no unique ID) matched", {7, no_id, 74752, 1000, 2000}, {7, no_id, 74752, 1000, 2000}, false},
      {"other volume matched", own, {8, 42, 74752, 1000, 2000}, false},
      {"other index matched", own, {7, 43, 74752, 1000, 2000}, false},
      {"same index, other size matched", own, {7, 42, 74753, 1000, 2000}, false},
      {"same index, other creation time matched", own, {7, 42, 74752, 1001, 2000}, false},
      {"same index, other write time matched", own, {7, 42, 74752, 1000, 2001}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(same_file(c.a, c.b), c.same) << c.fault;
}

}  // namespace
