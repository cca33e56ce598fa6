// Download of the remote version document.
#pragma once

#include <string>

#include "common/check_outcome.h"
#include "fetch/winhttp_request.h"

// Every download ends by this deadline, whatever the server does: a silent
// or trickling server must not wedge the loop or a stop request.
const unsigned long kDownloadDeadlineMs = 60000;

// What one check of the document found, as far as it went.
struct FetchReport {
  CheckOutcome outcome = CheckOutcome::kOk;
  std::string url;                // the request address, with its time
  HttpAnswer answer;              // the head and body, as far as they came
  bool signatureChecked = false;  // whether a signature was looked at
  std::string text;               // with kOk: the document as ANSI text
};

// One check of the document as the service makes it. stored holds the bytes
// of the stored version.xml (empty when there is none). A body identical to
// them is kSameAsStored, judged before any signature is verified. With keys
// built in, a body must be signed by one of them, with a serial above that
// of stored's block (fetch/signature_block.h). kOk with the text; otherwise
// why not. Bound by deadlineMs and, inside the watcher loop, by a stop.
CheckOutcome FetchVersionDocumentReport(const std::string& stored, unsigned long deadlineMs,
                                        FetchReport* report);

// One HTTP GET of the base URL with "?time=<now>" appended. Returns the body
// as ANSI text (without a byte-order mark), or the empty text on any failure,
// as soon as the request is over, at its one-minute deadline, or within a
// moment of a stop clearing the run flag.
std::string FetchVersionDocument();

// The same with a deadline other than the usual minute, counted from the
// request's start.
std::string FetchVersionDocumentWithin(unsigned long deadlineMs);

// How many request threads there are: the one kept for the next check and
// those still busy with a request given up at a deadline or a stop. Never
// more than a small fixed number.
int RequestsOut();
