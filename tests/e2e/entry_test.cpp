// The front door: banner, usage screen, command words, the missing .nms path.
#include <cstdlib>

#include "fixture.h"

namespace e2e {
namespace {

const char* const kUsageScreen =
    "Usage: quarrow cmd [args...]  where cmd is one of:\n"
    "List       -- Show list of files for which this .nms file contains source\n"
    "              Usage: Quarrow LIST nmsfilename \n"
    "Extract    -- Extract all contained source to separate new files\n"
    "              Usage: Quarrow EXTRACT nmsfilename [/OUTDIR=dirname]\n"
    "\t\t\t[/PROMPT] [/DIFFERENT] [/SRCBASEDIR=x:\\foo\\bar\\]\n"
    "\t\twhere\n"
    "\t\t\t/OutDir=where output files created (default current)\n"
    "\t\t\t/Prompt generates a y/n prompt before each extract\n"
    "\t\t\t/Different extracts only those files whose current\n"
    "\t\t\t\tsource differs from .nms contents\n"
    "\t\t\t/SrcBaseDir=base path for ..\\ filenames\n"
    "Compare    -- Compare source in .nms file versus original source files\n"
    "              Usage: Quarrow COMPARE nmsfilename [/QUIET]\n"
    "\t\t\t[/SRCBASEDIR=x:\\foo\\bar\\] \n"
    "\t\twhere\n"
    "\t\t\t/Quiet omits mention of files that compare Same\n"
    "\t\t\t/SrcBaseDir=base path for ..\\ filenames\n";

using Entry = Scratch;

TEST_F(Entry, NoCommandShowsTheUsageScreenWithStatus1) {
  ExpectOutcome(Quarrow({}), kUsageScreen, 1);
}

TEST_F(Entry, CommandWordsMatchInAnyCaseButOnlyWhole) {
  WriteNms("app.nms", {{"a.c", "a"}});
  const std::string listing =
      "Bytes  Pathname\n------ --------------------------------------\n     1 a.c\n";
  for (const char* word : {"list", "LIST", "List", "lIsT"}) {
    SCOPED_TRACE(word);
    ExpectOutcome(Quarrow({word, "app.nms"}), listing, 0);
  }
  const struct {
    const char* word;
    const char* shown;
  } kUnknown[] = {{"lis", "LIS"}, {"lists", "LISTS"}, {"foo", "FOO"}, {"", ""}, {"l1st", "L1ST"}};
  for (const auto& unknown : kUnknown) {
    SCOPED_TRACE(unknown.word);
    ExpectOutcome(Quarrow({unknown.word, "app.nms"}),
                  std::string(" ERROR -- unknown command '") + unknown.shown + "'\n", 1);
  }
  // Only the ASCII letters change case. (Wine re-encodes such arguments.)
  if (!OnWindowsLane())
    ExpectOutcome(Quarrow({"l\xefst", "app.nms"}), " ERROR -- unknown command 'L\xefST'\n", 1);
}

TEST_F(Entry, EveryCommandNeedsTheNmsPath) {
  for (const char* command : {"list", "compare", "extract"}) {
    SCOPED_TRACE(command);
    ExpectOutcome(Quarrow({command}), "ERROR -- must supply name of .nms file", 1);
  }
}

TEST_F(Entry, ASwitchBeforeThePathIsTakenAsThePath) {
  for (const char* command : {"compare", "extract"}) {
    SCOPED_TRACE(command);
    const Outcome outcome = Quarrow({command, "/quiet", "app.nms"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out.substr(0, 6), "Error ");
    EXPECT_NE(outcome.out.find("opening file '/quiet'"), std::string::npos) << outcome.out;
  }
}

// QUARROW_WORKERS takes a whole number from 0 up (how many threads may work
// ahead); anything else is refused before the .nms file is read.
TEST_F(Entry, AWorkerCountThatIsNoWholeNumberIsRefused) {
  WriteNms("app.nms", {{"a.c", "a"}});
  Write("a.c", "a");
  for (const char* value : {"abc", "", "-1", "+2", " 3", "2x", "1.5"}) {
    for (const char* command : {"list", "compare", "extract"}) {
      SCOPED_TRACE(std::string(command) + " '" + value + "'");
      setenv("QUARROW_WORKERS", value, 1);
      ExpectOutcome(
          Quarrow({command, "missing.nms"}),
          std::string("ERROR -- QUARROW_WORKERS must be a whole number from 0 up, not '") + value +
              "'\n",
          1);
    }
  }
  for (const char* value : {"0", "007", "99999999999999999999"}) {
    SCOPED_TRACE(value);
    setenv("QUARROW_WORKERS", value, 1);
    ExpectOutcome(Quarrow({"compare", "app.nms"}), "                  same a.c\n", 0);
  }
  unsetenv("QUARROW_WORKERS");
}

}  // namespace
}  // namespace e2e
