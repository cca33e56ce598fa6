// Measurements of the service's own work, run under Wine by bench/run_bench.py.
//   vexlo_bench check URL COUNT      one check against two bare downloads
//   vexlo_bench memory URL COUNT     private bytes over many checks and shortcut writes
//   vexlo_bench refused URL COUNT    a check against a refused port, next to a bare request
//   vexlo_bench endless URL COUNT SECONDS   COUNT checks of an endless body, then SECONDS idle:
//                                    the process's memory and CPU during and after
//   vexlo_bench stop COUNT [SETTLE]  stop latency of the installed, running service, each stop
//                                    SETTLE ms or more after its start (default 1000)
// Each prints "key value" lines for the driver to read.
#include <windows.h>

#include <comdef.h>
#include <msxml2.h>
#include <psapi.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/path_buffer.h"
#include "fetch/document_signature.h"
#include "fetch/fetch.h"
#include "fetch/winhttp_request.h"
#include "shortcut/shortcut.h"
#include "watcher/watcher.h"

namespace {

// The platform's XML HTTP request object, which earlier builds downloaded
// with: measured beside the service's own request for comparison.
const CLSID kXmlHttpRequestClass = {
    0xED8C108E, 0x4349, 0x11D2, {0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8}};
const IID kXmlHttpRequestInterface = {
    0xED8C108D, 0x4349, 0x11D2, {0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8}};
_COM_SMARTPTR_TYPEDEF(IXMLHTTPRequest, kXmlHttpRequestInterface);

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

void PrintSeries(const char* name, const std::vector<double>& ms) {
  std::printf("%s.median %.3f\n%s.p10 %.3f\n%s.p90 %.3f\n%s.max %.3f\n", name, Percentile(ms, 0.5),
              name, Percentile(ms, 0.1), name, Percentile(ms, 0.9), name, Percentile(ms, 1.0));
}

std::string Temporary(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string folder = std::string(temp) + name + "\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

// The floor of this design: one request object, made once, reused.
std::string ReusedGet(IXMLHTTPRequest* request, const std::wstring& url) {
  _variant_t empty("");
  if (FAILED(
          request->open(_bstr_t(L"GET"), _bstr_t(url.c_str()), _variant_t(false), empty, empty))) {
    return std::string();
  }
  request->setRequestHeader(_bstr_t(L"Content-Type"), _bstr_t(L"text/xml"));
  if (FAILED(request->send(_variant_t(DISP_E_PARAMNOTFOUND, VT_ERROR)))) return std::string();
  BSTR text = nullptr;
  if (FAILED(request->get_responseText(&text)) || text == nullptr) return std::string();
  std::string result(static_cast<const char*>(_bstr_t(text, false)));
  return result;
}

// The floor of the service's request: a session, a connection and a request
// of their own, one synchronous GET, all closed again.
std::string WinHttpGet(const std::wstring& host, INTERNET_PORT port, const std::wstring& path) {
  std::string body;
  HINTERNET session = WinHttpOpen(L"vexlo-bench", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, host.c_str(), port, 0) : nullptr;
  HINTERNET request = connection
                          ? WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                          : nullptr;
  if (request &&
      WinHttpSendRequest(request, L"Content-Type: text/xml\r\n", -1L, nullptr, 0, 0, 0) &&
      WinHttpReceiveResponse(request, nullptr)) {
    DWORD available = 0;
    while (WinHttpQueryDataAvailable(request, &available) && available > 0) {
      std::string chunk(available, '\0');
      DWORD read = 0;
      if (!WinHttpReadData(request, &chunk[0], available, &read) || read == 0) break;
      body.append(chunk, 0, read);
    }
  }
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  if (session) WinHttpCloseHandle(session);
  return body;
}

struct UrlParts {
  std::wstring host;
  std::wstring path;
  INTERNET_PORT port = 0;
};

UrlParts Split(const char* url) {
  wchar_t wide[300];
  MultiByteToWideChar(CP_ACP, 0, url, -1, wide, 300);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  wchar_t host[256], path[1024];
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 1024;
  WinHttpCrackUrl(wide, 0, 0, &parts);
  return UrlParts{host, path, parts.nPort};
}

// The service's check: the stored copy, the download with its judgement,
// the version rule.
CheckOutcome ServiceCheck(bool* signatureChecked) {
  std::string stored;
  if (!ReadStoredVersion(&stored)) stored.clear();
  FetchReport report;
  const CheckOutcome fetched = FetchVersionDocumentReport(stored, 60000, &report);
  *signatureChecked = report.signatureChecked;
  if (fetched != CheckOutcome::kOk) return fetched;
  return IsUpdateAvailable(report.text) ? CheckOutcome::kOk : CheckOutcome::kSameVersion;
}

// steady: the PC holds the served document byte for byte, as on nearly
// every check. Otherwise it holds the same version in other bytes (no
// signature block), so that every check pays for the whole judgement.
int BenchCheck(const char* url, int count, bool steady) {
  const std::string folder = Temporary("vexlo-bench-check");
  CopyPath(g_appFolder, folder.c_str());
  CopyPath(g_baseUrl, url);
  std::string document = FetchVersionDocument();
  if (document.empty()) {
    std::fprintf(stderr, "no document at %s\n", url);
    return 1;
  }
  if (!steady) {
    const std::size_t block = document.find("<?vexlo-signature");
    if (block != std::string::npos) document.erase(block);
    document += '\n';
  }
  const CheckOutcome expected = steady ? CheckOutcome::kSameAsStored : CheckOutcome::kSameVersion;
  FILE* version = std::fopen((folder + "version.xml").c_str(), "wb");
  std::fwrite(document.data(), 1, document.size(), version);
  std::fclose(version);

  CoInitialize(nullptr);
  std::vector<double> checks, reused, winhttp;
  {
    IXMLHTTPRequestPtr request;
    request.CreateInstance(kXmlHttpRequestClass);
    const UrlParts parts = Split(url);
    wchar_t wide[300];
    MultiByteToWideChar(CP_ACP, 0, url, -1, wide, 300);
    const std::wstring base(wide);

    // Interleaved, so that drift of the machine touches all three alike.
    for (int i = 0; i < count; ++i) {
      const std::wstring query = L"?time=" + std::to_wstring(i);
      double start = NowMs();
      bool signatureChecked = false;
      const CheckOutcome outcome = ServiceCheck(&signatureChecked);
      checks.push_back(NowMs() - start);
      // The same document every time: never an update; and in the steady
      // state no signature is looked at, in any build.
      if (outcome != expected || (steady && signatureChecked)) {
        std::fprintf(stderr, "check %d: %s\n", i, CheckOutcomeText(outcome));
        return 1;
      }
      start = NowMs();
      if (ReusedGet(request, base + query).empty()) return 1;
      reused.push_back(NowMs() - start);
      start = NowMs();
      if (WinHttpGet(parts.host, parts.port, parts.path + query).empty()) return 1;
      winhttp.push_back(NowMs() - start);
    }
  }
  CoUninitialize();
  std::printf("count %d\n", count);
  PrintSeries("check", checks);
  PrintSeries("xmlhttp_reused", reused);
  PrintSeries("winhttp", winhttp);
  return 0;
}

int BenchRefused(const char* url, int count) {
  CopyPath(g_baseUrl, url);
  std::vector<double> checks, bare, direct;
  const UrlParts parts = Split(url);
  for (int i = 0; i < count; ++i) {
    double start = NowMs();
    if (!FetchVersionDocument().empty()) return 1;
    checks.push_back(NowMs() - start);
    start = NowMs();
    if (!WinHttpGet(parts.host, parts.port, parts.path).empty()) return 1;
    bare.push_back(NowMs() - start);
    // The service's own request, made on this thread: what the check adds
    // beyond it is the hand-over to the request thread.
    start = NowMs();
    HttpCall call;
    HttpAnswer answer;
    if (HttpGet(url, &call, &answer) == CheckOutcome::kOk) return 1;
    direct.push_back(NowMs() - start);
  }
  std::printf("count %d\n", count);
  PrintSeries("refused_check", checks);
  PrintSeries("refused_bare", bare);
  PrintSeries("refused_direct", direct);
  return 0;
}

// Windows counts private bytes; Wine 8 leaves the counter at 0, so there the
// process's anonymous resident memory is read from Linux (Z: is the Unix root,
// and Wine reads files in the calling process itself).
SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof counters);
  if (counters.PrivateUsage != 0) return counters.PrivateUsage;
  FILE* status = std::fopen("Z:\\proc\\self\\status", "r");
  if (status == nullptr) return 0;
  char line[256];
  SIZE_T bytes = 0;
  while (std::fgets(line, sizeof line, status)) {
    unsigned long kilobytes = 0;
    if (std::sscanf(line, "RssAnon: %lu kB", &kilobytes) == 1) bytes = kilobytes * 1024;
  }
  std::fclose(status);
  return bytes;
}

