#include "selftest/http_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

// A request head longer than this is not one the service sends.
const std::size_t kMaxHead = 16 * 1024;
// What an endless body sends at the most, should the client never let go.
const long long kMaxEndlessBytes = 64LL * 1024 * 1024;

// The ports a run listens on: the server's own, the second proxy of a list,
// a port that refused first and answers later.
const int kMaxListeners = 4;

struct Listener {
  SOCKET socket = INVALID_SOCKET;
  std::atomic<int> port{0};
  std::atomic<long> requests{0};
  std::atomic<long> proxied{0};
  HANDLE thread = nullptr;
};

Listener s_listeners[kMaxListeners];
std::atomic<bool> s_stopping{false};
std::atomic<int> s_mode{static_cast<int>(ServerMode::kDocument)};
SRWLOCK s_lock = SRWLOCK_INIT;  // the documents, the listeners and the open connections
std::string s_document;
std::string s_bait;
std::vector<SOCKET> s_open;

void SendAll(SOCKET socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = send(socket, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void Answer(SOCKET socket, const char* status, const char* type, const std::string& body) {
  SendAll(socket, std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                      "\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
}

void Forget(SOCKET socket) {
  AcquireSRWLockExclusive(&s_lock);
  for (SOCKET& open : s_open) {
    if (open == socket) open = INVALID_SOCKET;
  }
  ReleaseSRWLockExclusive(&s_lock);
  closesocket(socket);
}

std::string Locked(const std::string& text) {
  AcquireSRWLockShared(&s_lock);
  std::string copy = text;
  ReleaseSRWLockShared(&s_lock);
  return copy;
}

// Where the connection came in.
Listener* ListenerOf(SOCKET socket) {
  sockaddr_in address = {};
  int length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return nullptr;
  for (Listener& listener : s_listeners) {
    if (listener.port != 0 && listener.port == ntohs(address.sin_port)) return &listener;
  }
  return nullptr;
}

DWORD WINAPI Connection(void* parameter) {
  const SOCKET socket = reinterpret_cast<SOCKET>(parameter);
  std::string head;
  char chunk[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead) {
    const int n = recv(socket, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    head.append(chunk, static_cast<std::size_t>(n));
  }
  const std::size_t lineEnd = head.find("\r\n");
  const std::string line = head.substr(0, lineEnd == std::string::npos ? 0 : lineEnd);
  Listener* listener = ListenerOf(socket);
  if (line.find("/doc/desktop.xml") != std::string::npos && listener != nullptr) {
    ++listener->requests;
    if (line.compare(0, 11, "GET http://") == 0) ++listener->proxied;
  }
  switch (static_cast<ServerMode>(s_mode.load())) {
    case ServerMode::kDocument:
      Answer(socket, "200 OK", "text/xml", Locked(s_document));
      break;
    case ServerMode::kErrorXml:
      Answer(socket, "404 Not Found", "application/xml", Locked(s_bait));
      break;
    case ServerMode::kSignInPage: {
      // Read by position, the page's first element holds a newer version.
      std::string bait = Locked(s_bait);
      const std::size_t root = bait.find("<version>");
      if (root != std::string::npos) bait = bait.substr(root + 9);
      const std::size_t end = bait.find("</version>");
      Answer(socket, "200 OK", "text/html",
             "<html>" + bait.substr(0, end) +
                 "<body><form>Sign in to the network</form></body></html>");
      break;
    }
    case ServerMode::kSilent:
      while (!s_stopping && recv(socket, chunk, sizeof chunk, 0) > 0) {
      }
      break;
    case ServerMode::kEndless: {
      // White space after a whole document: whatever part of it a client
      // keeps reads as that document.
      SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n" +
                          Locked(s_bait));
      const std::string filler(16 * 1024, ' ');
      for (long long sent = 0; !s_stopping && sent < kMaxEndlessBytes; sent += filler.size()) {
        if (send(socket, filler.data(), static_cast<int>(filler.size()), 0) <= 0) break;
      }
      break;
    }
  }
  shutdown(socket, SD_SEND);
  Forget(socket);
  return 0;
}

DWORD WINAPI AcceptLoop(void* parameter) {
  const SOCKET listening = reinterpret_cast<SOCKET>(parameter);
  while (!s_stopping) {
    const SOCKET socket = accept(listening, nullptr, nullptr);
    if (socket == INVALID_SOCKET) continue;
    AcquireSRWLockExclusive(&s_lock);
    s_open.push_back(socket);
    ReleaseSRWLockExclusive(&s_lock);
    HANDLE thread =
        CreateThread(nullptr, 0, Connection, reinterpret_cast<void*>(socket), 0, nullptr);
    if (thread == nullptr) {
      Forget(socket);
    } else {
      CloseHandle(thread);
    }
  }
  return 0;
}

SOCKET LoopbackSocket(int* port) {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return socket;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(*port));
  int length = sizeof address;
  if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(socket);
    return INVALID_SOCKET;
  }
  *port = ntohs(address.sin_port);
  return socket;
}

}  // namespace

