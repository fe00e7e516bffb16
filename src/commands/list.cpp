// The list screen: each held source file with the size of its text.
#include <cstdio>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
#include "nmsfile/nmsfile.h"
#include "platform/terminal.h"

namespace commands {

namespace {

int ListVisitor(const char* path, std::uint32_t size, const char* /*text*/) {
  std::printf("%6u %s\n", size, app::Shown(platform::Stream::Output, path).c_str());
  return 1;
}

}  // namespace

void ListCommand() {
  const char* nmsPath = app::TakeNmsPath();
  nms::LoadNmsFile(nmsPath);
  std::printf("Bytes  Pathname\n");
  std::printf("------ --------------------------------------\n");
  nms::ForEachSource(ListVisitor);
}

}  // namespace commands
