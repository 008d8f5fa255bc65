// `paktool sync build` writes a synchronisation file from a JSON
// description, so content can be published and the screensaver's merge
// tried out by hand. It checks each field's type and range, nothing more: a
// file with unsafe names or a SkitCount that disagrees with its records can
// be built on purpose, to see what the screensaver makes of it.
//
// `paktool sync show` prints a synchronisation file the way the screensaver
// reads it (cSyncFile): the header, then the records it would merge, those
// "SKIT" entries that exist between 1 and SkitCount. It is meant for files
// that may be damaged or hostile, so a text the archive lacks is shown as
// none (the header's address as missing) and a record too short to read is
// named, instead of refusing the whole file.
#include "tools/paktool/sync_tool.h"

#include <windows.h>

#include <cstring>
#include <map>

#include "base/errors.h"
#include "base/files.h"
#include "base/text.h"
#include "store/archive_texts.h"
#include "store/server_data.h"
#include "tools/paktool/key_tool.h"
#include "tools/paktool/paktool.h"

namespace {

Json TextJson(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

void ReadHeader(const Json& value, size_t recordCount, SyncDescription& description) {
  SyncHeader& header = description.Header;
  TextTable& texts = description.Texts;
  FieldReader fields(value, "header");
  header.Version = fields.U32("version", 0);
  description.Address = fields.Text("address");
  header.NewSyncUrl.Id = texts.Add(fields.Text("newSyncUrl"));
  header.Extra1 = fields.U32("extra1", 0);
  header.Extra2 = fields.U32("extra2", 0);
  header.SpecialInterval = fields.I32("specialInterval", 0);
  header.SyncIntervalDays = fields.U32("syncIntervalDays", 0);
  header.SkitCount = fields.U32("skitCount", static_cast<uint32_t>(recordCount));
  fields.Finish();
}

void Line(std::ostream& out, const std::string& name, const std::string& value) {
  out << name << std::string(name.size() < 18 ? 18 - name.size() : 1, ' ') << value << "\n";
}

std::string Quoted(const std::optional<std::string>& text, int32_t id) {
  if (!text) return id < 0 ? "none" : "missing (PSTR " + std::to_string(id) + ")";
  return "\"" + PrintableText(text->c_str()) + "\" (PSTR " + std::to_string(id) + ")";
}

}  // namespace

SyncDescription ReadSyncDescription(const Json& root) {
  SyncDescription description;
  FieldReader top(root, "");
  std::memset(description.Transform, PAK_OP_PLAIN, sizeof description.Transform);
  if (const Json* transform = top.Take("transform"); transform != nullptr && !transform->is_null()) {
    if (!transform->is_string() ||
        !ParseHexBytes(transform->get<std::string>(), description.Transform, sizeof description.Transform)) {
      throw DescriptionError("transform", "expected the eight transform bytes as 16 hex digits, or null for none");
    }
  }
  const Json* records = top.Take("records");
  const Json empty = Json::array();
  if (records == nullptr) records = &empty;
  if (!records->is_array()) throw DescriptionError("records", "expected a list [ ... ] of records");
  const Json* header = top.Take("header");
  const Json none = Json::object();
  ReadHeader(header != nullptr ? *header : none, records->size(), description);
  description.Records.resize(records->size());
  for (size_t i = 0; i < records->size(); ++i) {
    ReadSkitRecord((*records)[i], "records[" + std::to_string(i) + "]", description.Records[i], description.Texts);
  }
  top.Finish();
  return description;
}

void WriteSyncFile(const std::string& path, const SyncDescription& description,
                   const std::vector<std::vector<FileSum>>& sums, const std::vector<uint8_t>& keyChange) {
  auto pak = std::make_unique<cPakFile>(path, false, description.Transform, GENERIC_READ | GENERIC_WRITE);
  try {
    // One change: the directory goes down once, not once an entry.
    cPakBatch batch(*pak);
    for (const auto& [id, text] : description.Texts.Entries)
      pak->WriteEntry(PAK_TYPE_STRING, id, 0, true, 0, text.c_str());
    uint8_t header[SYNC_HEADER_SIZE];
    EncodeSyncHeader(description.Header, header);
    pak->WriteEntry(SYNC_HEADER_TYPE, SYNC_HEADER_ID, 0, true, sizeof header, header);
    for (size_t i = 0; i < description.Records.size(); ++i) {
      uint8_t record[SKIT_RECORD_SIZE];
      EncodeSkitRecord(description.Records[i], record);
      pak->WriteEntry(SYNC_RECORD_TYPE, static_cast<int32_t>(i + 1), 0, true, sizeof record, record);
      if (i < sums.size()) WriteFileSums(*pak, static_cast<int32_t>(i + 1), sums[i]);
    }
    if (description.Address) WriteListAddress(*pak, *description.Address);
    MarkUtf8Texts(*pak);
    if (!keyChange.empty()) {
      pak->WriteEntry(LIST_KEY_CHANGE_TYPE, LIST_KEY_CHANGE_ID, 0, false, static_cast<uint32_t>(keyChange.size()),
                      keyChange.data());
    }
    batch.Commit();
  } catch (...) {
    pak.reset();
    DeleteFileA(path.c_str());
    throw;
  }
}

void ShowSync(const std::string& path, bool json, std::ostream& out) {
  cSyncFile sync(path);
  cPakFile& pak = sync.Pak();
  const SyncHeader& header = sync.Header();
  // As UTF-8, whatever the list's encoding; a text of a UTF-8 list that is
  // not valid UTF-8 is shown as it is (the JSON report replaces what it
  // cannot carry).
  const bool utf8 = sync.Utf8Texts();
  const TextLookup texts = [&pak, utf8](const StoredString& ref, const std::string&) -> std::optional<std::string> {
    if (ref.Id < 0 || pak.FindEntry(PAK_TYPE_STRING, ref.Id) < 0) return std::nullopt;
    StringRef text;
    text.Id = ref.Id;
    pak.ReadString(text);
    std::string copy = text.Text;
    pak.ReleaseEntry(PAK_TYPE_STRING, ref.Id, text.Text);
    return utf8 ? copy : Utf8FromWindows1252(copy);
  };

  // The records as the merge would see them, texts looked up afresh.
  struct Shown {
    int32_t Id;
    bool Whole;
    uint32_t Length;
    SkitRecord Record;
  };
  std::vector<Shown> records;
  for (const int32_t id : sync.RecordIds()) {
    Shown shown{id, false, 0, {}};
    uint8_t* bytes = nullptr;
    pak.ReadEntry(SYNC_RECORD_TYPE, id, &shown.Length, &bytes);
    shown.Whole = shown.Length >= SKIT_RECORD_SIZE;
    if (shown.Whole) DecodeSkitRecord(bytes, shown.Record);
    pak.ReleaseEntry(SYNC_RECORD_TYPE, id, bytes);
    records.push_back(shown);
  }

  std::string address;
  const bool hasAddress = ReadListAddress(pak, address);
  KeyChange change;
  const bool hasKeyChange = ReadKeyChange(pak, change);

  if (json) {
    Json root = Json::object();
    root["transform"] = HexBytes(pak.TransformSpec(), PAK_SPEC_SIZE);
    Json head = Json::object();
    head["version"] = header.Version;
    if (hasAddress) head["address"] = utf8 ? address : Utf8FromWindows1252(address);
    head["newSyncUrl"] = TextJson(texts(header.NewSyncUrl, "header.newSyncUrl"));
    head["extra1"] = header.Extra1;
    head["extra2"] = header.Extra2;
    head["specialInterval"] = header.SpecialInterval;
    head["syncIntervalDays"] = header.SyncIntervalDays;
    head["skitCount"] = header.SkitCount;
    root["header"] = head;
    Json list = Json::array();
    for (const Shown& shown : records) {
      if (shown.Whole) list.push_back(SkitRecordJson(shown.Record, "SKIT " + std::to_string(shown.Id), texts));
    }
    root["records"] = list;
    out << root.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return;
  }

  Line(out, "Synchronisation", path);
  Line(out, "Transform", HexBytes(pak.TransformSpec(), PAK_SPEC_SIZE));
  Line(out, "Version", std::to_string(header.Version));
  Line(out, "Texts", utf8 ? "UTF-8" : "Windows-1252 (the list names no encoding)");
  Line(out, "Address", hasAddress ? "\"" + PrintableText(address.c_str()) + "\" (ADDR 1)" : "none");
  Line(out, "NewSyncUrl", Quoted(texts(header.NewSyncUrl, "header.newSyncUrl"), header.NewSyncUrl.Id));
  Line(out, "Extra1", std::to_string(header.Extra1));
  Line(out, "Extra2", std::to_string(header.Extra2));
  Line(out, "SpecialInterval", std::to_string(header.SpecialInterval));
  Line(out, "SyncIntervalDays", std::to_string(header.SyncIntervalDays));
  Line(out, "SkitCount", std::to_string(header.SkitCount) + " (" + std::to_string(records.size()) + " present)");
  Line(out, "Signature", pak.FindEntry(LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID) >= 0
                             ? "SIGN 1 (not checked here: paktool sync verify checks it)"
                             : "none");
  if (hasKeyChange) {
    Line(out, "KeyChange", "KEYC 1: from version " + std::to_string(change.FromVersion) + " to the key " +
                               HexBytes(change.NewKey, MAKER_PUBLIC_KEY_SIZE));
  }
  for (const Shown& shown : records) {
    out << "\nRecord SKIT " << shown.Id << "\n";
    if (!shown.Whole) {
      out << "  too short: " << shown.Length << " bytes, not " << SKIT_RECORD_SIZE << "\n";
      continue;
    }
    PrintSkitRecord(out, shown.Record, "SKIT " + std::to_string(shown.Id), texts);
    std::vector<FileSum> sums;
    try {
      sums = ReadFileSums(pak, shown.Id);
    } catch (const std::exception&) {
      out << "  FSUM " << shown.Id << " damaged\n";
      continue;
    }
    for (size_t f = 0; f < sums.size(); ++f) {
      out << "  Sum " << f << "             " << sums[f].Size << " bytes, SHA-256 "
          << HexBytes(sums[f].Sha256, SHA256_SIZE) << "\n";
    }
  }
}

void BuildSync(const std::string& descriptionPath, const std::string& syncPath, const std::string& filesFolder,
               const std::string& privateKeyPath, const std::string& keyChangePath) {
  const SyncDescription description = ReadDescriptionFile(descriptionPath, ReadSyncDescription);
  uint8_t privateKey[MAKER_PRIVATE_KEY_SIZE] = {};
  std::vector<uint8_t> keyChange;
  if (!privateKeyPath.empty()) {
    // What every catalogue with a key would refuse is not signed at all.
    if (description.Header.Version == 0) {
      throw ToolError(descriptionPath + ": header.version: a signed list needs a version of 1 or more, higher than "
                      "the list published before it");
    }
    if (!description.Address || !IsAllowedUrl(description.Address->c_str())) {
      throw ToolError(descriptionPath + ": header.address: a signed list names the http:// or https:// address "
                      "it is published at, the catalogues' syncUrl");
    }
    ReadPrivateKeyFile(privateKeyPath, privateKey);
    if (!keyChangePath.empty()) keyChange = ReadKeyChangeFor(keyChangePath, privateKey, description.Header.Version);
  }

  std::vector<std::vector<FileSum>> sums;
  if (!filesFolder.empty()) {
    std::map<int32_t, std::string> texts(description.Texts.Entries.begin(), description.Texts.Entries.end());
    for (size_t i = 0; i < description.Records.size(); ++i) {
      const SkitRecord& record = description.Records[i];
      std::vector<FileSum>& row = sums.emplace_back();
      for (uint32_t f = 0; f < record.FileCount && f < SKIT_MAX_FILES; ++f) {
        const auto name = texts.find(record.Files[f].Name.Id);
        if (name == texts.end()) {
          throw ToolError(descriptionPath + ": records[" + std::to_string(i) + "].files[" + std::to_string(f) +
                          "]: no name to find the file by in " + filesFolder);
        }
        FileSum& sum = row.emplace_back();
        HashFile(JoinPath(filesFolder, name->second), sum.Size, sum.Sha256);
      }
    }
  }
  WriteSyncFile(syncPath, description, sums, keyChange);
  if (privateKeyPath.empty()) return;
  try {
    SignListFile(syncPath, privateKey);
  } catch (...) {
    SecureZeroMemory(privateKey, sizeof privateKey);
    DeleteFileA(syncPath.c_str());
    throw;
  }
  SecureZeroMemory(privateKey, sizeof privateKey);
}
