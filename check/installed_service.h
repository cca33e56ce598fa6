// The installed service as far as the running account may read it, and the
// one request it may send: nothing is changed, and no rights beyond a
// standard user's are asked for.
#pragma once

#include <string>

struct InstalledService {
  bool readable = false;  // the service manager could be asked
  unsigned long error = 0;
  bool installed = false;
  unsigned long state = 0;      // SERVICE_RUNNING and the like
  unsigned long startType = 0;  // SERVICE_AUTO_START and the like
  bool delayed = false;
  std::string imagePath;
  std::string account;
};

InstalledService QueryInstalledService();

const char* ServiceStateName(unsigned long state);
const char* StartTypeName(unsigned long startType);

// Sends the service the control that asks for one check now: 0 once sent,
// else the platform's reason (the service missing, stopped, starting or
// stopping, or the request refused to this account).
unsigned long SendCheckNow();
