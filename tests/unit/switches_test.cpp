#include "switches/switches.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/entry.h"
#include "unwinding_end.h"

namespace {

using switches::kCompareSwitches;
using switches::kExtractSwitches;

struct SwitchCase {
  std::vector<std::string> arguments;  // from the argument cursor on
  const char* sought;
  switches::SwitchList list;
  std::optional<std::string> value;  // nullopt: absent
  std::string errorStream;           // non-empty: the run ends with status 1
};

const std::string kLongValue(300, 'v');

const SwitchCase kCases[] = {
    // Matching: whole word, any letter case, first occurrence wins.
    {{"/quiet"}, "/Quiet", kCompareSwitches, "", ""},
    {{"/QUIET"}, "/Quiet", kCompareSwitches, "", ""},
    {{"/Quiet"}, "/Quiet", kCompareSwitches, "", ""},
    {{}, "/Quiet", kCompareSwitches, std::nullopt, ""},
    {{"/srcbasedir=x:\\"}, "/Quiet", kCompareSwitches, std::nullopt, ""},
    {{"/OutDir"}, "/OutDir", kExtractSwitches, "", ""},
    {{"/OutDir="}, "/OutDir", kExtractSwitches, "", ""},
    {{"/OutDir=c:\\out\\"}, "/OutDir", kExtractSwitches, "c:\\out\\", ""},
    {{"/Prompt=no"}, "/Prompt", kExtractSwitches, "no", ""},
    {{"/OutDir=a", "/outdir=b"}, "/OutDir", kExtractSwitches, "a", ""},
    {{"/SrcBaseDir=a=b"}, "/SrcBaseDir", kCompareSwitches, "a=b", ""},
    {{"stray", "/quiet", "words"}, "/Quiet", kCompareSwitches, "", ""},
    {{"/SrcBaseDir=" + kLongValue}, "/SrcBaseDir", kCompareSwitches, kLongValue, ""},
    // Validation of every slash-argument, in argument order.
    {{"/Q"}, "/Quiet", kCompareSwitches, std::nullopt, "Unknown switch '/Q'\n"},
    {{"/Quieter"}, "/Quiet", kCompareSwitches, std::nullopt, "Unknown switch '/Quieter'\n"},
    {{"/Quiet"}, "/Prompt", kExtractSwitches, std::nullopt, "Unknown switch '/Quiet'\n"},
    {{"/OutDir=x"}, "/Quiet", kCompareSwitches, std::nullopt, "Unknown switch '/OutDir'\n"},
    {{"/"}, "/Quiet", kCompareSwitches, std::nullopt, "Unknown switch '/'\n"},
    {{"/=x"}, "/Quiet", kCompareSwitches, std::nullopt, "Unknown switch '/'\n"},
    {{"/quiet", "/Bad=1", "/Worse"},
     "/Quiet",
     kCompareSwitches,
     std::nullopt,
     "Unknown switch '/Bad'\n"},
    {{"/" + kLongValue},
     "/Quiet",
     kCompareSwitches,
     std::nullopt,
     "Unknown switch '/" + kLongValue + "'\n"},
    // A handler asking for a switch its list lacks is a program error.
    {{"/Quiet"},
     "/OutDir",
     kCompareSwitches,
     std::nullopt,
     "Program error: switch '/OutDir' not valid with this vzszSwitchList\n"},
};

TEST(FindSwitch, MatchesValidatesAndReportsAsTabled) {
  for (const SwitchCase& c : kCases) {
    std::vector<std::string> storage = c.arguments;
    std::vector<char*> arguments;
    for (std::string& argument : storage) arguments.push_back(argument.data());
    arguments.push_back(nullptr);
    app::ArgCursor = arguments.data();

    SCOPED_TRACE(testing::PrintToString(c.arguments) + " seeking " + c.sought);
    testing::internal::CaptureStderr();
    std::optional<std::string> value;
    int status = 0;
    try {
      const char* found = switches::FindSwitch(c.sought, c.list);
      if (found != nullptr) value = found;
    } catch (const nmstest::ProcessEnded& ended) {
      status = ended.status;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.errorStream);
    EXPECT_EQ(status, c.errorStream.empty() ? 0 : 1);
    EXPECT_EQ(value, c.value);
  }
}

}  // namespace
