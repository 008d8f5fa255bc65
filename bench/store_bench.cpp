// The content store's costs next to the plain file operations underneath
// them, measured in one run:
//   - opening, loading and saving a full catalogue (99 records) through
//     cSkitManager, against reading and writing the same number of bytes;
//   - writing 1,000 and 10,000 small entries into a new archive and opening
//     it again, against as many small writes to a plain file and one read;
//   - compacting a 50 MB archive, against CopyFileA of the same file (and
//     the same copy flushed, since compaction flushes what it wrote);
//   - merging a synchronisation file of 10,000 records into a full
//     catalogue, and reading its records, against reading them with a
//     directory search for every entry (as the reader once did) and against
//     a plain read of the file.
// Medians of several runs after a warm-up, and the ratios. Run by hand:
//   store_bench.exe [FOLDER]
// Scratch files go into FOLDER (by default a folder next to the program) and
// are removed at the end.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/little_endian.h"
#include "base/log.h"
#include "base/settings.h"
#include "store/catalog_block.h"
#include "store/catalogue.h"
#include "store/pak.h"
#include "store/sync_file.h"

namespace {

const uint8_t kCyclingSpec[8] = {PAK_OP_CYCLE, 0, PAK_OP_XOR, 0x5A, PAK_OP_ROTATE_LEFT, 3, PAK_OP_SWAP_NIBBLES, 0};
constexpr uint32_t kBlob = PakType("BLOB");

double Milliseconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / frequency;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs prepare (untimed) and work (timed) warmUp + runs times; the median
// of the timed runs after the warm-up.
double MedianOf(int warmUp, int runs, const std::function<void()>& prepare, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < warmUp + runs; ++i) {
    prepare();
    const double start = Milliseconds();
    work();
    const double elapsed = Milliseconds() - start;
    if (i >= warmUp) times.push_back(elapsed);
  }
  return Median(times);
}

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string full = path + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        DeleteFileA(full.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

std::string ReadAll(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::string data(GetFileSize(file, nullptr), '\0');
  DWORD got = 0;
  ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &got, nullptr);
  CloseHandle(file);
  return data;
}

void WriteAll(const std::string& path, const std::string& data) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(file);
}

// A full catalogue as an installation would have it: 99 regular skits with a
// title, an info text, three files (movie, text, preview) with their
// addresses and a hot-key link each; 893 texts in all, transformed.
void WriteFullCatalogue(const std::string& path, const std::string& skits, uint8_t state) {
  auto block = std::make_unique<CatalogBlock>();
  std::vector<std::string> texts;
  auto text = [&texts](const std::string& value) {
    texts.push_back(value);
    return static_cast<int32_t>(texts.size());
  };
  block->Header.SyncUrl.Id = text("http://content.example/skits/kinetrope.syn");
  block->Header.SyncFileName.Id = text("kinetrope.syn");
  block->Header.SyncIntervalDays = 7;
  for (uint32_t i = 0; i < CATALOG_MAX_SKITS; ++i) {
    SkitRecord& record = block->Records[i];
    const std::string name = "skit" + std::to_string(i + 1);
    record.Category = CAT_SKIT;
    record.SkitId = static_cast<int32_t>(i + 1);
    record.State = state;
    record.Selection = state == SKIT_INSTALLED ? SEL_ON : SEL_NONE;
    record.Title.Id = text("The " + name + " of the long winter evenings");
    record.Info.Id = text("A skit about " + name + ", with music and a small surprise at the end.");
    record.PlaysLeft = -1;
    record.ShowUntil = UINT64_MAX;
    record.FileCount = 3;
    record.FilesDone = state == SKIT_INSTALLED ? 3 : 0;
    const char* extensions[3] = {".skit", ".txt", ".bmp"};
    for (int f = 0; f < 3; ++f) {
      record.Files[f].Name.Id = text(name + extensions[f]);
      record.Files[f].Url.Id = text("http://content.example/skits/" + name + extensions[f]);
      if (state == SKIT_INSTALLED) WriteAll(JoinPath(skits, name + extensions[f]), "skit file");
    }
    record.HotKey.KeyCode = VK_F2;
    record.HotKey.Action = 2;
    record.HotKey.Link.Id = text("http://content.example/about/" + name);
  }
  block->Header.Count = CATALOG_MAX_SKITS;

  cPakFile pak(path, false, kCyclingSpec, GENERIC_READ | GENERIC_WRITE);
  cPakBatch batch(pak);
  for (size_t i = 0; i < texts.size(); ++i) {
    pak.WriteEntry(PAK_TYPE_STRING, static_cast<int32_t>(i + 1), 0, true, 0, texts[i].c_str());
  }
  std::vector<uint8_t> bytes(CATALOG_BLOCK_SIZE);
  EncodeCatalogBlock(*block, bytes.data());
  pak.WriteEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, 0, true, CATALOG_BLOCK_SIZE, bytes.data());
  batch.Commit();
}

