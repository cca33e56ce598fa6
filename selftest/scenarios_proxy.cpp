// WinHTTP's own proxy setting as a list: a dead proxy, then two live ones.
#include <windows.h>

#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenario_steps.h"
#include "selftest/scenarios.h"
#include "watcher/check_record.h"

void CheckProxyList() {
  // A dead proxy, then two live ones: the update must come through the
  // first live one, and the second must see nothing.
  const int dead = DeadPort();
  const int first = ListenAlso(0);
  const int second = ListenAlso(0);
  const std::string proxies = "127.0.0.1:" + std::to_string(dead) +
                              ";127.0.0.1:" + std::to_string(first) +
                              ";127.0.0.1:" + std::to_string(second);
  RunServiceSwitch("-stop");
  WaitForServiceState(SERVICE_STOPPED, 30000);
  DWORD refused = 0;
  const bool set = first != 0 && second != 0 && SetMachineProxy(Wide(proxies), &refused);
  // An address only the proxy knows: the document comes through it or not at all.
  WriteConfig("http://vexlo-selftest.invalid/doc/desktop.xml", 1, 1);
  RunServiceSwitch("-start");
  WaitForServiceState(SERVICE_RUNNING, 60000);
  const long before = ProxiedRequests(first);
  const long beforeSecond = ProxiedRequests(second);
  const std::string document = NextDocument();
  SetServedDocument(document);
  std::string missing = "WinHTTP's own proxy setting could not be set";
  const bool landed = set && WaitForUpdate(document, &missing);
  const std::string route = "proxy 127.0.0.1:" + std::to_string(first) + " ";
  CheckRecord record;
  const bool recorded = landed && WaitFor(
                                      [&] {
                                        return ReadCheckRecord(&record) &&
                                               record.route.compare(0, route.size(), route) == 0;
                                      },
                                      30000);
  const bool throughFirst = ProxiedRequests(first) > before;
  const bool secondQuiet = ProxiedRequests(second) == beforeSecond;
  if (!set && PlatformLacksQuestion(refused)) {
    Report("Proxy: list, first one dead", Verdict::kNotShown,
           "this Windows refuses to set WinHTTP's own proxy setting (error %lu)", refused);
  } else if (!set) {
    Report("Proxy: list, first one dead", Verdict::kFail,
           "the kit could not set WinHTTP's own proxy setting (error %lu; ports %d and %d)",
           refused, first, second);
  } else {
    const bool pass = landed && throughFirst && secondQuiet && recorded;
    Report("Proxy: list, first one dead", pass ? Verdict::kPass : Verdict::kFail, "%s%s",
           !landed         ? "no update came through the list: "
           : !throughFirst ? "the update did not come through the first live proxy"
           : !secondQuiet  ? "the proxy after the first live one was asked too"
           : !recorded     ? "the service's record does not name the first live proxy: "
                           : "the update came through the first live proxy, the next saw "
                             "nothing, and the record names it",
           !landed     ? missing.c_str()
           : !recorded ? record.route.c_str()
                       : "");
  }
  RunServiceSwitch("-stop");
  WaitForServiceState(SERVICE_STOPPED, 30000);
  const bool restored = RestoreMachineProxy();
  Report("Proxy: setting put back", restored ? Verdict::kPass : Verdict::kFail, "%s",
         restored ? "read back exactly as it was" : "it reads back otherwise than it was");
  WriteConfig(Url(ServerPort()), 1, 1);
  RunServiceSwitch("-start");
  WaitForServiceState(SERVICE_RUNNING, 60000);
  ClearMarker();
}
