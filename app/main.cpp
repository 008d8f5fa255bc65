#include <windows.h>

#include "app/startup.h"
#include "base/library_search.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) {
  UseSystemFolderForLibraries();
  return SaverMain(arguments);
}
