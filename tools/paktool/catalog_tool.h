// The skit catalogue as paktool shows it and builds it from a description.
// The record conversions are shared with anything else that stores skit
// records (the server's synchronisation file uses the same layout).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "store/catalog_block.h"
#include "tools/paktool/description.h"

// The texts a description names, in the order it names them; each is given
// the next "PSTR" id, counting from 1.
class TextTable {
 public:
  // The id for text, or -1 (no text) for none.
  int32_t Add(const std::optional<std::string>& text);

  std::vector<std::pair<int32_t, std::string>> Entries;

 private:
  int32_t Next_ = 1;
};

extern const NamedValue kCategoryNames[3];
extern const NamedValue kStateNames[5];
extern const NamedValue kSelectionNames[3];
extern const NamedValue kActionNames[3];

// A record from its description object. category, id and state are
// required; see the README for the other fields and their defaults.
void ReadSkitRecord(const Json& value, const std::string& path, SkitRecord& record, TextTable& texts);

// The text a stored reference names; path names the field for a complaint.
using TextLookup = std::function<std::optional<std::string>(const StoredString& ref, const std::string& path)>;

// The record in the form ReadSkitRecord reads, texts in UTF-8.
Json SkitRecordJson(const SkitRecord& record, const std::string& path, const TextLookup& texts);
// The record as lines of "Field  value", each indented by two blanks.
void PrintSkitRecord(std::ostream& out, const SkitRecord& record, const std::string& path, const TextLookup& texts);

struct CatalogDescription {
  uint8_t Transform[PAK_SPEC_SIZE] = {};
  std::unique_ptr<CatalogBlock> Block;
  TextTable Texts;
  // The content maker's public key ("makerKey"), when the catalogue is to
  // take only lists signed with it.
  std::optional<std::vector<uint8_t>> MakerKey;
};

// Throws DescriptionError naming the first field that cannot be used.
CatalogDescription ReadCatalogDescription(const Json& root);
// Creates (or replaces) the catalogue file; a file left half-written by a
// failure is deleted.
void WriteCatalogFile(const std::string& path, const CatalogDescription& description);

// paktool catalog show / catalog build.
void ShowCatalog(const std::string& path, bool json, std::ostream& out);
void BuildCatalog(const std::string& descriptionPath, const std::string& catalogPath);
