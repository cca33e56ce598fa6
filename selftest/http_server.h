// The kit's own version server on 127.0.0.1, on Winsock: it serves the
// version document the scenario sets, or answers as a failing server would,
// and answers requests sent to it as a proxy as well (a request for an
// absolute http:// address).
#pragma once

#include <string>

enum class ServerMode {
  kDocument,    // 200 with the document
  kErrorXml,    // 404 with an XML error body, as cloud storage answers
  kSignInPage,  // 200 with an HTML page, as a captive portal answers
  kSilent,      // reads the request and never answers
  kEndless,     // 200 with a body that never ends
};

// Starts listening on a free port; false when Winsock or the socket fails.
bool StartServer();
// Ends every connection and the listener.
void StopServer();

int ServerPort();
void SetServerMode(ServerMode mode);
void SetServedDocument(const std::string& document);

// Requests for the version document so far, and of those, how many came
// through a proxy.
long DocumentRequests();
long ProxiedRequests();

// A port on 127.0.0.1 where nothing listens.
int DeadPort();
