#include <gtest/gtest.h>

#include "app/entry.h"
#include "platform/files.h"

namespace {

struct ProgNameCase {
  const char* programPath;
  const char* onWindows;  // only the backslash separates directories
  const char* onPosix;    // the slash does too
};

const ProgNameCase kCases[] = {
    {"C:\\TOOLS\\QUARROW.EXE", "QUARROW", "QUARROW"},
    {"a:quarrow.new.exe", "quarrow", "quarrow"},
    {"C:\\MY.TOOLS\\QUARROW.EXE", "QUARROW", "QUARROW"},
    {"tools/quarrow.exe", "tools/quarrow", "quarrow"},
    {"./quarrow", "", "quarrow"},
    {"/usr/bin/quarrow", "/usr/bin/quarrow", "quarrow"},
    {"C:\\TOOLS\\", "", ""},
    {"quarrow", "quarrow", "quarrow"},
    {"", "", ""},
};

TEST(ProgName, FollowsTheSeparatorsOfTheBuild) {
  const bool slashSeparates = platform::kProgramPathSeparators.find('/') != std::string_view::npos;
  for (const ProgNameCase& c : kCases)
    EXPECT_EQ(app::DeriveProgName(c.programPath), slashSeparates ? c.onPosix : c.onWindows)
        << c.programPath;
}

TEST(ProgName, NoProgramPathGivesAnEmptyName) { EXPECT_EQ(app::DeriveProgName(nullptr), ""); }

TEST(ProgName, ALongPathIsTakenWhole) {
  const std::string longPath = "C:\\" + std::string(5000, 'd') + "\\QUARROW.EXE";
  EXPECT_EQ(app::DeriveProgName(longPath.c_str()), "QUARROW");
}

}  // namespace
