#include "common/vexlo.h"

#ifndef VEXLO_DEFAULT_BASE_URL
#error "VEXLO_DEFAULT_BASE_URL must be defined by the build"
#endif
static_assert(sizeof(VEXLO_DEFAULT_BASE_URL) <= kPathBufferSize,
              "the default base URL must fit a path buffer");

PathBuffer g_appFolder = "";
PathBuffer g_desktopFolder = "";
PathBuffer g_baseUrl = VEXLO_DEFAULT_BASE_URL;

std::atomic<std::int32_t> g_runFlag{0};
std::atomic<std::int32_t> g_workerStopped{1};
