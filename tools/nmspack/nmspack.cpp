// nmspack OUT.nms FILE...: packs files into a .nms, each stored under its path
// as given, with backslashes for slashes. `nmspack OUT.nms @LIST` takes the
// paths from the file LIST, one a line (for trees too large for a command line).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "nms_writer.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: nmspack OUT.nms FILE...\n");
    return 2;
  }
  std::vector<std::string> paths(argv + 2, argv + argc);
  if (paths.size() == 1 && paths[0].starts_with('@')) {
    std::ifstream list(paths[0].substr(1));
    paths.clear();
    for (std::string line; std::getline(list, line);)
      if (!line.empty()) paths.push_back(line);
  }
  std::vector<nmswriter::Source> sources;
  for (const std::string& path : paths) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "nmspack: cannot read %s\n", path.c_str());
      return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string stored = path;
    std::replace(stored.begin(), stored.end(), '/', '\\');
    sources.push_back({stored, text.str()});
  }
  const std::string image = nmswriter::BuildNms(sources);
  std::ofstream out(argv[1], std::ios::binary);
  out.write(image.data(), static_cast<std::streamsize>(image.size()));
  return out ? 0 : 1;
}
