// Malformed .nms images, one kind of damage each, with what the reader must
// say about them. Shared by the reader's unit tests (in process) and the
// end-to-end tests (through the built program, on every lane).
#pragma once

#include <string>
#include <vector>

namespace nmstest {

struct BadImage {
  std::string name;
  std::string image;
  std::string expectedStdout;  // the whole standard output of `list`
};

std::vector<BadImage> BadImages();

}  // namespace nmstest
