// Where a skit's files live: names from the catalogue or the server are
// joined to the skits and download folders only when they are plain file
// names, so nothing is ever read, written or deleted outside the folders.
#pragma once

#include <string>

#include "store/catalog_block.h"

// folder joined with a plain file name, when the result fits a Win32 path
// (whose length Windows counts in UTF-16 units); false (path empty) otherwise.
bool FolderFile(const std::string& folder, const char* name, std::string& path);
// The file's path in the skits folder; false (path empty) for an unsafe name.
bool SkitFilePath(const StringRef& name, std::string& path);
// Every file of the record in use is in the skits folder.
bool AllFilesPresent(const SkitRecord& record);
