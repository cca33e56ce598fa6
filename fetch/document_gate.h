// Which answers of a server count as a version document. Error pages
// (missing or forbidden objects of cloud storage, a proxy's request for
// credentials) and captive-portal sign-in pages must never be taken for a
// new version: they would flip the update icon on every player's PC.
#pragma once

#include <cstddef>
#include <string>

#include "common/check_outcome.h"

// A version document is a few hundred bytes; what is larger is not one, and
// reading stops there, so that memory stays flat whatever a server sends.
const std::size_t kMaxDocumentBytes = std::size_t{1024} * 1024;

// The final answer counts only with a 2xx status and a media type other
// than text/html (what error, proxy and sign-in pages are served as).
bool IsDocumentAnswer(unsigned long status, const std::string& contentType);

// Whether the body's Content-Encoding leaves it readable: none or identity,
// or one the platform decodes itself (gzip and deflate, where it was asked
// to and could). A compressed body read as text would be garbage.
bool IsReadableEncoding(const std::string& contentEncoding, bool platformDecodes);

// What an answer's head says before its body is read: kOk, or kHttpsToHttp
// (a redirect from an https address to an http one, which is never
// followed), kErrorStatus, kHtmlPage, kUndecodedEncoding.
CheckOutcome CheckAnswerHead(unsigned long status, const std::string& contentType,
                             const std::string& contentEncoding, bool platformDecodes, bool secure,
                             const std::string& location);

// What a failed request's error code (WinHTTP's, or under Wine a Winsock
// one) means for the people who read the report.
CheckOutcome OutcomeOfRequestError(unsigned long error);

// The media type of a Content-Type value, in lower case, without parameters.
std::string MediaType(const std::string& contentType);

// The value of the charset parameter of a Content-Type value, in lower case,
// without quotes; empty when there is none.
std::string CharsetParameter(const std::string& contentType);
