#include "check/report.h"

#include <windows.h>
#include <winhttp.h>

#include <cinttypes>
#include <cstring>
#include <memory>

#include "check/console.h"
#include "check/installed_service.h"
#include "common/path_buffer.h"
#include "fetch/document_gate.h"
#include "fetch/document_signature.h"
#include "fetch/fetch.h"
#include "fetch/system_libraries.h"
#include "shortcut/shortcut.h"
#include "watcher/watcher.h"

namespace {

using GlobalString = std::unique_ptr<wchar_t, decltype(&GlobalFree)>;

const char* Words(CheckOutcome outcome) { return CheckOutcomeText(outcome); }

const char* OrNone(const std::string& text) { return text.empty() ? "none" : text.c_str(); }

void ReportSettings(const std::string& url) {
  const std::string builtIn = g_baseUrl;
  std::int32_t checkInterval = 0;
  std::int32_t markerInterval = 0;
  const char* encoding = "";
  const CheckOutcome settings = LoadWatcherSettings(&checkInterval, &markerInterval, &encoding);
  if (settings == CheckOutcome::kOk) {
    Line("Settings", "config.xml read; its bytes: %s", encoding);
  } else {
    Line("Settings", "%s", Words(settings));
  }
  Line("",
       "check interval %" PRId32 " passes, marker interval %" PRId32
       " passes (a pass is about a second)",
       checkInterval, markerInterval);
  const char* from = std::strcmp(builtIn.c_str(), g_baseUrl) == 0 ? "built in" : "from config.xml";
  if (url.empty()) {
    Line("", "address %s (%s)", g_baseUrl, from);
  } else {
    Line("", "address %s (given with --url; the service uses %s, %s)", url.c_str(), g_baseUrl,
         from);
    CopyPath(g_baseUrl, url.c_str());
  }
}

// The settings the proxy is found from, as this account sees them; which one
// the check used comes with its answer.
void ReportProxySettings() {
  if (!BindSystemLibrary(SystemLibrary::kWinHttp)) {
    Line("Proxy", "%s", Words(CheckOutcome::kLibraryMissing));
    return;
  }
  WINHTTP_PROXY_INFO machine = {};
  if (WinHttpGetDefaultProxyConfiguration(&machine)) {
    GlobalString proxy(machine.lpszProxy, &GlobalFree);
    GlobalString bypass(machine.lpszProxyBypass, &GlobalFree);
    if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy) {
      Line("Proxy", "WinHTTP's own setting: %s (bypass %s)", Ansi(proxy.get()).c_str(),
           bypass ? Ansi(bypass.get()).c_str() : "none");
    } else {
      Line("Proxy", "WinHTTP's own setting: none");
    }
  } else {
    Line("Proxy", "WinHTTP's own setting cannot be read (error %lu)", GetLastError());
  }
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG account = {};
  if (WinHttpGetIEProxyConfigForCurrentUser(&account)) {
    GlobalString script(account.lpszAutoConfigUrl, &GlobalFree);
    GlobalString proxy(account.lpszProxy, &GlobalFree);
    GlobalString bypass(account.lpszProxyBypass, &GlobalFree);
    Line("", "this account's Internet Options: automatic detection %s, script %s, manual proxy %s",
         account.fAutoDetect ? "on" : "off", script ? Ansi(script.get()).c_str() : "none",
         proxy ? Ansi(proxy.get()).c_str() : "none");
  } else {
    Line("",
         "this account's Internet Options cannot be read (error %lu): automatic detection "
         "is tried",
         GetLastError());
  }
  Line("", "the service runs as the local system account, whose Internet Options may differ");
}

const char* ProxySourceWords(ProxySource source) {
  switch (source) {
    case ProxySource::kMachine:
      return "WinHTTP's own setting";
    case ProxySource::kAutomatic:
      return "automatic detection or the script";
    case ProxySource::kManual:
      return "the manual proxy of the Internet Options";
    default:
      return "direct";
  }
}

bool MadeARequest(CheckOutcome outcome) {
  return outcome != CheckOutcome::kUrlTooLong && outcome != CheckOutcome::kTooManyRequests &&
         outcome != CheckOutcome::kLibraryMissing && outcome != CheckOutcome::kNotWebAddress;
}

