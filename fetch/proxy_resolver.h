// What automatic proxy configuration answers for an address: automatic
// detection (WPAD) or a script address, each asked on its own.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <string>
#include <vector>

#include "fetch/proxy_routes.h"

struct AutoProxyAnswer {
  std::vector<ProxyRoute> routes;  // in the script's order; empty: DIRECT, unless unusable
  std::size_t unusable = 0;        // proxies named that WinHTTP cannot use
  std::wstring bypass;
};

// Asks automatic detection (scriptUrl null) or the script at scriptUrl which
// way url goes; with kAnswered, *answer holds the routes. From Windows 8 on
// the platform's resolver gives the whole list, and is given up after a
// step's time-out or as soon as cancelled turns true (kHung, kStopped).
// Before it, and wherever the resolver is refused, the older call answers,
// which cannot be interrupted and whose list is split here.
AutoProxyStep AskAutoProxy(const std::wstring& url, const wchar_t* scriptUrl,
                           const std::atomic<bool>& cancelled, AutoProxyAnswer* answer);

// The resolver's calls, which came with Windows 8: looked up, never bound on
// first use, so that the list of bound functions holds on Windows 7. Tests
// put in calls of their own.
struct ResolverCalls {
  DWORD(WINAPI* create)(HINTERNET, HINTERNET*) = nullptr;
  DWORD(WINAPI* ask)(HINTERNET, PCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, DWORD_PTR) = nullptr;
  DWORD(WINAPI* result)(HINTERNET, WINHTTP_PROXY_RESULT*) = nullptr;
  VOID(WINAPI* free)(WINHTTP_PROXY_RESULT*) = nullptr;
  BOOL(WINAPI* close)(HINTERNET) = nullptr;
};

// One search through the resolver, given up after boundMs or once cancelled
// turns true; its record outlives the search until the platform's callback
// has come. False when no resolver can be had here (then *step is untouched).
bool AskResolver(const ResolverCalls& calls, const std::wstring& url,
                 WINHTTP_AUTOPROXY_OPTIONS* options, const std::atomic<bool>& cancelled,
                 unsigned long boundMs, AutoProxyStep* step, AutoProxyAnswer* answer);

// The resolver's status callback: acts only on the completion of its own
// call, as Microsoft's WinhttpProxy sample does (a request error counts only
// when WINHTTP_ASYNC_RESULT.dwResult is API_GET_PROXY_FOR_URL).
void CALLBACK OnResolverStatus(HINTERNET resolver, DWORD_PTR context, DWORD status,
                               LPVOID information, DWORD length);
