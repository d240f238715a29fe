// Which machines' programs a Windows runs, from the answers the check may get, asked in order: each row is a Windows
// that gives some of them, named for what it shows.
#include "machines.hpp"

#include <gtest/gtest.h>

namespace {

using namespace quorventine::check;

constexpr std::uint32_t runs = 1, does_not_run = 0;  // GetMachineTypeAttributes's UserEnabled bit
constexpr std::uint16_t amd64 = 0x8664, arm64_machine = 0xAA64;

struct MachineCase {
  const char* name;
  SystemAnswers answers;
  bool x64, arm64;
};

const MachineCase machine_cases[] = {
    {"windows_11_on_arm64_runs_x64_too", {{runs, runs, runs}, arm64_machine, 12}, true, true},
    {"windows_11_on_x64", {{runs, runs, does_not_run}, amd64, 9}, true, false},
    {"machine_attributes_come_before_the_native_machine", {{runs, does_not_run, runs}, amd64, 9}, false, true},
    {"windows_10_on_arm64_runs_no_x64", {{}, arm64_machine, 12}, false, true},
    {"windows_10_on_x64_and_wine", {{}, amd64, 9}, true, false},
    {"native_machine_comes_before_the_processor", {{}, arm64_machine, 9}, false, true},
    {"windows_7_on_x64", {{}, std::nullopt, 9}, true, false},
    {"windows_7_32_bit", {{}, std::nullopt, 0}, false, false},
    {"windows_7_on_itanium", {{}, std::nullopt, 6}, false, false},
};

void PrintTo(const MachineCase& c, std::ostream* out) { *out << c.name; }

class MachineTest : public testing::TestWithParam<MachineCase> {};

TEST_P(MachineTest, RunsWhatTheSystemSays) {
  const MachineCase& c = GetParam();
  EXPECT_EQ(cannot_run(x86, c.answers), "");
  EXPECT_EQ(cannot_run(x64, c.answers).empty(), c.x64) << cannot_run(x64, c.answers);
  EXPECT_EQ(cannot_run(arm64, c.answers).empty(), c.arm64) << cannot_run(arm64, c.answers);
}

INSTANTIATE_TEST_SUITE_P(Windows, MachineTest, testing::ValuesIn(machine_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