bool StartServer() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  return ListenAlso(0) != 0;
}

int ListenAlso(int port) {
  AcquireSRWLockExclusive(&s_lock);
  Listener* free = nullptr;
  for (Listener& listener : s_listeners) {
    if (listener.port == 0 && free == nullptr) free = &listener;
  }
  int bound = port;
  const SOCKET socket = free == nullptr ? INVALID_SOCKET : LoopbackSocket(&bound);
  if (socket != INVALID_SOCKET && listen(socket, SOMAXCONN) == 0) {
    free->socket = socket;
    free->port = bound;
    free->thread =
        CreateThread(nullptr, 0, AcceptLoop, reinterpret_cast<void*>(socket), 0, nullptr);
  }
  const bool listening = free != nullptr && free->thread != nullptr;
  if (!listening && socket != INVALID_SOCKET) {
    closesocket(socket);
    if (free != nullptr) free->port = 0;
  }
  ReleaseSRWLockExclusive(&s_lock);
  return listening ? bound : 0;
}

void StopServer() {
  s_stopping = true;
  AcquireSRWLockExclusive(&s_lock);
  for (Listener& listener : s_listeners) {
    if (listener.socket != INVALID_SOCKET) closesocket(listener.socket);
    listener.socket = INVALID_SOCKET;
  }
  for (SOCKET socket : s_open) {
    if (socket != INVALID_SOCKET) shutdown(socket, SD_BOTH);
  }
  ReleaseSRWLockExclusive(&s_lock);
  for (Listener& listener : s_listeners) {
    if (listener.thread == nullptr) continue;
    WaitForSingleObject(listener.thread, 5000);
    CloseHandle(listener.thread);
    listener.thread = nullptr;
  }
}

int ServerPort() { return s_listeners[0].port; }

void SetServerMode(ServerMode mode) { s_mode = static_cast<int>(mode); }

void SetServedDocument(const std::string& document) {
  AcquireSRWLockExclusive(&s_lock);
  s_document = document;
  ReleaseSRWLockExclusive(&s_lock);
  s_mode = static_cast<int>(ServerMode::kDocument);
}

void SetBaitDocument(const std::string& document) {
  AcquireSRWLockExclusive(&s_lock);
  s_bait = document;
  ReleaseSRWLockExclusive(&s_lock);
}

long DocumentRequests(int port) {
  long count = 0;
  for (const Listener& listener : s_listeners) {
    if (listener.port != 0 && (port == 0 || listener.port == port)) count += listener.requests;
  }
  return count;
}

long ProxiedRequests(int port) {
  long count = 0;
  for (const Listener& listener : s_listeners) {
    if (listener.port != 0 && (port == 0 || listener.port == port)) count += listener.proxied;
  }
  return count;
}

int DeadPort() {
  int port = 0;
  const SOCKET socket = LoopbackSocket(&port);
  if (socket == INVALID_SOCKET) return 1;
  closesocket(socket);  // bound, never listened on: nothing answers there now
  return port;
}
