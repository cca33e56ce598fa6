// The client's shortcut on the all-users desktop.
#pragma once

// Writes the shortcut file for target, named after it, in the desktop folder,
// with the given icon. Returns 1 when the file was saved, else 0.
int WriteClientShortcut(const char* target, const char* icon);

// The client's shortcut with update.ico, or with normal.ico.
int ShowUpdateIcon();
int ShowNormalIcon();
