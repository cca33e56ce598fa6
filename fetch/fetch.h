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

// How many requests are under way, those given up at a deadline or a stop
// included; never more than a small fixed number.
int RequestsOut();
