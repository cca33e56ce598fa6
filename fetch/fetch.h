// Download of the remote version document.
#pragma once

#include <string>

// One HTTP GET of the base URL with "?time=<now>" appended. Returns the body
// as ANSI text, or the empty text on any failure.
std::string FetchVersionDocument();

// The same with a deadline other than the usual minute, counted from the
// request's start.
std::string FetchVersionDocumentWithin(unsigned long deadlineMs);
