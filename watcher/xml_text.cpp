#include "watcher/xml_text.h"


#include "common/utf16_text.h"
#include "common/whole_file.h"
#include "tinyxml.h"
#include "watcher/xml_nesting.h"

namespace {

const std::size_t kZeroPadding = 8;

// As LoadFile does before it parses: CR LF and a lone CR become LF, up to
// the first zero byte; then the padding.
bool ParseNormalized(TiXmlDocument* document, const char* bytes, std::size_t size) {
  std::string text;
  text.reserve(size + kZeroPadding);
  for (std::size_t i = 0; i < size && bytes[i] != '\0'; ++i) {
    if (bytes[i] == '\r') {
      text += '\n';
      if (i + 1 < size && bytes[i + 1] == '\n') ++i;
    } else {
      text += bytes[i];
    }
  }
  text.append(kZeroPadding, '\0');
  // Refused as malformed, as TinyXML would refuse a broken text: the depth
  // TinyXML itself would reach is measured first, since reaching it is what
  // would overflow the stack.
  if (XmlNestingDepth(text.c_str(), kMaxXmlNesting) > kMaxXmlNesting) return false;
  document->Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  return !document->Error();
}

}  // namespace

bool LoadXmlFile(TiXmlDocument* document, const char* path, XmlFileInfo* info) {
  XmlFileInfo ignored;
  if (info == nullptr) info = &ignored;
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) return false;
  info->read = true;
  if (bytes.empty()) return false;
  // TinyXML reads no UTF-16, which Notepad saves as "Unicode": such a file is
  // read as the same text in the ANSI code page, as a downloaded document is.
  const bool little = bytes.compare(0, 2, "\xFF\xFE") == 0;
  const bool big = bytes.compare(0, 2, "\xFE\xFF") == 0;
  info->encoding = little ? "UTF-16 little-endian with a byte-order mark, read as ANSI text"
                   : big  ? "UTF-16 big-endian with a byte-order mark, read as ANSI text"
                   : bytes.compare(0, 3, "\xEF\xBB\xBF") == 0
                       ? "UTF-8 with a byte-order mark"
                       : "no byte-order mark: UTF-8, or ANSI where its declaration names "
                         "another encoding";
  if (little || big) {
    bytes = AnsiFromUtf16(Utf16Units(bytes, 2, !little));
    if (bytes.empty()) return false;
  }
  return ParseNormalized(document, bytes.data(), bytes.size());
}

bool ParseXmlText(TiXmlDocument* document, const std::string& text) {
  return ParseNormalized(document, text.data(), text.size());
}
