// Code-unit edge cases of the derivations, and the decisions on what Windows' own file systems show and Wine does
// not: how the wait for the lock goes on after each look, and whether two paths name one file. What the
// application receives is proved on the real executable.
#include "command_line.hpp"
#include "file_identity.hpp"
#include "lock_wait.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace quorventine;

struct Derivation {
  const char* name;
  std::wstring command_line, arguments;
  std::wstring path;                       // the launcher's path, read up to its usual end
  std::optional<std::wstring> install_dir;  // where that path counts
  bool lacks_extension = false;
  std::wstring own_file = L"D:\\Own Dir\\start.exe";
  bool same_identity = true;  // what comparing the two files would say, where the texts differ
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
    {"own_file_unknown", L"start.exe", L"", L"start.exe", std::nullopt, false, L"", false},
    {"other_case_is_other_text", L"c:\\q\\S.EXE", L"", L"c:\\q\\S.EXE", L"C:\\Q", false, L"C:\\Q\\s.exe", false},
    {"own_path_unknown_takes_written_path", L"C:\\Q\\s.exe", L"", L"C:\\Q\\s.exe", L"C:\\Q", false, L"", false},
    {"own_file_not_identified_takes_own_directory", L"C:\\Q\\s.exe", L"", L"C:\\Q\\s.exe", L"D:\\Own Dir", false,
     L"D:\\Own Dir\\start.exe", false},
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
  std::wstring path(d.command_line.size() + 1, L'\0');
  const PathEnd at = first_path_end(d.command_line, path.data());
  EXPECT_EQ(arguments_after(d.command_line, at.end), d.arguments);
  path.resize(at.length);
  EXPECT_EQ(path, d.path);
  EXPECT_EQ(lacks_extension(path), d.lacks_extension);
  // The launcher asks for the identities only where the texts differ.
  const bool names_own_file = is_own_file_text(path, d.own_file) || d.same_identity;
  EXPECT_EQ(install_directory(path, names_own_file, d.own_file), d.install_dir);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DerivationTest, testing::ValuesIn(derivations),
                         [](const auto& info) { return std::string(info.param.name); });

// Where an unquoted path with blanks ends when only its text can say that it names the launcher, as on a file system
// without file IDs: at the place where it is the system's own name for the launcher's file.
TEST(LauncherPath, TheOwnFileTextEndsItWithoutAnIdentity) {
  const std::wstring own = L"C:\\Program Files\\Q\\start.exe";
  const struct { const char* fault; std::wstring line, own_file, arguments; } cases[] = {
      {"the own file's text not tried at a later blank", own + L" doc.txt", own, L"doc.txt"},
      {"\".exe\" not added as Windows adds it", L"C:\\Program Files\\Q\\start doc.txt", own, L"doc.txt"},
      {"another text taken for the own file's", own + L" doc.txt", L"C:\\Program Files\\Q\\other.exe",
       L"Files\\Q\\start.exe doc.txt"},
      {"a quoted path read on past its quotes", L"\"C:\\Program\" Files\\Q\\start.exe doc.txt", own,
       L"Files\\Q\\start.exe doc.txt"},
  };
  for (const auto& c : cases) {
    std::wstring room(c.line.size() + 1, L'\0');
    PathEnd at = first_path_end(c.line, room.data());
    const std::size_t first_end = at.end;
    bool named;
    do named = is_own_file_text(Text(room.data(), at.length), c.own_file);
    while (!named && next_path_end(c.line, at, room.data()));
    EXPECT_EQ(arguments_after(c.line, named ? at.end : first_end), c.arguments) << c.fault;
  }
}

