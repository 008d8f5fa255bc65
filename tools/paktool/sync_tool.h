// The content server's synchronisation file as paktool builds it from a
// description and shows it. The records use the catalogue's description
// form (catalog_tool.h); the header has a few fields of its own.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "store/list_trust.h"
#include "store/sync_file.h"
#include "tools/paktool/catalog_tool.h"

struct SyncDescription {
  uint8_t Transform[PAK_SPEC_SIZE] = {};
  SyncHeader Header;
  // header.address: where the list is published ("ADDR" 1); a signed list
  // needs it.
  std::optional<std::string> Address;
  std::vector<SkitRecord> Records;
  TextTable Texts;
};

// Throws DescriptionError naming the first field that cannot be used.
SyncDescription ReadSyncDescription(const Json& root);
// Creates (or replaces) the file: "SYNC" 1, "SKIT" 1 .. n in the order of
// the description, the texts, and the address when there is one. A file
// left half-written is deleted. sums, when not empty, holds for each record
// the sizes and hashes of its files ("FSUM" entries); keyChange, when not
// empty, is the "KEYC" 1 body.
void WriteSyncFile(const std::string& path, const SyncDescription& description,
                   const std::vector<std::vector<FileSum>>& sums = {}, const std::vector<uint8_t>& keyChange = {});

// paktool sync show / sync build.
void ShowSync(const std::string& path, bool json, std::ostream& out);
// With a files folder, every file of every record is looked up there by its
// name and its size and SHA-256 go into the file; with a private key file
// the finished file is signed (which needs the folder, a version of 1 or
// more and the address the list is published at). A key change file (paktool
// key change) goes into a list signed with the new key it names, of a
// version it counts for.
void BuildSync(const std::string& descriptionPath, const std::string& syncPath, const std::string& filesFolder = {},
               const std::string& privateKeyPath = {}, const std::string& keyChangePath = {});
