// The service status record and its handle, shared by the process entry, the
// service entry and the control handler.
#pragma once

#include <windows.h>

extern SERVICE_STATUS g_serviceStatus;
extern SERVICE_STATUS_HANDLE g_statusHandle;
