// Synchronisation files for the tests, written through the product's own
// archive and record code, and the fixture of the synchronisation tests: the
// catalogue fixture's scratch installation with a catalogue opened on it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/list_trust.h"
#include "store/sync_file.h"
#include "tests/store/catalog_builder.h"

class SyncBuilder {
 public:
  SyncBuilder();

  int32_t Text(const std::string& text);
  // A server record, available, with plays unlimited and the show window
  // open; each file is named as given, at UrlBase + its name.
  SkitRecord& Add(uint8_t category, int32_t skitId, uint32_t revision, const std::string& title,
                  const std::vector<std::string>& files);
  // "SYNC" 1 and "SKIT" 1 .. n; SkitCount is the number of records unless
  // set. Texts go in as "PSTR" entries.
  void Write(const std::string& path) const;
  // The same archive, plain, laid out byte by byte here rather than by the
  // product's writer, for lists of thousands of records.
  void WriteAtOnce(const std::string& path) const;

  SyncHeader Header;
  bool SkitCountGiven = false;
  std::vector<SkitRecord> Records;
  std::map<int32_t, std::string> Texts;
  // "FSUM" entries by record number (1 for the first record).
  std::map<int32_t, std::vector<FileSum>> Sums;
  // "ADDR" 1, the address the list names as its own, when given.
  std::optional<std::string> Address;
  // "KEYC" 1, a key change body, when not empty.
  std::vector<uint8_t> KeyChangeBody;
  // "TENC" 1, the texts' encoding, when given; a list without it is one of
  // the lists written before it existed.
  std::optional<std::string> TextEncoding;
  std::string UrlBase = "http://127.0.0.1/skits/";

 private:
  int32_t NextText_ = 1;
};

// A plain pak archive holding these entries, bodies back to back, written at
// once.
struct RawEntry {
  uint32_t Type;
  int32_t Id;
  std::string Body;
};
void WritePlainArchive(const std::string& path, const std::vector<RawEntry>& entries);

class SyncTest : public CatalogTest {
 protected:
  // Opens the catalogue Builder describes (in configuration mode).
  cSkitManager& OpenManager();
  // Writes the file into the download folder and merges it.
  bool Merge(const SyncBuilder& sync);
  std::string SyncPath() const { return JoinPath(Settings.DownloadPath, "kinetrope.syn"); }
  const SkitRecord* Find(uint8_t category, int32_t skitId) const;
  // The download log's lines without their time stamps and tags.
  std::vector<std::string> LogTexts() const;
  bool Logged(const std::string& text) const;

  std::unique_ptr<cSkitManager> Manager;
};

std::string Str(const char* text);

// The names in a folder, without "." and "..", sorted.
std::vector<std::string> FolderNames(const std::string& folder);
