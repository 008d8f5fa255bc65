// A DLL that someone put beside a program under the name of a system
// library. Loading it is harmless; its marker export tells that it was
// loaded instead of the system's own.
#include <windows.h>

extern "C" __declspec(dllexport) int DrearigramsPlanted() { return 1; }
