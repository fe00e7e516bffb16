// nmspack OUT.nms FILE...: packs files into a .nms, each stored under its path
// as given, with backslashes for slashes. `nmspack OUT.nms @LIST` takes the
// paths from the file LIST, one a line (for trees too large for a command line).
// `nmspack OUT.nms --tiny N` makes N entries of two bytes each, under distinct
// paths of 58 characters, with no files behind them (for measuring memory).
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
  std::vector<nmswriter::Source> sources;
  if (paths.size() == 2 && paths[0] == "--tiny") {
    const long count = std::stol(paths[1]);
    for (long index = 0; index < count; ++index) {
      const std::string module = std::to_string(10000 + index / 1000).substr(1);
      const std::string unit = std::to_string(10000000 + index).substr(1);
      const std::string path =
          "src\\library\\module" + module + "\\unit_" + unit + "_of_the_library_texts.c";
      sources.push_back({path, "x\n"});
    }
    paths.clear();
  }
  if (paths.size() == 1 && paths[0].starts_with('@')) {
    std::ifstream list(paths[0].substr(1));
    paths.clear();
    for (std::string line; std::getline(list, line);)
      if (!line.empty()) paths.push_back(line);
  }
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
