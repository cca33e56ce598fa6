// The client's shortcut on the all-users desktop.
#pragma once

#include <string>

#include "common/vexlo.h"

// Writes the shortcut file for target, named after it, in the desktop folder,
// with the given icon. Returns 1 when the file was saved, else 0.
int WriteClientShortcut(const char* target, const char* icon);

// The client's shortcut with update.ico, or with normal.ico.
int ShowUpdateIcon();
int ShowNormalIcon();

// What a shortcut file says, as far as the service writes it.
struct ShortcutFields {
  std::wstring target;
  std::wstring icon;
  int iconIndex = 0;
  std::wstring description;
  unsigned showCommand = 0;
};

// Reads the shortcut file at linkPath, on a thread where COM is initialised.
// False when it is missing, cannot be read, or is damaged or cut short.
bool ReadShortcut(const wchar_t* linkPath, ShortcutFields* fields);

// Whether a path read from a shortcut names the file written (ANSI turned to
// UTF-16), as the file system reads both.
bool SameShortcutPath(const std::wstring& read, const std::wstring& written);

// What the service would change in a shortcut it found (onDisk) to make it
// the one it writes for target and icon (ANSI): the first field that differs,
// in words ("the target", "the icon", ...), or nullptr when none does.
const char* ShortcutDifference(const ShortcutFields& onDisk, const char* target, const char* icon);

// The path of the client's shortcut file in the desktop folder (ANSI); false
// when it does not fit.
bool ClientShortcutPath(PathBuffer& linkPath);
