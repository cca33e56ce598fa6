#include "common/whole_file.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

std::FILE* OpenSharedForReading(const char* path, bool text) {
#ifdef _WIN32
  // The runtime's own open shares reading and writing but not deletion,
  // which would turn the service's replacement of the file into a rewrite.
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  const int descriptor =
      _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | (text ? _O_TEXT : _O_BINARY));
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, text ? "r" : "rb");
  if (stream == nullptr) _close(descriptor);
  return stream;
#else
  return std::fopen(path, text ? "r" : "rb");
#endif
}

bool ReadWholeFile(const char* path, std::string* bytes) {
  std::FILE* file = OpenSharedForReading(path, false);
  if (file == nullptr) return false;
  char chunk[4096];
  std::size_t read;
  while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->append(chunk, read);
  const bool failed = std::ferror(file) != 0;
  (void)std::fclose(file);  // read only: nothing to lose
  return !failed;
}
