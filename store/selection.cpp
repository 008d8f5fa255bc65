// Choosing the next skit. Regular skits play in rotation: the ticked,
// installed ones in catalogue order, starting after the one played last
// (LastSkitId), wrapping to the front. Special skits are interleaved every
// SpecialInterval choices, at most SpecialsLeft times per run, within their
// show window. All rotation state lives in the catalogue, so it carries over
// from one run to the next.
#include "store/catalogue.h"

#include "base/files.h"
#include "base/settings.h"
#include "store/server_data.h"
#include "store/skit_paths.h"

namespace {

// Counters in the catalogue wrap rather than overflow.
void Step(int32_t& counter, int32_t delta) {
  counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(delta));
}

// Only a plain file name is looked for in the skits folder, as everywhere
// else in the catalogue.
bool MovieExists(const SkitRecord& record) {
  std::string path;
  return SkitFilePath(record.Files[0].Name, path) && FileExists(path);
}

}  // namespace

// File existence is tested only for the records the walk reaches; a skit
// whose movie is gone drops out of the rotation until it is fetched again.
const char* cSkitManager::NextSkit() {
  if (const char* special = NextSpecial()) return special;

  CatalogHeader& header = Catalog.Header;
  const uint32_t count = static_cast<uint32_t>(RecordsInUse(Catalog).size());
  int32_t first = -1;
  int32_t chosen = -1;
  bool passedLast = false;
  for (uint32_t i = 0; i < count; ++i) {
    SkitRecord& record = Catalog.Records[i];
    if (record.Category != CAT_SKIT) continue;
    bool installed = record.State == SKIT_INSTALLED;
    if (installed && !MovieExists(record)) {
      record.State = SKIT_AVAILABLE;
      record.Selection = SEL_NONE;
      installed = false;
    }
    const bool eligible = installed && record.Selection == SEL_ON && record.PlaysLeft != 0;
    if (eligible && first < 0) first = static_cast<int32_t>(i);
    if (record.SkitId == header.LastSkitId) {
      passedLast = true;
    } else if (passedLast && eligible) {
      chosen = static_cast<int32_t>(i);
      break;
    }
  }
  if (chosen < 0) chosen = first;
  if (chosen < 0) return nullptr;

  SkitRecord& record = Catalog.Records[chosen];
  header.LastSkitId = record.SkitId;
  Current = chosen;
  Step(record.PlayCount, 1);
  if (record.PlaysLeft > 0) Step(record.PlaysLeft, -1);
  return record.Files[0].Name.Text;
}

// With SpecialInterval 0 the countdown passes 0 on the first call and does
// not come back to it within a run, so no special skit is shown.
const char* cSkitManager::NextSpecial() {
  CatalogHeader& header = Catalog.Header;
  if (header.SpecialsOn == 0 || CountCategory(CAT_SPECIAL) == 0 || header.SpecialsLeft == 0) return nullptr;
  Step(header.SpecialCountdown, -1);
  if (header.SpecialCountdown != 0) return nullptr;
  header.SpecialCountdown = header.SpecialInterval;

  const uint32_t count = static_cast<uint32_t>(RecordsInUse(Catalog).size());
  // The search starts after the special played last; its id is matched in
  // every category.
  uint32_t start = count;
  for (uint32_t i = 0; i < count; ++i) {
    if (Catalog.Records[i].SkitId == header.LastSpecialId) {
      start = i;
      break;
    }
  }

  const uint64_t now = Clock().Value();
  uint32_t index = start;
  for (uint32_t looked = 0; looked < count; ++looked) {
    index = index + 1 < count ? index + 1 : 0;
    SkitRecord& record = Catalog.Records[index];
    if (record.Category != CAT_SPECIAL) continue;
    if (record.State != SKIT_INSTALLED || !MovieExists(record)) continue;
    if (record.PlaysLeft == 0) continue;
    if (record.ShowUntil < now || record.ShowFrom > now) continue;

    Step(header.SpecialsLeft, -1);
    if (record.PlaysLeft > 0) Step(record.PlaysLeft, -1);
    Step(record.PlayCount, 1);
    Step(header.SpecialsPlayed, 1);
    header.LastSpecialId = record.SkitId;
    Current = static_cast<int32_t>(index);
    return record.Files[0].Name.Text;
  }
  return nullptr;
}

const char* cSkitManager::GetFileName(uint8_t category, int32_t skitId, int32_t fileIndex) const {
  const int32_t index = FindSkit(category, skitId);
  if (index < 0 || fileIndex < 0 || static_cast<uint32_t>(fileIndex) >= SKIT_MAX_FILES) return nullptr;
  return Catalog.Records[index].Files[fileIndex].Name.Text;
}

// A record that claims more files done than it has counts as none pending
// rather than taking files off the others. A skit past its ShowUntil is never
// fetched, so its files are not pending either: otherwise the catalogue
// would stay due for ever.
uint32_t cSkitManager::PendingFiles(uint8_t category, uint8_t state) const {
  const uint64_t now = Clock().Value();
  uint32_t pending = 0;
  for (const SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.State != state || IsExpired(record, now)) continue;
    if (category != CAT_ANY && record.Category != category) continue;
    if (record.FilesDone < record.FileCount) pending += record.FileCount - record.FilesDone;
  }
  return pending;
}

// The due time is computed in unsigned 64 bits, as the times themselves are;
// an interval that would reach past the largest time never comes due.
bool cSkitManager::IsUpdateDue() const {
  if (IsReadOnly()) return false;
  if (PendingFiles(CAT_SKIT, SKIT_SCHEDULED) != 0) return true;
  const CatalogHeader& header = Catalog.Header;
  const uint64_t interval = static_cast<uint64_t>(header.SyncIntervalDays);
  if (interval > (UINT64_MAX - header.LastSync) / DATETIME_DAY) return false;
  const uint64_t due = header.LastSync + interval * DATETIME_DAY;
  return Clock().Value() > due;
}