void CatalogueFigures(const std::string& folder) {
  cSettings settings;
  settings.OpsFilePath = JoinPath(folder, "ops.pak");
  settings.SkitsPath = JoinPath(folder, "skits");
  settings.DownloadPath = JoinPath(folder, "download");
  settings.LogPath = JoinPath(folder, "download.log");
  CreateDirectoryA(settings.SkitsPath.c_str(), nullptr);
  CreateDirectoryA(settings.DownloadPath.c_str(), nullptr);
  const std::string copy = JoinPath(folder, "ops-copy.pak");

  std::printf("Catalogue, 99 records, 893 texts, transformed (median of 21 warm runs)\n");
  const struct {
    const char* Label;
    uint8_t State;
  } variants[] = {{"offered for download", SKIT_AVAILABLE}, {"installed, 297 files checked", SKIT_INSTALLED}};
  for (const auto& variant : variants) {
    WriteFullCatalogue(settings.OpsFilePath, settings.SkitsPath, variant.State);
    const uint64_t size = GetFileSizeByName(settings.OpsFilePath);
    std::vector<double> totals, loads, saves;
    for (int i = 0; i < 3 + 21; ++i) {
      const double start = Milliseconds();
      auto manager = std::make_unique<cSkitManager>(false);
      const double loaded = Milliseconds();
      manager.reset();
      const double end = Milliseconds();
      if (i < 3) continue;
      totals.push_back(end - start);
      loads.push_back(loaded - start);
      saves.push_back(end - loaded);
    }
    const double load = Median(totals);
    const double plain = MedianOf(
        3, 21, [] {}, [&] { WriteAll(copy, ReadAll(settings.OpsFilePath)); });
    std::printf("  %-30s open+load+save %7.3f ms (open+load %.3f, save+close %.3f)\n", variant.Label, load,
                Median(loads), Median(saves));
    std::printf("  %-30s plain read+write of the %llu bytes %7.3f ms   ratio %.1f\n", "",
                static_cast<unsigned long long>(size), plain, load / plain);
  }

  // The installed catalogue's extra time is the check of every file at the
  // start of a run; the same names looked up by attributes, for comparison.
  std::vector<std::string> names;
  for (uint32_t i = 1; i <= CATALOG_MAX_SKITS; ++i) {
    for (const char* extension : {".skit", ".txt", ".bmp"}) {
      names.push_back(JoinPath(settings.SkitsPath, "skit" + std::to_string(i) + extension));
    }
  }
  const double found = MedianOf(
      3, 21, [] {},
      [&] {
        for (const std::string& name : names) FileExists(name);
      });
  const double attributes = MedianOf(
      3, 21, [] {},
      [&] {
        for (const std::string& name : names) GetFileAttributesA(name.c_str());
      });
  std::printf("  %zu files: FileExists %.3f ms, GetFileAttributesA %.3f ms\n", names.size(), found, attributes);
}

