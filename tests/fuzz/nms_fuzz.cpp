// libFuzzer target: any bytes, loaded as a .nms image, must end in a walk of
// its entries or in a fatal report, never in a read outside the image.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "nmsfile/nmsfile.h"
#include "unwinding_end.h"

namespace {

std::uint32_t gChecksum = 0;

// Touches every byte the walk hands out, so that the sanitizers see them.
int TouchEverything(const char* path, std::uint32_t size, const char* text) {
  for (const char* c = path; *c != '\0'; ++c) gChecksum += static_cast<unsigned char>(*c);
  for (std::uint32_t i = 0; i < size; ++i) gChecksum += static_cast<unsigned char>(text[i]);
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader's messages are not what is tested here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  // An exact-size copy, so that any read past the end is caught.
  std::vector<char> image(data, data + size);
  nms::SrcBaseDir = size % 2 == 0 ? nullptr : "d:\\base\\";
  try {
    nms::LoadNmsImage(image.data(), static_cast<std::uint32_t>(size));
    nms::ForEachSource(TouchEverything);
  } catch (const nmstest::ProcessEnded&) {
    // A fatal report: the expected end for most inputs.
  }
  return 0;
}
