// Dialogs made from a template, fitted to their DPI and their texts.
#pragma once

#include <windows.h>

namespace forms {

// A dialog made from a template, as it starts (WM_INITDIALOG). The system
// lays a template out in units of its font's average character, which does
// not grow in step with the DPI (8 points are 11 pixels at 96 DPI and 16 at
// 144): the dialog is laid out again at its 96-DPI size times its DPI over
// 96, as the forms are. Then a word-wrapped static text that needs more
// lines than its control has grows downwards, and whatever lies below it
// moves down as the dialog grows.
void FitDialog(HWND dialog);

}  // namespace forms
