// Merging a server's records into the catalogue's block and archive. The
// merge trusts a record no further than the catalogue can afford: a record
// whose file names are not plain file names, whose addresses are not http
// or https, that claims more than four files or binds a wake key is refused
// with a "Rejected skit" line, and the rest of the list still merges.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "store/catalog_block.h"
#include "store/pak.h"

struct SyncHeader;

// What a job has done, for reports; cleared when a job starts.
struct JobTally {
  uint32_t Added = 0;      // new skits merged
  uint32_t Updated = 0;    // skits a higher revision changed
  uint32_t Rejected = 0;   // server records refused or unreadable
  uint32_t Installed = 0;  // files installed into the skits folder
  uint32_t Failed = 0;     // skits set to SKIT_FAILED
};

// The catalogue has no slot left for a new skit: the record is left on
// purpose, and the merge still counts as whole.
class ECatalogueFull : public std::runtime_error {
 public:
  ECatalogueFull() : std::runtime_error("Can't add skit - max entries!") {}
};

// A skit is scheduled again from its first file, unless it is a download
// that stopped half-way (judged on the record before the update that
// schedules it), which goes on where it stopped.
bool IsHalfWay(const SkitRecord& record);
void Schedule(SkitRecord& record, bool halfWay);

class cCatalogueMerge {
 public:
  using LogFn = std::function<void(uint32_t level, const std::string& text)>;
  cCatalogueMerge(CatalogBlock& catalog, cPakFile& pak, JobTally& tally, LogFn log);

  // The list's settings, when its version is newer than the catalogue's.
  void MergeHeader(const SyncHeader& sync);
  // A record of the list; true when the catalogue changed.
  bool MergeRecord(const SkitRecord& server);
  // Throws ECatalogueFull when the catalogue is full.
  void AddSkit(const SkitRecord& server);
  bool UpdateSkit(const SkitRecord& server);
  void UpdateSkitPartly(const SkitRecord& server, SkitRecord& target);

  // A skipped or rejected record of the list, in the log: a list may hold
  // thousands of records a full catalogue must skip, and a line each would
  // cost seconds of the user interface's time, so past the first few only
  // their number is kept, for one line at the end.
  void RecordLine(const std::string& text);
  uint32_t UnlistedRecords() const { return Unlisted_; }

 private:
  void ReplaceText(StoredString& target, const char* text);
  void NewText(StoredString& target, const char* text);

  static constexpr uint32_t kRecordLinesListed = 50;
  CatalogBlock& Catalog_;
  cPakFile& Pak_;
  JobTally& Tally_;
  LogFn Log_;
  uint32_t Listed_ = 0;
  uint32_t Unlisted_ = 0;
};
