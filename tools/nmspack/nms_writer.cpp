#include "nms_writer.h"

#include <map>
#include <string_view>

namespace nmswriter {

namespace {

constexpr std::size_t kSharedTextSize = std::size_t{1} << 20;

std::uint32_t Offset(const std::string& image) { return static_cast<std::uint32_t>(image.size()); }

void Append32(std::string& image, std::uint32_t value) {
  image.resize(image.size() + 4);
  Put32(image, image.size() - 4, value);
}

// A section starts with its tag and a field the reader passes over.
std::uint32_t AppendSectionStart(std::string& image, const char* tag) {
  const std::uint32_t start = Offset(image);
  image.append(tag, 4);
  Append32(image, 0x5EC7u);
  return start;
}

}  // namespace

void Put32(std::string& image, std::size_t offset, std::uint32_t value) {
  for (int byte = 0; byte < 4; ++byte)
    image[offset + static_cast<std::size_t>(byte)] = static_cast<char>(value >> (8 * byte));
}

std::string BuildNms(const std::vector<Source>& sources, Layout* layout, bool textsLast) {
  Layout at;
  std::string image = "NM32";
  Append32(image, 1);
  Append32(image, 2);
  Append32(image, 0);  // directory offset, set at the end

  at.gtyp = AppendSectionStart(image, "GTYP");

  // String table: an unused first string, then one path per source.
  std::vector<std::string> strings = {"module"};
  for (const Source& source : sources) strings.push_back(source.path);
  at.sttb = AppendSectionStart(image, "STTB");
  Append32(image, static_cast<std::uint32_t>(strings.size()));
  Append32(image, 0);
  Append32(image, 0);
  at.stringOffsets = Offset(image);
  std::string pool;
  for (const std::string& text : strings) {
    Append32(image, static_cast<std::uint32_t>(pool.size()));
    pool += text;
    pool += '\0';
  }
  at.stringPool = Offset(image);
  image += pool;

  // Source table, with a gap before the first entry so that its offset matters.
  at.symd = AppendSectionStart(image, "SYMD");
  Append32(image, 0);  // source table offset, set below
  at.sourceTable = Offset(image);
  Put32(image, at.symd + 8, at.sourceTable);
  Append32(image, 12);
  Append32(image, static_cast<std::uint32_t>(sources.size()));
  Append32(image, 0xDEADBEEFu);
  at.firstEntry = Offset(image);
  // Large equal texts are stored once, so that a test can hold gigabytes to
  // write in a small file; the format lets entries share a text.
  std::string texts = "padding!";  // texts start a little into their pool
  std::map<std::string_view, std::uint32_t> sharedTexts;
  for (std::size_t index = 0; index < sources.size(); ++index) {
    const std::string& text = sources[index].text;
    auto offset = static_cast<std::uint32_t>(texts.size());
    if (text.size() < kSharedTextSize)
      texts += text;
    else if (const auto [stored, isNew] = sharedTexts.try_emplace(text, offset); isNew)
      texts += text;
    else
      offset = stored->second;
    Append32(image, static_cast<std::uint32_t>(index + 1));
    Append32(image, offset);
    Append32(image, static_cast<std::uint32_t>(text.size()));
    Append32(image, 0);
    Append32(image, 0);
  }

  const auto appendDirectory = [&] {
    at.directory = Offset(image);
    Put32(image, 12, at.directory);
    image += "NMDR";
    Append32(image, 0);
    Append32(image, at.gtyp);
    Append32(image, at.sttb);
    Append32(image, at.symd);
    Append32(image, at.srcp);
  };
  constexpr std::uint32_t kDirectorySize = 24;
  if (textsLast) {
    at.srcp = Offset(image) + kDirectorySize;
    appendDirectory();
  }
  at.srcp = AppendSectionStart(image, "SRCP");
  Append32(image, 0);  // text pool offset, set below
  at.textPool = Offset(image);
  Put32(image, at.srcp + 8, at.textPool);
  image += texts;
  if (!textsLast) appendDirectory();

  if (layout != nullptr) *layout = at;
  return image;
}

}  // namespace nmswriter
