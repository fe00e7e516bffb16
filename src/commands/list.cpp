// The list screen: each held source file with the size of its text.
#include <cstdio>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
#include "commands/work_ahead.h"
#include "nmsfile/nmsfile.h"
#include "platform/terminal.h"

namespace commands {

namespace {

int ListVisitor(const char* path, std::uint32_t size, const char* /*text*/) {
  app::Print(platform::Stream::Output, "%6u %s\n", size,
             app::Shown(platform::Stream::Output, path).c_str());
  return 1;
}

}  // namespace

void ListCommand() {
  const char* nmsPath = app::TakeNmsPath();
  TakeWorkersSetting();
  nms::LoadNmsFile(nmsPath, ThreadsForLoad());
  app::Print(platform::Stream::Output, "Bytes  Pathname\n");
  app::Print(platform::Stream::Output, "------ --------------------------------------\n");
  nms::ForEachSource(ListVisitor);
}

}  // namespace commands
