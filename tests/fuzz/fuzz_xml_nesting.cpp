// Texts of any bytes: the nesting measured before a parse is never less than
// the depth TinyXML reaches (the tree it leaves, also after an error, shows
// that depth). A text the measure lets through is parsed on a thread with the
// service's stack.
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/xml_tree_depth.h"
#include "tinyxml.h"
#include "watcher/xml_nesting.h"

namespace {

void ParseAndCompare(const std::string& text) {
  const int measured = XmlNestingDepth(text.c_str(), kMaxXmlNesting);
  if (measured > kMaxXmlNesting) return;  // refused: never parsed
  TiXmlDocument document;
  document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  FUZZ_CHECK(TreeDepth(&document) <= measured);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  // Zero padding, as every text handed to TinyXML has (watcher/xml_text.h).
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
  text.append(8, '\0');
  OnServiceStack(ParseAndCompare, text);
  return 0;
}
