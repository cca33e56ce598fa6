#include <cstdarg>
#include <cstdio>

#include "service/service.h"

namespace {

// 255 characters and the terminator.
const int kMessageBufferSize = 256;

}  // namespace

void FormatEventMessage(char (&message)[kMessageBufferSize], const char* format,
                        va_list arguments) {
  // vsnprintf cuts a long message; vsprintf_s would end the process over it.
  if (std::vsnprintf(message, sizeof message, format, arguments) < 0) message[0] = '\0';
}

void LogEvent(const char* format, ...) {
  char message[kMessageBufferSize];
  va_list arguments;
  va_start(arguments, format);
  FormatEventMessage(message, format, arguments);
  va_end(arguments);

  HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
  if (source == nullptr) return;
  const char* strings[] = {message};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}
