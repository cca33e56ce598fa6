// The kit's own version server on 127.0.0.1, on Winsock: it serves the
// version document the scenario sets, or answers as a failing server would,
// and answers requests sent to it as a proxy as well (a request for an
// absolute http:// address). It listens on one port from the start and on
// more when a scenario asks, each with its own counts.
#pragma once

#include <string>

enum class ServerMode {
  kDocument,    // 200 with the document
  kErrorXml,    // 404 with the bait document as its body, as cloud storage answers
  kSignInPage,  // 200 with an HTML page, as a captive portal answers, around the bait
  kSilent,      // reads the request and never answers
  kEndless,     // 200 with a body that starts as the bait and never ends
};

// Starts listening on a free port; false when Winsock or the socket fails.
bool StartServer();
// Ends every connection and every listener.
void StopServer();

int ServerPort();
// Listens on port as well (0: a free one); the port, or 0 when it cannot.
int ListenAlso(int port);
void SetServerMode(ServerMode mode);
void SetServedDocument(const std::string& document);
// The whole, well-formed document of a newer version that every answer
// which must change nothing carries: a service that judged the body alone
// would take it.
void SetBaitDocument(const std::string& document);

// Requests for the version document so far, and of those, how many came
// through a proxy: at every port (0) or at one.
long DocumentRequests(int port = 0);
long ProxiedRequests(int port = 0);

// A port on 127.0.0.1 where nothing listens.
int DeadPort();
