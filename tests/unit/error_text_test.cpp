#include <gtest/gtest.h>

#include "platform/files.h"

namespace {

TEST(ErrorText, SystemTextsCarryNoLineBreak) {
  for (const std::uint32_t code : {2u, 3u, 5u}) {
    const std::string text = platform::ErrorMessage(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code << ": " << text;
  }
}

TEST(ErrorText, ANumberWithoutATextGivesNone) {
  // The caller then shows "Unknown error".
  EXPECT_EQ(platform::ErrorMessage(0x7FFF1234u), "");
}

}  // namespace
