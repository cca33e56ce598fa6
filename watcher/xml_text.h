// Handing texts to TinyXML. Its parser can step over the terminating zero
// when a UTF-8 lead byte announces more bytes than remain, and then reads on
// past the end of its input (found by fuzzing under AddressSanitizer). Every
// text it gets from here is followed by more zero bytes than any UTF-8
// sequence is long, so such a step still lands on a zero.
#pragma once

#include <string>

class TiXmlDocument;

// What a file turned out to be, for a report.
struct XmlFileInfo {
  bool read = false;          // the file could be opened and read
  const char* encoding = "";  // how its bytes were read, in words
};

// What TiXmlDocument::LoadFile does: the whole file, line ends made "\n",
// parsed with the encoding detected; a file in UTF-16 with a byte-order mark
// is first made ANSI text. False when the file cannot be read, is empty, or
// does not parse.
bool LoadXmlFile(TiXmlDocument* document, const char* path, XmlFileInfo* info = nullptr);

// Parses text as LoadXmlFile parses a file holding it, so that a downloaded
// document and the same document stored as a file read alike (a CR inside
// CDATA would otherwise differ, and the same update be reported forever).
// False when it does not parse.
bool ParseXmlText(TiXmlDocument* document, const std::string& text);
