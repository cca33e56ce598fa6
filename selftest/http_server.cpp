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

SOCKET s_listener = INVALID_SOCKET;
int s_port = 0;
std::atomic<bool> s_stopping{false};
std::atomic<int> s_mode{static_cast<int>(ServerMode::kDocument)};
std::atomic<long> s_requests{0};
std::atomic<long> s_proxied{0};
SRWLOCK s_lock = SRWLOCK_INIT;  // the document and the open connections
std::string s_document;
std::vector<SOCKET> s_open;
HANDLE s_acceptThread = nullptr;

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
  if (line.find("/doc/desktop.xml") != std::string::npos) {
    ++s_requests;
    if (line.compare(0, 11, "GET http://") == 0) ++s_proxied;
  }
  switch (static_cast<ServerMode>(s_mode.load())) {
    case ServerMode::kDocument: {
      AcquireSRWLockShared(&s_lock);
      const std::string document = s_document;
      ReleaseSRWLockShared(&s_lock);
      Answer(socket, "200 OK", "text/xml", document);
      break;
    }
    case ServerMode::kErrorXml:
      Answer(socket, "404 Not Found", "application/xml",
             "<?xml version=\"1.0\"?><Error><Code>NoSuchKey</Code></Error>");
      break;
    case ServerMode::kSignInPage:
      Answer(socket, "200 OK", "text/html",
             "<html><body><form>Sign in to the network</form></body></html>");
      break;
    case ServerMode::kSilent:
      while (!s_stopping && recv(socket, chunk, sizeof chunk, 0) > 0) {
      }
      break;
    case ServerMode::kEndless: {
      SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n<v>");
      const std::string filler(16 * 1024, 'x');
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

DWORD WINAPI AcceptLoop(void*) {
  while (!s_stopping) {
    const SOCKET socket = accept(s_listener, nullptr, nullptr);
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
  s_listener = LoopbackSocket(&s_port);
  if (s_listener == INVALID_SOCKET || listen(s_listener, SOMAXCONN) != 0) return false;
  s_acceptThread = CreateThread(nullptr, 0, AcceptLoop, nullptr, 0, nullptr);
  return s_acceptThread != nullptr;
}

void StopServer() {
  s_stopping = true;
  if (s_listener != INVALID_SOCKET) closesocket(s_listener);
  s_listener = INVALID_SOCKET;
  AcquireSRWLockExclusive(&s_lock);
  for (SOCKET socket : s_open) {
    if (socket != INVALID_SOCKET) shutdown(socket, SD_BOTH);
  }
  ReleaseSRWLockExclusive(&s_lock);
  if (s_acceptThread != nullptr) {
    WaitForSingleObject(s_acceptThread, 5000);
    CloseHandle(s_acceptThread);
    s_acceptThread = nullptr;
  }
}

int ServerPort() { return s_port; }

void SetServerMode(ServerMode mode) { s_mode = static_cast<int>(mode); }

void SetServedDocument(const std::string& document) {
  AcquireSRWLockExclusive(&s_lock);
  s_document = document;
  ReleaseSRWLockExclusive(&s_lock);
  s_mode = static_cast<int>(ServerMode::kDocument);
}

long DocumentRequests() { return s_requests; }
long ProxiedRequests() { return s_proxied; }

int DeadPort() {
  int port = 0;
  const SOCKET socket = LoopbackSocket(&port);
  if (socket == INVALID_SOCKET) return 1;
  closesocket(socket);  // bound, never listened on: nothing answers there now
  return port;
}
