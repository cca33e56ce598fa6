// What automatic proxy configuration answers for an address: automatic
// detection (WPAD) or a script address, each asked on its own.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "fetch/proxy_routes.h"

struct AutoProxyAnswer {
  std::vector<ProxyRoute> routes;  // in the script's order; empty: DIRECT
  std::wstring bypass;
};

// Asks automatic detection (scriptUrl null) or the script at scriptUrl which
// way url goes. True with the routes when configuration answered; false when
// nothing was detected, the script could not be had or run, or cancelled()
// turned true on the way. From Windows 8 on the platform's resolver gives
// the whole list and is given up as soon as cancelled turns true; before it,
// and wherever the resolver is refused, the older call answers, which cannot
// be interrupted and whose list is split here.
bool AskAutoProxy(const std::wstring& url, const wchar_t* scriptUrl,
                  const std::atomic<bool>& cancelled, AutoProxyAnswer* answer);
