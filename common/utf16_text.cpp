#include "common/utf16_text.h"

std::u16string Utf16Units(const std::string& bytes, std::size_t from, bool bigEndian) {
  std::u16string units;
  if (from >= bytes.size()) return units;
  units.reserve((bytes.size() - from) / 2);
  for (std::size_t i = from; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    units += static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  }
  return units;
}