void ReportAnswer(const FetchReport& report, unsigned long long elapsedMs) {
  if (!report.url.empty()) Line("Request", "GET %s", report.url.c_str());
  if (!MadeARequest(report.outcome)) {
    Line("Answer", "no request was made: %s", Words(report.outcome));
    return;
  }
  const ProxyChoice& proxy = report.answer.proxy;
  if (proxy.source == ProxySource::kDirect) {
    Line("", "through no proxy%s", proxy.accountRead ? "" : " (automatic detection found none)");
  } else {
    Line("", "through the proxy %s, from %s", Ansi(proxy.proxy).c_str(),
         ProxySourceWords(proxy.source));
  }
  const HttpAnswer& answer = report.answer;
  if (answer.status == 0) {
    Line("Answer", "none after %llu ms: %s", elapsedMs, Words(report.outcome));
    return;
  }
  Line("Answer", "status %lu after %llu ms", answer.status, elapsedMs);
  Line("", "Content-Type %s, Content-Encoding %s, Content-Length %s", OrNone(answer.contentType),
       OrNone(answer.contentEncoding), OrNone(answer.contentLength));
  if (!answer.finalUrl.empty() && answer.finalUrl != report.url) {
    Line("", "redirected to %s", answer.finalUrl.c_str());
  }
  if (!answer.location.empty()) Line("", "Location %s", answer.location.c_str());
  if (!answer.body.empty()) {
    Line("", "%zu bytes of body read (at most %zu count)", answer.body.size(), kMaxDocumentBytes);
  }
}

void ReportSignature(const FetchReport& report, const std::string& stored) {
  if (!DocumentKeysBuiltIn()) {
    Line("Keys", "none built in: a document counts signed or not");
    return;
  }
  std::string names;
  for (std::size_t i = 0; i < g_documentKeyCount; ++i) {
    names += (i == 0 ? "" : ", ") + std::string(g_documentKeys[i].name);
  }
  Line("Keys", "this build trusts %s", names.c_str());
  SignatureBlock storedBlock;
  if (ParseSignatureBlock(stored, &storedBlock)) {
    Line("", "the stored copy's serial is %" PRIu64, storedBlock.serial);
  } else {
    Line("", "the stored copy has no block that can be read: any validly signed document counts");
  }
  const std::string& body = report.answer.body;
  if (report.outcome == CheckOutcome::kSameAsStored) {
    Line("Signature", "not verified: %s", Words(report.outcome));
    return;
  }
  if (!report.signatureChecked) {
    Line("Signature", "none looked at: the answer does not count");
    return;
  }
  SignatureBlock block;
  const CheckOutcome read = ReadSignatureBlock(body, &block);
  if (read != CheckOutcome::kOk) {
    Line("Signature", "%s", Words(read));
    return;
  }
  Line("Signature", "block of key %s, serial %" PRIu64, block.keyName, block.serial);
  switch (report.outcome) {
    case CheckOutcome::kUnknownKey:
    case CheckOutcome::kBadSignature:
    case CheckOutcome::kLibraryMissing:
      Line("", "%s", Words(report.outcome));
      return;
    default:
      break;
  }
  Line("", "the signature verifies with that key");
  Line("", "%s",
       report.outcome == CheckOutcome::kOldSerial ? Words(report.outcome)
                                                  : "the serial is above the stored copy's");
}

// The version rule; returns its outcome once the document counts.
CheckOutcome ReportVersions(const FetchReport& report, const char* storedPath) {
  std::string storedVersion;
  const CheckOutcome stored = ReadStoredVersionText(storedPath, &storedVersion);
  if (stored == CheckOutcome::kOk) {
    Line("Stored", "%s: version \"%s\"", storedPath, storedVersion.c_str());
  } else {
    Line("Stored", "%s: %s", storedPath, Words(stored));
  }
  if (report.outcome == CheckOutcome::kSameAsStored) {
    Line("Document", "the stored copy, byte for byte");
    return report.outcome;
  }
  if (report.outcome != CheckOutcome::kOk) {
    Line("Document", "none that counts (see above)");
    return report.outcome;
  }
  std::string documentVersion;
  const CheckOutcome document = ReadDocumentVersionText(report.text, &documentVersion);
  if (document == CheckOutcome::kOk) {
    Line("Document", "version \"%s\"", documentVersion.c_str());
  } else {
    Line("Document", "%s", Words(document));
  }
  // The rule itself, as the service applies it.
  const CheckOutcome versions = CompareVersions(storedPath, report.text, nullptr, nullptr);
  Line("", "%s",
       versions == CheckOutcome::kOk ? "the versions differ: an update" : Words(versions));
  return versions;
}

