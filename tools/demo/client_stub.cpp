// Stands in for the game client in the demo, so that the desktop shortcut
// points at a real program.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  MessageBoxA(nullptr, "This stands in for the Vexlo game client.", "Vexlo", MB_OK);
  return 0;
}
