// The program folder as the setup takes it over: a folder that holds
// nothing the setup did not put there, with the owner and rights the setup
// names, in a place no other account can change.
//
// Where the folder may go. An account that may rename, remove or re-permit
// the folder's parent (or any folder above it) can move the program folder
// away after the setup has checked it and put its own in its place, or a
// link to one. So every folder above must be owned by an administrator, the
// system, the system's installer account or the account running the setup
// (which is the administrator), and give nobody else the rights to change it
// (delete it or what it holds, or its rights or owner). Creating new folders
// in the parent is harmless (every user may in C:\): the setup makes its own
// folder there and stops when it cannot.
//
// What was there before. An existing folder that only those accounts could
// ever change (an installation of this setup) is kept, with the entries the
// setup names; everything else in it is removed, and each object left gets
// the setup's owner and rights anew. Any other folder (one a user made
// beforehand, or an earlier installation every user could write) is moved
// aside whole, since a user may still hold it open with rights given before,
// and a new folder is made in its place, its rights set as it is created;
// what was moved aside is then removed as far as it can be.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace cleardata {

constexpr int kRefused = 3;  // the folder cannot be made safe: the setup stops

// What lets an account change a folder's entry in its parent or the folder
// itself (rename, remove, re-permit), and what lets it put files into it.
constexpr ACCESS_MASK kReplaceRights = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
constexpr ACCESS_MASK kChangeRights = kReplaceRights | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_WRITE_ATTRIBUTES | GENERIC_WRITE;

// The first account other than an administrator, the system, the system's
// installer account and `self` that owns the object `sd` describes, or is
// given any of `rights` by it (a missing DACL gives everyone everything), as
// its SID text; empty when there is none. Entries that only pass to objects
// inside (inherit-only) do not count.
std::wstring AnotherAccountMay(PSECURITY_DESCRIPTOR sd, PSID self, ACCESS_MASK rights);

// Takes `folder` over as the program folder (see above): `sddl` the rights it
// gets, `keep` the plain names of entries of an installation of this setup
// that stay. kDone, or kRefused with the reason said.
int OwnProgramFolder(const std::wstring& folder, const std::wstring& sddl, const std::vector<std::wstring>& keep,
                     std::wostream& out);

}  // namespace cleardata