void ReportMarker() {
  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "update.ini")) return;
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
    Line("update.ini", "missing: the service leaves the shortcut as it is");
    return;
  }
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      Line("update.ini",
           "held by another program without sharing: the service writes it once "
           "it is let go");
    } else {
      Line("update.ini", "cannot be read (error %lu)", error);
    }
    return;
  }
  CloseHandle(file);
  switch (ReadUpdateMarker()) {
    case MarkerState::kPending:
      Line("update.ini", "0: an update is pending, the update icon stays");
      break;
    case MarkerState::kCleared:
      Line("update.ini", "cleared: the normal icon shows");
      break;
    case MarkerState::kUnreadable:
      Line("update.ini", "cannot be read");
      break;
  }
}

void ReportShortcut() {
  PathBuffer link;
  if (!ClientShortcutPath(link)) {
    Line("Shortcut", "its path does not fit 259 characters");
    return;
  }
  wchar_t wide[kPathBufferSize];
  if (MultiByteToWideChar(CP_ACP, 0, link, -1, wide, kPathBufferSize) == 0) return;
  ShortcutFields fields;
  if (ReadShortcut(wide, &fields)) {
    Line("Shortcut", "%s", link);
    Line("", "target %s", Ansi(fields.target).c_str());
    Line("", "icon %s, index %d", Ansi(fields.icon).c_str(), fields.iconIndex);
  } else if (GetFileAttributesA(link) == INVALID_FILE_ATTRIBUTES) {
    Line("Shortcut",
         "%s: missing (the service writes it at its next read of update.ini, "
         "unless update.ini is missing)",
         link);
  } else {
    Line("Shortcut", "%s: cannot be read, or damaged (the service writes it anew)", link);
  }
}

void ReportService() {
  const InstalledService service = QueryInstalledService();
  if (!service.readable) {
    Line("Service", "cannot be read with this account's rights (error %lu)", service.error);
    return;
  }
  if (!service.installed) {
    Line("Service", "VexloService is not installed");
    return;
  }
  Line("Service", "VexloService is %s; start %s%s; account %s", ServiceStateName(service.state),
       StartTypeName(service.startType), service.delayed ? " (delayed)" : "",
       OrNone(service.account));
  Line("", "image %s", service.imagePath.c_str());
}

}  // namespace

int RunCheck(const CheckOptions& options) {
  Say("VexloCheck %s: one check of the version document, made as VexloService makes it.\n"
      "Nothing is written.\n\n",
      VEXLO_VERSION);
  Line("Folder", "%s", g_appFolder);
  ReportSettings(options.url);
  ReportProxySettings();

  PathBuffer storedPath;
  std::string stored;
  if (options.stored.empty()) {
    JoinPath(storedPath, g_appFolder, "version.xml");
    if (!ReadStoredVersion(&stored)) stored.clear();
  } else {
    CopyPath(storedPath, options.stored.c_str());
    stored = options.storedBytes;
  }
  const ULONGLONG started = GetTickCount64();
  FetchReport report;
  FetchVersionDocumentReport(stored, kDownloadDeadlineMs, &report);
  ReportAnswer(report, GetTickCount64() - started);
  ReportSignature(report, stored);
  const CheckOutcome verdict = ReportVersions(report, storedPath);

  ReportMarker();
  ReportShortcut();
  ReportService();
  Say("\n");
  if (verdict == CheckOutcome::kOk) {
    Line("Verdict", "UPDATE: the service would show the update icon and store this document");
    return kExitUpdate;
  }
  Line("Verdict", "NO CHANGE (%s): %s", CheckOutcomeName(verdict), Words(verdict));
  return kExitNoChange;
}
