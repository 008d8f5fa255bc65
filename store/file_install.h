// Installing a downloaded skit file into the skits folder, checked against
// what the catalogue's trust knows of it.
#pragma once

#include <string>

#include "store/catalog_block.h"
#include "store/list_trust.h"

// Called while a downloaded file's copy is held in the skits folder, before
// it is checked and renamed; tests look at the files then.
using InstallHookFn = void (*)(const std::string& download, const std::string& copy);
extern InstallHookFn FileInstallHook;

// Puts download into the skits folder as target. Empty when it is there;
// otherwise why not, and the download and its resume record are gone
// (fetching it again would not help).
std::string InstallSkitFile(const cListTrust& trust, const std::string& download, const SkitFile& file,
                            const std::string& target);
