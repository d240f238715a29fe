// Code-unit edge cases of the derivations; what the application receives is proved on the real executable.
#include "command_line.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct Derivation {
  const char* name;
  std::wstring command_line, arguments;
  std::optional<std::wstring> install_dir;
  std::wstring own_file = L"D:\\Own Dir\\start.exe";
};

// Ġ, Ģ and Ŝ (U+0120, U+0122, U+015C) end in the bytes of a blank, a quote and a backslash.
const Derivation derivations[] = {
    {"trailing_blanks_only", L"\"C:\\Q\\start.exe\"  \t ", L"", L"C:\\Q"},
    {"blanks_go_with_the_path", L"\"C:\\Q\\start.exe\" \t  a  b\t", L"a  b\t", L"C:\\Q"},
    {"control_units_separate", L"\"C:\\Q\\s.exe\"\x01\x1fz", L"z", L"C:\\Q"},
    {"quote_closed_mid_word", L"\"C:\\A B\\s.exe\"x y", L"y", L"C:\\A B"},
    {"quoted_root_is_the_current_drive", L"\"\\start.exe\"", L"", L""},
    {"unquoted_root_has_no_directory", L"\\start.exe a", L"a", std::nullopt},
    {"bare_name_takes_own_directory", L"start.exe a", L"a", L"D:\\Own Dir"},
    {"quoted_bare_name", L"\"start.exe\" \"a\\b\"", L"\"a\\b\"", L"D:\\Own Dir"},
    {"empty_command_line", L"", L"", L"D:\\Own Dir"},
    {"own_file_unknown", L"start.exe", L"", std::nullopt, L""},
    {"blank_command_line", L"   x\\y", L"x\\y", L"D:\\Own Dir"},
    {"units_holding_blank_quote_backslash_bytes", L"C:\\\u0120\u0122\\a\u015C.exe x", L"x", L"C:\\\u0120\u0122"},
    {"ideographic_space_and_lone_surrogate_are_not_blanks", L"C:\\Q\\a\u3000b\xD800.exe x", L"x", L"C:\\Q"},
    {"wide_arguments_unchanged", L"\"C:\\\u0141\u00F3d\u017A\\s.exe\" \u041F\u0440\u0438 \xD83D\xDE00 r\uFF02 --evil \uFF02.txt",
     L"\u041F\u0440\u0438 \xD83D\xDE00 r\uFF02 --evil \uFF02.txt", L"C:\\\u0141\u00F3d\u017A"},
};

void PrintTo(const Derivation& d, std::ostream* out) { *out << d.name; }

class DerivationTest : public testing::TestWithParam<Derivation> {};

TEST_P(DerivationTest, ArgumentTextAndInstallDirectory) {
  const Derivation& d = GetParam();
  EXPECT_EQ(quorventine::argument_text(d.command_line), d.arguments);
  EXPECT_EQ(quorventine::install_directory(d.command_line, d.arguments, d.own_file), d.install_dir);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DerivationTest, testing::ValuesIn(derivations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