void EntryFigures(const std::string& folder) {
  const std::string path = JoinPath(folder, "entries.pak");
  const std::string plainPath = JoinPath(folder, "entries.bin");
  const char body[] = "a small entry of 32 bytes.......";
  constexpr uint32_t kLength = sizeof body - 1;
  std::printf("\nSmall entries (%u bytes each), new archive, then opened again\n", kLength);
  for (const int count : {1000, 10000}) {
    for (const uint8_t* spec : {static_cast<const uint8_t*>(nullptr), kCyclingSpec}) {
      const int runs = count <= 1000 ? 7 : 3;
      const double write = MedianOf(
          1, runs, [&] { DeleteFileA(path.c_str()); },
          [&] {
            cPakFile pak(path, false, spec, GENERIC_READ | GENERIC_WRITE);
            cPakBatch batch(pak);
            for (int i = 1; i <= count; ++i) pak.WriteEntry(kBlob, i, 0, true, kLength, body);
            batch.Commit();
          });
      const double reopen = MedianOf(
          1, 7, [] {}, [&] { cPakFile pak(path, true, nullptr, GENERIC_READ); });
      const double plainWrite = MedianOf(
          1, runs, [] {},
          [&] {
            HANDLE file = CreateFileA(plainPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            for (int i = 0; i < count; ++i) WriteFile(file, body, kLength, &written, nullptr);
            CloseHandle(file);
          });
      const double plainRead = MedianOf(
          1, 7, [] {}, [&] { ReadAll(plainPath); });
      std::printf("  %5d entries, %-11s write %9.2f ms (%6.1f us each)   reopen %7.3f ms\n", count,
                  spec == nullptr ? "plain" : "transformed", write, write * 1000 / count, reopen);
      std::printf("  %5d plain writes of %u bytes  %9.2f ms (%6.1f us each)   read %7.3f ms   ratio %.0f / %.1f\n",
                  count, kLength, plainWrite, plainWrite * 1000 / count, plainRead, write / plainWrite,
                  reopen / plainRead);
    }
  }
}

void Flush(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  FlushFileBuffers(file);
  CloseHandle(file);
}

BOOL WINAPI RefuseMove(LPCSTR, LPCSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

void CompactionFigures(const std::string& folder) {
  const std::string source = JoinPath(folder, "big.pak");
  const std::string work = JoinPath(folder, "work.pak");
  const std::string copy = JoinPath(folder, "copy.pak");
  constexpr uint32_t kEntries = 400;
  constexpr uint32_t kEntrySize = 128 * 1024;
  {
    // One entry superseded, so that closing compacts; the move is refused
    // here so that the source keeps its deleted slot for every run.
    const cPakFile::MoveFn move = cPakFile::MoveStep;
    cPakFile::MoveStep = RefuseMove;
    std::vector<uint8_t> body(kEntrySize);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + i / 251);
    {
      cPakFile pak(source, false, nullptr, GENERIC_READ | GENERIC_WRITE);
      cPakBatch batch(pak);
      pak.WriteEntry(PAK_TYPE_STRING, 1, 0, true, 0, "short");
      for (uint32_t i = 1; i <= kEntries; ++i)
        pak.WriteEntry(kBlob, static_cast<int32_t>(i), 0, true, kEntrySize, body.data());
      batch.Commit();
      pak.WriteEntry(PAK_TYPE_STRING, 1, 0, true, 0, "longer than before");
    }
    cPakFile::MoveStep = move;
  }
  const double megabytes = GetFileSizeByName(source) / 1048576.0;
  std::printf("\nCompaction of a %.1f MB archive (%u entries of %u KB, one superseded; median of 7)\n", megabytes,
              kEntries, kEntrySize / 1024);
  // The copy to compact is flushed first, so that no write-back of it runs
  // into the time measured.
  const double compact = MedianOf(
      1, 7,
      [&] {
        CopyFileA(source.c_str(), work.c_str(), FALSE);
        Flush(work);
      },
      [&] { cPakFile pak(work, true, nullptr, GENERIC_READ | GENERIC_WRITE); });
  {
    cPakFile check(work, true, nullptr, GENERIC_READ);
    if (check.Count() != kEntries + 1) std::printf("  (compaction did not happen: %u slots)\n", check.Count());
  }
  const double plainCopy = MedianOf(
      1, 7, [&] { DeleteFileA(copy.c_str()); }, [&] { CopyFileA(source.c_str(), copy.c_str(), FALSE); });
  const double flushedCopy = MedianOf(
      1, 7, [&] { DeleteFileA(copy.c_str()); },
      [&] {
        CopyFileA(source.c_str(), copy.c_str(), FALSE);
        Flush(copy);
      });
  std::printf("  compaction (open + close)   %8.2f ms  %7.1f MB/s\n", compact, megabytes * 1000 / compact);
  std::printf("  CopyFileA                   %8.2f ms  %7.1f MB/s   compaction at %.2f of its speed\n", plainCopy,
              megabytes * 1000 / plainCopy, plainCopy / compact);
  std::printf("  CopyFileA + flush           %8.2f ms  %7.1f MB/s   compaction at %.2f of its speed\n", flushedCopy,
              megabytes * 1000 / flushedCopy, flushedCopy / compact);
}

std::string DefaultFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text = path;
  return text.substr(0, text.find_last_of("\\/")) + "\\store_bench.scratch";
}

}  // namespace

