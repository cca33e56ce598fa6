// Download of the remote version document.
#pragma once

#include <string>

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
