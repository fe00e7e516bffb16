// The three commands of the command table, and the disk comparison that
// Compare and Extract share.
#pragma once

#include <cstdint>

namespace commands {

void ListCommand();
void CompareCommand();
void ExtractCommand();

enum CompareResult { Same = 0, Different = 1, NotFound = 3 };

// Compares a held text with the file at `path`. A missing file, or a missing
// directory on its path, is NotFound; every other failure ends the run.
CompareResult CompareWithDisk(const char* path, std::uint32_t size, const char* text);

}  // namespace commands
