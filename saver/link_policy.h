// A skit's hot-key link comes from the content server over plain HTTP, so it
// is opened only when it is plainly harmless: a web or mail address, or a
// local program that the server cannot have put there itself.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Empty when target may be opened; otherwise the reason it may not.
// protectedFolders are the folders the server's files land in and the folder
// the user's own screensaver writes.
std::string LinkRefusal(const std::string& target, const std::vector<std::string>& protectedFolders);

// The type of the drive whose root ("X:\\") is given, as GetDriveTypeW tells
// it. Replaceable, for tests: Wine maps no network or removable drives.
using DriveTypeFn = UINT (*)(const wchar_t* root);
extern DriveTypeFn LinkDriveType;

// The path to start for a program link. A 32-bit program on 64-bit Windows
// (the 32-bit edition under WoW64) that names a file in System32 is sent by
// the file system to SysWOW64, where the 32-bit copies lie, or nothing; the
// Sysnative alias reaches the system's own folder instead. Any other target,
// and every target of a program that is not under WoW64, is left as it is.
std::string NativeProgramPath(const std::string& target);