int BenchMemory(const char* url, int count) {
  const std::string folder = Temporary("vexlo-bench-memory");
  const std::string desktop = Temporary("vexlo-bench-desktop");
  CopyPath(g_appFolder, folder.c_str());
  CopyPath(g_desktopFolder, desktop.substr(0, desktop.size() - 1).c_str());
  CopyPath(g_baseUrl, url);
  const std::string document = FetchVersionDocument();
  FILE* version = std::fopen((folder + "version.xml").c_str(), "wb");
  std::fwrite(document.data(), 1, document.size(), version);
  std::fclose(version);

  SIZE_T checksAt100 = 0;
  for (int i = 1; i <= count; ++i) {
    IsUpdateAvailable(FetchVersionDocument());
    if (i == 100) checksAt100 = PrivateBytes();
  }
  const SIZE_T checksAtEnd = PrivateBytes();
  SIZE_T linksAt100 = 0;
  for (int i = 1; i <= count; ++i) {
    (i % 2 ? ShowUpdateIcon : ShowNormalIcon)();
    if (i == 100) linksAt100 = PrivateBytes();
  }
  const SIZE_T linksAtEnd = PrivateBytes();
  std::printf("count %d\nchecks.at100 %zu\nchecks.atend %zu\nlinks.at100 %zu\nlinks.atend %zu\n",
              count, checksAt100, checksAtEnd, linksAt100, linksAtEnd);
  return 0;
}

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

