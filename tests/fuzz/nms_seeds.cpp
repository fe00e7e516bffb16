// nms_seeds DIR: writes the fuzz target's seed corpus into DIR.
#include <fstream>
#include <string>

#include "bad_images.h"
#include "nms_writer.h"

namespace {

void Save(const std::string& folder, const std::string& name, const std::string& image) {
  std::ofstream(folder + "/" + name, std::ios::binary) << image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string folder = argv[1];
  Save(folder, "empty-table.nms", nmswriter::BuildNms({}));
  Save(folder, "one.nms", nmswriter::BuildNms({{"a.c", "int a;\n"}}));
  Save(folder, "mixed.nms",
       nmswriter::BuildNms({{"..\\src\\a.c", "a\r\nb\r\n"},
                            {"empty.h", ""},
                            {".\\b.c", std::string(300, 'b')},
                            {"d:\\src\\c.c", "c"}}));
  int number = 0;
  for (const nmstest::BadImage& bad : nmstest::BadImages())
    Save(folder, "bad-" + std::to_string(++number) + ".nms", bad.image);
  return 0;
}
