#include "command_line.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using quorventine::LeadBytes;

const unsigned char cp932_ranges[12] = {0x81, 0x9F, 0xE0, 0xFC, 0, 0};
const LeadBytes single_byte;
const LeadBytes cp932 = quorventine::lead_bytes_from_ranges(cp932_ranges, sizeof cp932_ranges);

struct Derivation {
  const char* name;
  std::string command_line;
  const LeadBytes& lead_bytes;
  std::string arguments;
  std::optional<std::string> install_dir;
};

const Derivation derivations[] = {
    {"worked_example", R"("C:\Tools\Q\start.exe" notes.txt -x)", single_byte, "notes.txt -x", R"(C:\Tools\Q)"},
    {"no_arguments", R"("C:\Tools\Q\start.exe")", single_byte, "", R"(C:\Tools\Q)"},
    {"trailing_blanks_only", "\"C:\\Q\\start.exe\"  \t ", single_byte, "", R"(C:\Q)"},
    {"blanks_go_with_the_path", "\"C:\\Q\\start.exe\" \t  a  b\t", single_byte, "a  b\t", R"(C:\Q)"},
    {"control_bytes_separate", "\"C:\\Q\\s.exe\"\x01\x1fz", single_byte, "z", R"(C:\Q)"},
    {"unquoted_keeps_drive", R"(C:\Tools\Q\start.exe a b)", single_byte, "a b", R"(C:\Tools\Q)"},
    {"unquoted_relative", R"(ab\start.exe)", single_byte, "", "ab"},
    {"spaces_in_directories", R"("C:\Program Files\Q\start.exe" x)", single_byte, "x", R"(C:\Program Files\Q)"},
    {"quote_closed_mid_word", R"("C:\A B\s.exe"x y)", single_byte, "y", R"(C:\A B)"},
    {"dot_directory", R"(".\start.exe" -v)", single_byte, "-v", "."},
    {"drive_relative_root", R"("\start.exe")", single_byte, "", ""},
    {"doubled_backslash", R"("C:\Q\\start.exe" y)", single_byte, "y", "C:\\Q\\"},
    {"arguments_unchanged", "\"C:\\Q\\s.exe\" \"a b\" c\\\"d\\\\ \xE9\xFF\x80", single_byte,
     "\"a b\" c\\\"d\\\\ \xE9\xFF\x80", R"(C:\Q)"},
    {"high_bytes_do_not_end_the_path", "C:\\Q\\s\xA0t.exe a", single_byte, "a", R"(C:\Q)"},
    {"unquoted_root_has_no_directory", R"(\start.exe a)", single_byte, "a", std::nullopt},
    {"bare_name_has_no_directory", "start.exe a", single_byte, "a", std::nullopt},
    {"quoted_bare_name_has_no_directory", R"("start.exe")", single_byte, "", std::nullopt},
    {"empty_command_line", "", single_byte, "", std::nullopt},
    {"blank_command_line", "   x", single_byte, "x", std::nullopt},
    // Code page 932: 0x83 0x5C and 0x95 0x5C are characters whose trail byte is a backslash.
    {"cp932_trail_backslash", "\"C:\\\x83\x5C\\\x95\x5C.exe\" \x88\xF8", cp932, "\x88\xF8", "C:\\\x83\x5C"},
    {"cp932_bytes_without_lead_set", "\"C:\\\x83\x5C\\\x95\x5C.exe\" \x88\xF8", single_byte, "\x88\xF8",
     "C:\\\x83\x5C\\\x95"},
    {"cp932_lead_takes_a_blank", "C:\\Q\\\x81 x.exe a", cp932, "a", R"(C:\Q)"},
    {"single_byte_blank_after_high_byte", "C:\\Q\\\x81 x.exe a", single_byte, "x.exe a", R"(C:\Q)"},
    {"cp932_lead_at_the_end", "C:\\Q\\\x81", cp932, "", R"(C:\Q)"},
    {"cp932_lead_alone_in_arguments", "\"C:\\Q\\s.exe\" \x81", cp932, "\x81", R"(C:\Q)"},
};

class DerivationTest : public testing::TestWithParam<Derivation> {};

TEST_P(DerivationTest, ArgumentTextAndInstallDirectory) {
  const Derivation& d = GetParam();
  const std::string arguments = quorventine::argument_text(d.command_line, d.lead_bytes);
  EXPECT_EQ(arguments, d.arguments);
  // The argument text is always a tail of the command line, so the program part is what precedes it.
  EXPECT_EQ(d.command_line.substr(d.command_line.size() - arguments.size()), arguments);
  EXPECT_EQ(quorventine::install_directory(d.command_line, arguments, d.lead_bytes), d.install_dir);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DerivationTest, testing::ValuesIn(derivations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Derivations, WorkedExampleStrings) {
  const std::string install = R"(C:\Tools\Q)";
  const std::string target = quorventine::target_path(install);
  EXPECT_EQ(target, R"(C:\Tools\Q\bin\quorventine.exe)");
  EXPECT_EQ(quorventine::child_command_line(target, "notes.txt -x"), R"("C:\Tools\Q\bin\quorventine.exe" notes.txt -x)");
  EXPECT_EQ(quorventine::child_command_line(target, ""), R"("C:\Tools\Q\bin\quorventine.exe" )");
  EXPECT_EQ(quorventine::lock_path(install), R"(C:\Tools\Q\quorventine.lock)");
  // The old value is taken whole and not inspected: a library directory already in it is added again.
  EXPECT_EQ(quorventine::new_path_value(install, R"(C:\Tools\Q\lib;C:\W)"), R"(C:\Tools\Q\lib;C:\Tools\Q\lib;C:\W)");
  EXPECT_EQ(quorventine::new_path_value(install, ""), R"(C:\Tools\Q\lib;)");
}

TEST(Derivations, LeadBytesFromCodePageRanges) {
  EXPECT_EQ(cp932.count(), 60u);
  for (unsigned byte : {0x81u, 0x9Fu, 0xE0u, 0xFCu}) EXPECT_TRUE(cp932.test(byte)) << byte;
  for (unsigned byte : {0x00u, 0x5Cu, 0x80u, 0xA0u, 0xDFu, 0xFDu}) EXPECT_FALSE(cp932.test(byte)) << byte;
  const unsigned char none[12] = {};
  EXPECT_TRUE(quorventine::lead_bytes_from_ranges(none, sizeof none).none());
  // A list that fills the array has no closing zero pair: the reader must stop at its end.
  const unsigned char full[4] = {0x81, 0x82, 0x90, 0x90};
  EXPECT_EQ(quorventine::lead_bytes_from_ranges(full, sizeof full).count(), 3u);
}

}  // namespace
