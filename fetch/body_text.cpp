#include "fetch/body_text.h"

#include "fetch/document_gate.h"

namespace {

struct CharsetName {
  const char* name;
  unsigned codePage;
};

// The charsets a server may name for a version document, with the Windows
// code pages that read them. A name not listed is read as UTF-8.
const CharsetName kCharsets[] = {
    {"us-ascii", 20127},    {"ascii", 20127},       {"iso-8859-1", 28591},  {"latin1", 28591},
    {"iso-8859-2", 28592},  {"iso-8859-5", 28595},  {"iso-8859-7", 28597},  {"iso-8859-9", 28599},
    {"iso-8859-15", 28605}, {"windows-1250", 1250}, {"windows-1251", 1251}, {"windows-1252", 1252},
    {"windows-1253", 1253}, {"windows-1254", 1254}, {"windows-1255", 1255}, {"windows-1256", 1256},
    {"windows-1257", 1257}, {"windows-1258", 1258}, {"gbk", 936},           {"gb2312", 936},
    {"cp936", 936},         {"gb18030", 54936},     {"big5", 950},          {"shift_jis", 932},
    {"sjis", 932},          {"euc-jp", 20932},      {"euc-kr", 949},        {"ks_c_5601-1987", 949},
    {"koi8-r", 20866},      {"koi8-u", 21866},
};

bool StartsWith(const std::string& body, const char* mark, std::size_t length) {
  return body.size() >= length && body.compare(0, length, mark, length) == 0;
}

}  // namespace

BodyCharset DetectBodyCharset(const std::string& body, const std::string& contentType) {
  BodyCharset charset;
  if (StartsWith(body, "\xEF\xBB\xBF", 3)) {
    charset.markLength = 3;
    return charset;
  }
  if (StartsWith(body, "\xFF\xFE", 2)) {
    charset.encoding = BodyEncoding::kUtf16Le;
    charset.markLength = 2;
    return charset;
  }
  if (StartsWith(body, "\xFE\xFF", 2)) {
    charset.encoding = BodyEncoding::kUtf16Be;
    charset.markLength = 2;
    return charset;
  }
  const std::string name = CharsetParameter(contentType);
  if (name == "utf-16" || name == "utf-16le" || name == "unicode") {
    charset.encoding = BodyEncoding::kUtf16Le;  // Windows' "Unicode", without a mark
  } else if (name == "utf-16be") {
    charset.encoding = BodyEncoding::kUtf16Be;
  } else {
    for (const CharsetName& known : kCharsets) {
      if (name == known.name) {
        charset.encoding = BodyEncoding::kCodePage;
        charset.codePage = known.codePage;
      }
    }
  }
  return charset;
}
