// Shared declarations of VexloService: the path buffers and the flags of the
// stop handshake. Everything here is free of Windows headers.
#pragma once

#include <atomic>
#include <cstdint>

// A path buffer holds at most 259 bytes of text and its terminating zero, in
// the system ANSI code page (the MAX_PATH of the ANSI file API).
constexpr int kPathBufferSize = 260;
using PathBuffer = char[kPathBufferSize];

// The executable's folder, ending in a backslash; file names are appended to it.
extern PathBuffer g_appFolder;
// The all-users desktop directory, without a trailing backslash.
extern PathBuffer g_desktopFolder;
// Address of the remote version document; config.xml may replace the default.
extern PathBuffer g_baseUrl;

// 1 while the watcher loop should go on; set by the service entry, cleared by
// StopWatcher on the control handler's thread.
extern std::atomic<std::int32_t> g_runFlag;
// 0 only while RunWatcher runs; StopWatcher waits for it to return to 1.
extern std::atomic<std::int32_t> g_workerStopped;
