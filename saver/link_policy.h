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

// Whether only administrators and the system can change what sd guards: its
// owner is one of them (Administrators, SYSTEM, TrustedInstaller) and its
// access list grants nobody else a right that changes the object or what it
// holds (writing, adding, deleting, changing its rights or owner). Access
// lists that grant such rights only to objects created below are not
// counted; no access list at all lets everybody in.
bool OnlyAdministratorsCanChange(PSECURITY_DESCRIPTOR sd);
// Whether the program at path, and every folder above it, is changed by
// administrators only (OnlyAdministratorsCanChange of each one's security
// descriptor); parts that do not exist are passed over. Replaceable, for
// tests: Wine keeps no access rights.
using ProgramGuardFn = bool (*)(const std::wstring& path);
extern ProgramGuardFn ProgramGuarded;
bool ProgramGuardedBySystem(const std::wstring& path);

// The path to start for a program link. A 32-bit program on 64-bit Windows
// (the 32-bit edition under WoW64) that names a file in System32 is sent by
// the file system to SysWOW64, where the 32-bit copies lie, or nothing; the
// Sysnative alias reaches the system's own folder instead. Any other target,
// and every target of a program that is not under WoW64, is left as it is.
std::string NativeProgramPath(const std::string& target);