// A plain archive of these (type, id, body) entries written at once: the
// archive's own writer puts the directory down again for every entry, which
// for 30,000 entries takes minutes.
struct RawEntry {
  uint32_t Type;
  int32_t Id;
  std::string Body;
};
void WritePlainArchive(const std::string& path, const std::vector<RawEntry>& entries) {
  std::string data;
  std::string directory(PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * entries.size(), '\0');
  directory.replace(0, 4, "paki");
  PutLe32(directory.data() + 8, static_cast<uint32_t>(entries.size()));
  PutLe32(directory.data() + 12, static_cast<uint32_t>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t slot = PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * i;
    PutLe32(directory.data() + slot, entries[i].Type);
    PutLe32(directory.data() + slot + 4, static_cast<uint32_t>(entries[i].Id));
    PutLe32(directory.data() + slot + 12, static_cast<uint32_t>(data.size()));
    PutLe32(directory.data() + slot + 16, static_cast<uint32_t>(entries[i].Body.size()));
    data += entries[i].Body;
  }
  std::string trailer(PAK_TRAILER_SIZE, '\0');
  for (size_t i = 0; i < PAK_SPEC_SIZE; ++i) trailer[16 + i] = static_cast<char>(PAK_OP_PLAIN);
  PutLe32(trailer.data() + 56, static_cast<uint32_t>(data.size()));
  PutLe32(trailer.data() + 60, static_cast<uint32_t>(directory.size()));
  trailer.replace(140, 4, "pakh");
  WriteAll(path, data + directory + trailer);
}

// 10,000 skit records with a title, one file and its address each, the info
// text shared: what a server (or an attacker) can put under the size limit.
void WriteLongList(const std::string& path, uint32_t records) {
  std::vector<RawEntry> entries;
  int32_t nextText = 1;
  auto text = [&](const std::string& value) {
    entries.push_back({PAK_TYPE_STRING, nextText, value + std::string(1, '\0')});
    return nextText++;
  };
  SyncHeader header;
  header.Version = 0;
  header.SkitCount = records;
  std::string bytes(SYNC_HEADER_SIZE, '\0');
  EncodeSyncHeader(header, reinterpret_cast<uint8_t*>(bytes.data()));
  entries.push_back({SYNC_HEADER_TYPE, SYNC_HEADER_ID, bytes});
  const int32_t info = text("A skit from the long list.");
  for (uint32_t i = 1; i <= records; ++i) {
    SkitRecord record;
    const std::string name = "skit" + std::to_string(i);
    record.Category = CAT_SKIT;
    record.SkitId = static_cast<int32_t>(i);
    record.Revision = 1;
    record.State = SKIT_AVAILABLE;
    record.PlaysLeft = -1;
    record.ShowUntil = UINT64_MAX;
    record.Title.Id = text("The " + name);
    record.Info.Id = info;
    record.FileCount = 1;
    record.Files[0].Name.Id = text(name + ".skit");
    record.Files[0].Url.Id = text("http://content.example/skits/" + name + ".skit");
    std::string body(SKIT_RECORD_SIZE, '\0');
    EncodeSkitRecord(record, reinterpret_cast<uint8_t*>(body.data()));
    entries.push_back({SYNC_RECORD_TYPE, static_cast<int32_t>(i), body});
  }
  WritePlainArchive(path, entries);
}

// Every record and its texts through the archive's own look-up, one search
// of the directory per entry: what reading a list cost before the reader
// indexed the directory.
void ReadBySearching(const std::string& path, uint32_t records) {
  cPakFile pak(path, true, nullptr, GENERIC_READ);
  for (uint32_t id = 1; id <= records; ++id) {
    uint32_t length = 0;
    uint8_t* bytes = nullptr;
    pak.ReadEntry(SYNC_RECORD_TYPE, static_cast<int32_t>(id), &length, &bytes);
    SkitRecord record;
    DecodeSkitRecord(bytes, record);
    pak.ReleaseEntry(SYNC_RECORD_TYPE, static_cast<int32_t>(id), bytes);
    StringRef* texts[] = {&record.Title, &record.Info, &record.Files[0].Name, &record.Files[0].Url};
    for (StringRef* ref : texts) {
      pak.ReadString(*ref);
      pak.ReleaseEntry(PAK_TYPE_STRING, ref->Id, ref->Text);
    }
  }
}

