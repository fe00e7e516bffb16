// nmspack OUT.nms FILE...: packs files into a .nms, each stored under its path
// as given, with backslashes for slashes.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "nms_writer.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: nmspack OUT.nms FILE...\n");
    return 2;
  }
  std::vector<nmstest::Source> sources;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "nmspack: cannot read %s\n", argv[i]);
      return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string stored = argv[i];
    std::replace(stored.begin(), stored.end(), '/', '\\');
    sources.push_back({stored, text.str()});
  }
  const std::string image = nmstest::BuildNms(sources);
  std::ofstream out(argv[1], std::ios::binary);
  out.write(image.data(), static_cast<std::streamsize>(image.size()));
  return out ? 0 : 1;
}