// Each row is a run of looks at the lock path with what the wait does after each, named for the fault it catches.
TEST(LockWait, NoRefusalIsWaitedForEverAndEachStartsFresh) {
  using namespace win_error;
  constexpr unsigned long unread = ~0UL, folder = directory_attribute, file = 0x20,
                          link = reparse_point_attribute | file;
  const auto create = [](unsigned long error, unsigned long attributes_error, unsigned long attributes,
                         std::uint32_t ms = 0) { return Look{Seen::create_refused, error, attributes_error, attributes, ms}; };
  const auto leftover = [](unsigned long error, unsigned long attributes_error = none, std::uint32_t ms = 0) {
    return Look{Seen::leftover_delete, error, attributes_error, file, ms};
  };
  const auto pending = [&](std::uint32_t ms) { return create(access_denied, access_denied, unread, ms); };
  const Look held{Seen::held}, nothing{Seen::nothing}, exists = create(file_exists, none, file),
             name_gone = create(access_denied, file_not_found, unread);
  constexpr Next poll = Next::poll, look = Next::look, make = Next::create, without = Next::go_without;
  const struct { const char* fault; std::vector<std::pair<Look, Next>> steps; } cases[] = {
      {"held lock not retested", {{exists, look}, {held, poll}}},
      {"folder read as a pending delete", {{create(access_denied, none, folder), without}}},
      {"folder under Wine retested", {{create(file_exists, none, folder), without}}},
      {"link to a file retested, and followed by the read test", {{create(file_exists, none, link), without}}},
      {"a name Windows refuses, waited", {{create(123, 123, unread), without}}},
      {"bound restarted by each refusal or counted in sleeps", {{pending(0), poll}, {pending(29999), poll},
                                                                {pending(30000), without}}},
      {"tick count's wrap taken for the bound", {{pending(0xFFFFF000), poll}, {pending(0x1000), poll}}},
      {"name gone, no second create; or the second forgotten", {{name_gone, make}, {name_gone, without}}},
      {"unreadable file waited for, or a failed start's release taken for one",
       {{exists, look}, {nothing, make}, {exists, look}, {nothing, without}}},
      {"extra create, bound or unreadable file of an earlier refusal kept",
       {{name_gone, make}, {pending(0), poll}, {exists, look}, {nothing, make}, {held, poll},
        {name_gone, make}, {pending(40000), poll}, {exists, look}, {nothing, make}}},
      {"deleted leftover not taken", {{leftover(none), make}, {leftover(file_not_found), make}}},
      {"leftover that a program keeps open waited for ever", {{leftover(sharing_violation, none, 0), poll},
                                                              {leftover(sharing_violation, none, 30000), without}}},
      {"read-only or another user's leftover waited for", {{leftover(access_denied), without}}},
      {"leftover's pending delete waited for ever", {{leftover(access_denied, access_denied, 0), poll},
                                                    {leftover(access_denied, access_denied, 30000), without}}},
  };
  for (const auto& c : cases) {
    Refusal refusal;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      EXPECT_EQ(after(c.steps[i].first, refusal), c.steps[i].second) << c.fault << ", look " << i;
    }
  }
}

// A file that no launcher holds is a leftover when it was last written before the system started.
TEST(LockWait, OnlyAFileFromBeforeTheStartIsALeftover) {
  constexpr std::uint64_t now = 133000000000000000, hour = 36000000000, day_ms = 86400000;
  const struct { const char* fault; std::uint64_t uptime_ms, last_written; bool leftover; } cases[] = {
      {"leftover taken for a lock", day_ms, now - 25 * hour, true},
      {"lock of this boot taken for a leftover", day_ms, now - 23 * hour, false},
      {"uptime over 49.7 days cut to 32 bits", 60 * day_ms, now - 240 * hour, false},
      {"XP's wrapped count: the start looks later, as documented", 50 * day_ms % (std::uint64_t{1} << 32),
       now - 10 * hour, true},
      {"uptime longer than the clock wrapped around", now, 1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(left_from_before_start(c.last_written, system_start(now, c.uptime_ms)), c.leftover) << c.fault;
  }
}

// Two records of one file through two names, and what must still tell two files apart.
TEST(FileIdentity, OnlyATrueMatchIsTheSameFile) {
  constexpr FileIdentity own{7, 42, 74752, 1000, 2000};
  const struct { const char* fault; FileIdentity a, b; bool same; } cases[] = {
      {"another name of the file not matched", own, own, true},
      {"index 0 (no stable IDs) matched", {7, 0, 74752, 1000, 2000}, {7, 0, 74752, 1000, 2000}, false},
      {"index of all ones (no unique ID) matched", {7, ~0ULL, 74752, 1000, 2000}, {7, ~0ULL, 74752, 1000, 2000}, false},
      {"other volume matched", own, {8, 42, 74752, 1000, 2000}, false},
      {"other index matched", own, {7, 43, 74752, 1000, 2000}, false},
      {"same index, other size matched", own, {7, 42, 74753, 1000, 2000}, false},
      {"same index, other creation time matched", own, {7, 42, 74752, 1001, 2000}, false},
      {"same index, other write time matched", own, {7, 42, 74752, 1000, 2001}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(same_file(c.a, c.b), c.same) << c.fault;
}

}  // namespace