void ReadIndexed(const std::string& path) {
  cSyncFile sync(path);
  cServerRecord record;
  for (const int32_t id : sync.RecordIds()) sync.ReadRecord(id, record);
}

void MergeFigures(const std::string& folder) {
  constexpr uint32_t kRecords = SYNC_RECORD_LIMIT;
  cSettings settings;
  settings.OpsFilePath = JoinPath(folder, "ops.pak");
  settings.SkitsPath = JoinPath(folder, "skits");
  settings.DownloadPath = JoinPath(folder, "download");
  CreateDirectoryA(settings.SkitsPath.c_str(), nullptr);
  CreateDirectoryA(settings.DownloadPath.c_str(), nullptr);
  const std::string master = JoinPath(folder, "ops-master.pak");
  const std::string listMaster = JoinPath(folder, "list-master.syn");
  const std::string list = JoinPath(settings.DownloadPath, "kinetrope.syn");
  WriteFullCatalogue(master, settings.SkitsPath, SKIT_AVAILABLE);
  WriteLongList(listMaster, kRecords);
  std::printf("Synchronisation file, %u records, %llu bytes (median of 5 warm runs; references 3)\n", kRecords,
              static_cast<unsigned long long>(GetFileSizeByName(listMaster)));

  // The merge: 99 updates of the catalogue's records, and 9,901 new skits
  // that a full catalogue skips (the first 50 listed in the download log,
  // when there is one, the rest counted in one line).
  for (const bool logged : {true, false}) {
    settings.LogPath = logged ? JoinPath(folder, "download.log") : std::string();
    std::unique_ptr<cSkitManager> manager;
    const double merge = MedianOf(
        1, 5,
        [&] {
          manager.reset();
          DeleteFileA(settings.LogPath.c_str());
          CopyFileA(master.c_str(), settings.OpsFilePath.c_str(), FALSE);
          CopyFileA(listMaster.c_str(), list.c_str(), FALSE);
          manager = std::make_unique<cSkitManager>(false);
        },
        [&] { manager->ApplySyncFile(list); });
    manager.reset();
    std::printf("  merge into a full catalogue, %-22s %9.1f ms\n",
                logged ? "with a download log" : "no download log", merge);
  }

  const double indexed = MedianOf(1, 5, [] {}, [&] { ReadIndexed(listMaster); });
  const double searching = MedianOf(1, 3, [] {}, [&] { ReadBySearching(listMaster, kRecords); });
  const double plain = MedianOf(1, 5, [] {}, [&] { ReadAll(listMaster); });
  std::printf("  read every record, directory indexed once  %9.1f ms\n", indexed);
  std::printf("  read every record, a search per entry      %9.1f ms   ratio %.1f\n", searching, searching / indexed);
  std::printf("  plain read of the file                     %9.1f ms   ratio %.1f\n", plain, indexed / plain);
}

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : DefaultFolder();
  RemoveTree(folder);
  if (!CreateDirectoryA(folder.c_str(), nullptr)) {
    std::fprintf(stderr, "store_bench: cannot create %s\n", folder.c_str());
    return 1;
  }
  // The refused moves above would otherwise each leave a line in the log.
  LogEnable(LOG_ERROR, false);
  int status = 0;
  try {
    // STORE_BENCH_ONLY=catalogue, entries, compaction or merge runs one part
    // alone.
    const char* only = std::getenv("STORE_BENCH_ONLY");
    const std::string part = only != nullptr ? only : "";
    if (part.empty() || part == "catalogue") CatalogueFigures(folder);
    if (part.empty() || part == "entries") EntryFigures(folder);
    if (part.empty() || part == "compaction") CompactionFigures(folder);
    if (part.empty() || part == "merge") MergeFigures(folder);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "store_bench: %s\n", e.what());
    status = 1;
  }
  RemoveTree(folder);
  return status;
}
