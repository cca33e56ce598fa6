// Why a check of the version document ends as it does: one list, each
// reason named once with the words that explain it. The code that decides
// returns the reason; the service only compares it with kOk, and
// VexloCheck.exe prints the words. Free of Windows headers.
#pragma once

// X(name, words): in the order a check meets them.
#define VEXLO_CHECK_OUTCOMES(X)                                                               \
  X(kOk, "counts")                                                                            \
  /* the settings file */                                                                     \
  X(kSettingsMissing, "config.xml is missing or cannot be opened: the defaults are in force") \
  X(kSettingsNotXml, "config.xml is not well-formed XML: the defaults are in force")          \
  X(kSettingsNoRoot, "config.xml has no root element: the defaults are in force")             \
  X(kSettingsPathTooLong, "the folder is too long for config.xml's path: the defaults stand") \
  /* the request */                                                                           \
  X(kUrlTooLong, "the address with its time does not fit 259 characters")                     \
  X(kNotWebAddress, "the address is not an http:// or https:// address")                      \
  X(kTooManyRequests, "three requests given up earlier are still out: no request was made")   \
  X(kLibraryMissing, "WinHTTP or CNG could not be loaded from the system folder")             \
  X(kNoUsableProxy,                                                                           \
    "the proxy settings name only proxies WinHTTP cannot use (SOCKS, or spoken to over TLS) " \
    "and no DIRECT: no request was made")                                                     \
  X(kNameNotFound, "the server's name was not found (DNS)")                                   \
  X(kConnectionRefused, "the connection was refused or the server cannot be reached")         \
  X(kTimedOut, "the server went silent for longer than a step's ten-second time-out")         \
  X(kCertificateUntrusted, "the server's certificate is not trusted for this name")           \
  X(kConnectionLost, "the connection failed during the exchange")                             \
  X(kDeadline, "no whole answer within the one-minute deadline")                              \
  X(kStopped, "the service was stopping")                                                     \
  /* the answer */                                                                            \
  X(kHttpsToHttp, "a redirect from https to http was not followed")                           \
  X(kErrorStatus,                                                                             \
    "the answer's status is not 2xx (an error, a redirect not followed, a proxy "             \
    "asking for credentials)")                                                                \
  X(kHtmlPage, "the answer is an HTML page (an error, proxy or sign-in page)")                \
  X(kUndecodedEncoding, "the answer is compressed in a way the platform did not decode")      \
  X(kTooLarge, "the answer is larger than 1 MiB")                                             \
  X(kEmptyBody, "the answer is empty or its text is")                                         \
  X(kSameAsStored, "the answer is byte for byte the stored version.xml")                      \
  /* the signature, in builds with keys */                                                    \
  X(kUnsigned, "the document carries no signature block")                                     \
  X(kBlockMalformed,                                                                          \
    "the signature block is not in its exact form, or is not the last thing "                 \
    "in the document")                                                                        \
  X(kUnknownKey, "the block names a key this build does not trust")                           \
  X(kBadSignature, "the signature does not verify with the key it names")                     \
  X(kOldSerial, "the serial is not above the stored version.xml's")                           \
  /* the versions */                                                                          \
  X(kStoredMissing, "the stored version.xml is missing or cannot be read")                    \
  X(kStoredNotXml, "the stored version.xml is not well-formed XML")                           \
  X(kStoredNoVersion, "the stored version.xml has no version text")                           \
  X(kNotXml, "the document is not well-formed XML")                                           \
  X(kNoVersion, "the document has no version text")                                           \
  X(kSameVersion, "the document's version is the stored one")

enum class CheckOutcome {
#define VEXLO_OUTCOME_NAME(name, words) name,
  VEXLO_CHECK_OUTCOMES(VEXLO_OUTCOME_NAME)
#undef VEXLO_OUTCOME_NAME
};

// The words for an outcome, as VexloCheck.exe prints them.
const char* CheckOutcomeText(CheckOutcome outcome);

// The outcome's name without its k, for scripts that read the report.
const char* CheckOutcomeName(CheckOutcome outcome);
