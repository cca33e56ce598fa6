#include "watcher/xml_nesting.h"

#include <vector>

#include "tinyxml.h"

namespace {

// Follows TiXmlDocument::Parse and TiXmlElement::Parse/ReadValue step by
// step, with a stack of open element names where TinyXML recurses. Everything
// that does not nest (declarations, comments, text, CDATA, unknown markup,
// attributes) is read by TinyXML's own node parsers, so the measure sees each
// byte as the parser will. The parser's own lexical helpers are protected
// members of TiXmlBase, hence the derived class.
class NestingScanner : public TiXmlBase {
 public:
  static int Depth(const char* p, int limit);

 private:
  enum Node { kNone, kDeclaration, kComment, kCdata, kUnknown, kElement };
  enum Start { kFailed, kEmpty, kOpen };

  static Node Identify(const char* p, TiXmlEncoding encoding);
  static const char* ParseLeaf(Node node, const char* p, TiXmlEncoding* encoding);
  static const char* ParseStartTag(const char* p, TiXmlEncoding encoding, TIXML_STRING* name,
                                   Start* start);
  static const char* ParseContent(const char* p, TiXmlEncoding encoding, int limit,
                                  int* deepest, std::vector<TIXML_STRING>* open);
};

NestingScanner::Node NestingScanner::Identify(const char* p, TiXmlEncoding encoding) {
  p = SkipWhiteSpace(p, encoding);
  if (p == nullptr || *p != '<') return kNone;
  if (StringEqual(p, "<?xml", true, encoding)) return kDeclaration;
  if (StringEqual(p, "<!--", false, encoding)) return kComment;
  if (StringEqual(p, "<![CDATA[", false, encoding)) return kCdata;
  if (StringEqual(p, "<!", false, encoding)) return kUnknown;
  if (IsAlpha(static_cast<unsigned char>(p[1]), encoding) || p[1] == '_') return kElement;
  return kUnknown;
}

// A node that holds no elements. A declaration met while the encoding is
// still unknown settles it, as in TiXmlDocument::Parse (callers inside an
// element pass an encoding that is already settled or stays as it is there).
const char* NestingScanner::ParseLeaf(Node node, const char* p, TiXmlEncoding* encoding) {
  switch (node) {
    case kDeclaration: {
      TiXmlDeclaration declaration;
      p = declaration.Parse(p, nullptr, *encoding);
      if (*encoding == TIXML_ENCODING_UNKNOWN) {
        const char* name = declaration.Encoding();
        *encoding = *name == '\0' || StringEqual(name, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
                            StringEqual(name, "UTF8", true, TIXML_ENCODING_UNKNOWN)
                        ? TIXML_ENCODING_UTF8
                        : TIXML_ENCODING_LEGACY;
      }
      return p;
    }
    case kComment: {
      TiXmlComment comment;
      return comment.Parse(p, nullptr, *encoding);
    }
    case kCdata: {
      TiXmlText text("");
      text.SetCDATA(true);
      return text.Parse(p, nullptr, *encoding);
    }
    default: {
      TiXmlUnknown unknown;
      return unknown.Parse(p, nullptr, *encoding);
    }
  }
}

// The start tag of an element, through its attributes: as TiXmlElement::Parse
// up to the point where it reads the element's content.
const char* NestingScanner::ParseStartTag(const char* p, TiXmlEncoding encoding,
                                          TIXML_STRING* name, Start* start) {
  *start = kFailed;
  p = SkipWhiteSpace(p, encoding);
  if (p == nullptr || *p != '<') return nullptr;
  p = ReadName(SkipWhiteSpace(p + 1, encoding), name, encoding);
  if (p == nullptr || *p == '\0') return nullptr;
  while (p != nullptr && *p != '\0') {
    p = SkipWhiteSpace(p, encoding);
    if (p == nullptr || *p == '\0') return nullptr;
    if (*p == '/') {
      if (p[1] != '>') return nullptr;
      *start = kEmpty;
      return p + 2;
    }
    if (*p == '>') {
      *start = kOpen;
      return p + 1;
    }
    TiXmlAttribute attribute;
    p = attribute.Parse(p, nullptr, encoding);
    // TinyXML also stops at a repeated attribute name; reading on past it
    // can only find more depth, never less.
    if (p == nullptr || *p == '\0') return nullptr;
  }
  return nullptr;
}

// The content of the innermost open element, and of every element opened in
// it, until the outermost one on the stack is closed. Returns where reading
// goes on, or null where TinyXML stops with an error.
const char* NestingScanner::ParseContent(const char* p, TiXmlEncoding encoding, int limit,
                                         int* deepest, std::vector<TIXML_STRING>* open) {
  while (!open->empty()) {
    p = SkipWhiteSpace(p, encoding);
    if (p == nullptr || *p == '\0') return nullptr;
    if (*p != '<') {
      TiXmlText text("");
      p = text.Parse(p, nullptr, encoding);
      continue;
    }
    if (StringEqual(p, "</", false, encoding)) {
      const TIXML_STRING endTag = TIXML_STRING("</") + open->back();
      if (!StringEqual(p, endTag.c_str(), false, encoding)) return nullptr;
      p = SkipWhiteSpace(p + endTag.length(), encoding);
      if (p == nullptr || *p != '>') return nullptr;
      ++p;
      open->pop_back();
      continue;
    }
    const Node node = Identify(p, encoding);
    if (node == kNone) return nullptr;
    if (node != kElement) {
      TiXmlEncoding settled = encoding;  // a declaration inside an element settles nothing
      p = ParseLeaf(node, p, &settled);
      continue;
    }
    // An element is a level of the parser's recursion from its start tag on,
    // also when it closes itself or its start tag is broken.
    const int level = static_cast<int>(open->size()) + 1;
    if (level > *deepest) *deepest = level;
    if (*deepest > limit) return nullptr;
    TIXML_STRING name;
    Start start;
    p = ParseStartTag(p, encoding, &name, &start);
    if (start == kFailed) return nullptr;
    if (start == kOpen) open->push_back(name);
  }
  return p;
}

int NestingScanner::Depth(const char* p, int limit) {
  if (p == nullptr || *p == '\0') return 0;
  TiXmlEncoding encoding = TIXML_ENCODING_UNKNOWN;
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  if (bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) encoding = TIXML_ENCODING_UTF8;

  int deepest = 0;
  std::vector<TIXML_STRING> open;
  p = SkipWhiteSpace(p, encoding);
  while (p != nullptr && *p != '\0') {
    const Node node = Identify(p, encoding);
    if (node == kNone) break;
    if (node == kElement) {
      if (deepest < 1) deepest = 1;
      if (deepest > limit) break;
      TIXML_STRING name;
      Start start;
      p = ParseStartTag(p, encoding, &name, &start);
      if (start == kOpen) {
        open.push_back(name);
        p = ParseContent(p, encoding, limit, &deepest, &open);
      }
    } else {
      p = ParseLeaf(node, p, &encoding);
    }
    p = SkipWhiteSpace(p, encoding);
  }
  return deepest > limit ? limit + 1 : deepest;
}

}  // namespace

int XmlNestingDepth(const char* text, int limit) { return NestingScanner::Depth(text, limit); }
