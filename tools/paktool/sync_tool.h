// The content server's synchronisation file as paktool builds it from a
// description and shows it. The records use the catalogue's description
// form (catalog_tool.h); the header has a few fields of its own.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "store/sync_file.h"
#include "tools/paktool/catalog_tool.h"

struct SyncDescription {
  uint8_t Transform[PAK_SPEC_SIZE] = {};
  SyncHeader Header;
  std::vector<SkitRecord> Records;
  TextTable Texts;
};

// Throws DescriptionError naming the first field that cannot be used.
SyncDescription ReadSyncDescription(const Json& root);
// Creates (or replaces) the file: "SYNC" 1, "SKIT" 1 .. n in the order of
// the description, and the texts. A file left half-written is deleted.
void WriteSyncFile(const std::string& path, const SyncDescription& description);

// paktool sync show / sync build.
void ShowSync(const std::string& path, bool json, std::ostream& out);
void BuildSync(const std::string& descriptionPath, const std::string& syncPath);