// Checks of a body without end stop at the size bound; a trickle given up at a
// deadline is cancelled. Neither may leave memory or a busy thread behind.
int BenchEndless(const char* url, int count, int idleSeconds) {
  CopyPath(g_baseUrl, url);
  FetchVersionDocument();
  const SIZE_T before = PrivateBytes();
  for (int i = 0; i < count; ++i) {
    if (!FetchVersionDocument().empty()) return 1;
  }
  std::string trickle(url);
  trickle.replace(trickle.rfind('/'), std::string::npos, "/trickle");
  CopyPath(g_baseUrl, trickle.c_str());
  FetchVersionDocumentWithin(2000);
  const SIZE_T during = PrivateBytes();
  const double cpuBefore = CpuSeconds();
  Sleep(static_cast<DWORD>(idleSeconds) * 1000);
  std::printf(
      "count %d\nmemory.before %zu\nmemory.during %zu\nmemory.after %zu\n"
      "idle.cpu %.3f\nidle.seconds %d\n",
      count, before, during, PrivateBytes(), CpuSeconds() - cpuBefore, idleSeconds);
  return 0;
}

DWORD ServiceState(SC_HANDLE service) {
  SERVICE_STATUS status;
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool WaitState(SC_HANDLE service, DWORD state, double timeoutMs) {
  const double deadline = NowMs() + timeoutMs;
  while (ServiceState(service) != state) {
    if (NowMs() > deadline) return false;
    Sleep(5);
  }
  return true;
}

int BenchStop(int count, DWORD settleMs) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? OpenServiceA(manager, "VexloService", SERVICE_ALL_ACCESS) : nullptr;
  if (service == nullptr) {
    std::fprintf(stderr, "service not installed\n");
    return 1;
  }
  std::vector<double> latencies;
  for (int i = 0; i < count; ++i) {
    if (ServiceState(service) != SERVICE_RUNNING) {
      StartServiceA(service, 0, nullptr);
      if (!WaitState(service, SERVICE_RUNNING, 30000)) return 1;
    }
    // Stops land at different points of the loop's one-second pass.
    Sleep(settleMs + static_cast<DWORD>((i * 397) % 1000));
    SERVICE_STATUS status;
    const double start = NowMs();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return 1;
    if (!WaitState(service, SERVICE_STOPPED, 30000)) return 1;
    latencies.push_back(NowMs() - start);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  std::printf("count %d\n", count);
  PrintSeries("stop", latencies);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "check" && argc == 4) return BenchCheck(argv[2], std::atoi(argv[3]), true);
  if (mode == "check-new" && argc == 4) return BenchCheck(argv[2], std::atoi(argv[3]), false);
  if (mode == "memory" && argc == 4) return BenchMemory(argv[2], std::atoi(argv[3]));
  if (mode == "refused" && argc == 4) return BenchRefused(argv[2], std::atoi(argv[3]));
  if (mode == "endless" && argc == 5) {
    return BenchEndless(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  }
  if (mode == "stop" && (argc == 3 || argc == 4)) {
    return BenchStop(std::atoi(argv[2]), argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 1000);
  }
  std::fprintf(stderr,
               "usage: vexlo_bench check URL COUNT | memory URL COUNT | refused URL COUNT | "
               "endless URL COUNT SECONDS | stop COUNT [SETTLE_MS]\n");
  return 2;
}
