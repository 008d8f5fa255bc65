// `paktool catalog show` reads a catalogue file the way the program does
// (the "SkOp" 0 block through DecodeCatalogBlock, its texts from the "PSTR"
// entries) but read-only and without any of the start-of-run steps, so what
// it prints is the file as it is. It checks what the program checks (block
// size, Count, FileCount, every text present) and names the field at fault.
//
// `paktool catalog build` turns a JSON description into a new catalogue
// file. Every field is checked against its type's range before anything is
// written; texts are numbered in the order the description names them.
#include "tools/paktool/catalog_tool.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/errors.h"
#include "base/text.h"
#include "store/archive_texts.h"
#include "store/catalogue.h"
#include "store/list_trust.h"
#include "tools/paktool/key_tool.h"
#include "tools/paktool/paktool.h"

const NamedValue kCategoryNames[3] = {{"notice", CAT_NOTICE}, {"skit", CAT_SKIT}, {"special", CAT_SPECIAL}};
const NamedValue kStateNames[5] = {{"not-available", SKIT_NOT_AVAILABLE},
                                   {"available", SKIT_AVAILABLE},
                                   {"scheduled", SKIT_SCHEDULED},
                                   {"installed", SKIT_INSTALLED},
                                   {"failed", SKIT_FAILED}};
const NamedValue kSelectionNames[3] = {{"none", SEL_NONE}, {"auto", SEL_AUTO}, {"on", SEL_ON}};
const NamedValue kActionNames[3] = {{"none", 0}, {"movie", 1}, {"link", 2}};

namespace {

template <size_t N>
Json Named(const NamedValue (&names)[N], uint32_t value) {
  const char* name = NameOf(names, N, value);
  return name != nullptr ? Json(name) : Json(value);
}

template <size_t N>
std::string NumberAndName(const NamedValue (&names)[N], uint32_t value) {
  const char* name = NameOf(names, N, value);
  return std::to_string(value) + (name != nullptr ? std::string(" ") + name : "");
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Virtual-key codes a description may give by name: letters, digits, F1-F24.
std::string KeyName(int32_t code) {
  if ((code >= 'A' && code <= 'Z') || (code >= '0' && code <= '9')) return std::string(1, static_cast<char>(code));
  if (code >= VK_F1 && code <= VK_F24) return "F" + std::to_string(code - VK_F1 + 1);
  return {};
}

int32_t ReadKeyCode(const Json& value, const std::string& path) {
  if (value.is_string()) {
    std::string name = value.get<std::string>();
    for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (int32_t code = 0; code < 256 && !name.empty(); ++code) {
      if (KeyName(code) == name) return code;
    }
    if (name.rfind("0X", 0) != 0) {
      throw DescriptionError(
          path, "\"" + value.get<std::string>() + "\" is not a key name (A-Z, 0-9, F1-F24) or a virtual-key code");
    }
  }
  return static_cast<int32_t>(ReadInteger(value, path, INT32_MIN, INT32_MAX));
}

Json TextJson(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

std::string TextLine(const StoredString& ref, const std::optional<std::string>& text) {
  if (!text) return "none";
  std::string line = "\"";
  for (char c : *text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      line += escaped;
    } else {
      line += c;
    }
  }
  return line + "\" (PSTR " + std::to_string(ref.Id) + ")";
}

std::string DateLine(uint64_t value) {
  const std::string local = FormatLocalDateTime(value);
  return (local.empty() ? "-" : local) + " (" + std::to_string(value) + ")";
}

// The link of a hot key is "none" for id 0 as well as for a negative id.
std::optional<std::string> LinkText(const SkitHotKey& hotKey, const std::string& path, const TextLookup& texts) {
  if (hotKey.Link.Id == 0) return std::nullopt;
  return texts(hotKey.Link, path);
}

void ReadHotKey(const Json& value, const std::string& path, SkitHotKey& hotKey, TextTable& texts) {
  if (value.is_null()) return;
  FieldReader fields(value, path);
  if (const Json* code = fields.Take("keyCode")) hotKey.KeyCode = ReadKeyCode(*code, fields.PathOf("keyCode"));
  hotKey.Action = fields.Choice("action", kActionNames, std::size(kActionNames), 0);
  const std::optional<std::string> link = fields.Text("link");
  hotKey.Link.Id = link ? texts.Add(link) : 0;
  fields.Finish();
}

void ReadFiles(const Json& value, const std::string& path, SkitRecord& record, TextTable& texts) {
  if (!value.is_array()) throw DescriptionError(path, "expected a list [ ... ] of files");
  if (value.size() > SKIT_MAX_FILES) {
    throw DescriptionError(
        path, std::to_string(value.size()) + " files: a skit has at most " + std::to_string(SKIT_MAX_FILES));
  }
  for (size_t i = 0; i < value.size(); ++i) {
    FieldReader fields(value[i], path + "[" + std::to_string(i) + "]");
    SkitFile& file = record.Files[i];
    file.Name.Id = texts.Add(fields.Text("name"));
    file.Url.Id = texts.Add(fields.Text("url"));
    file.Extra = fields.U32("extra", 0);
    fields.Finish();
  }
  record.FileCount = static_cast<uint32_t>(value.size());
}

void ReadHeader(const Json& value, const std::string& path, size_t recordCount, CatalogHeader& header,
                TextTable& texts) {
  FieldReader fields(value, path);
  fields.Bytes("reserved0", header.Reserved0, sizeof header.Reserved0);
  header.SyncIntervalDays = fields.U32("syncIntervalDays", 0);
  header.LastSync = fields.Date("lastSync", 0);
  header.SyncExtra1 = fields.U32("syncExtra1", 0);
  header.SyncExtra2 = fields.U32("syncExtra2", 0);
  header.CatalogVersion = fields.U32("catalogVersion", 0);
  header.SyncUrl.Id = texts.Add(fields.Text("syncUrl"));
  header.SyncFileName.Id = texts.Add(fields.Text("syncFileName"));
  fields.Bytes("reserved1", header.Reserved1, sizeof header.Reserved1);
  header.SpecialsOn = fields.Flag("specialsOn", 0);
  header.LastSpecialId = fields.I32("lastSpecialId", 0);
  header.SpecialsPlayed = fields.I32("specialsPlayed", 0);
  header.SpecialsPerRun = fields.I32("specialsPerRun", 0);
  header.SpecialsLeft = fields.I32("specialsLeft", 0);
  header.SpecialInterval = fields.I32("specialInterval", 0);
  header.SpecialCountdown = fields.I32("specialCountdown", 0);
  fields.Bytes("reserved2", header.Reserved2, sizeof header.Reserved2);
  header.LastSkitId = fields.I32("lastSkitId", 0);
  // Count follows from the records; it is accepted (as the report prints it)
  // only when it agrees with them.
  const uint32_t count = fields.U32("count", static_cast<uint32_t>(recordCount));
  if (count != recordCount) {
    throw DescriptionError(fields.PathOf("count"), std::to_string(count) + " does not match the " +
                                                       std::to_string(recordCount) + " records given; leave it out");
  }
  header.Count = count;
  fields.Finish();
}

Json HeaderJson(const CatalogHeader& header, const TextLookup& texts) {
  Json json = Json::object();
  if (!AllZero(header.Reserved0, sizeof header.Reserved0))
    json["reserved0"] = HexBytes(header.Reserved0, sizeof header.Reserved0);
  json["syncIntervalDays"] = header.SyncIntervalDays;
  json["lastSync"] = DateJson(header.LastSync);
  json["syncExtra1"] = header.SyncExtra1;
  json["syncExtra2"] = header.SyncExtra2;
  json["catalogVersion"] = header.CatalogVersion;
  json["syncUrl"] = TextJson(texts(header.SyncUrl, "header.syncUrl"));
  json["syncFileName"] = TextJson(texts(header.SyncFileName, "header.syncFileName"));
  if (!AllZero(header.Reserved1, sizeof header.Reserved1))
    json["reserved1"] = HexBytes(header.Reserved1, sizeof header.Reserved1);
  json["specialsOn"] = header.SpecialsOn <= 1 ? Json(header.SpecialsOn == 1) : Json(header.SpecialsOn);
  json["lastSpecialId"] = header.LastSpecialId;
  json["specialsPlayed"] = header.SpecialsPlayed;
  json["specialsPerRun"] = header.SpecialsPerRun;
  json["specialsLeft"] = header.SpecialsLeft;
  json["specialInterval"] = header.SpecialInterval;
  json["specialCountdown"] = header.SpecialCountdown;
  if (!AllZero(header.Reserved2, sizeof header.Reserved2))
    json["reserved2"] = HexBytes(header.Reserved2, sizeof header.Reserved2);
  json["lastSkitId"] = header.LastSkitId;
  json["count"] = header.Count;
  return json;
}

class Lines {
 public:
  Lines(std::ostream& out, const char* indent) : Out_(out), Indent_(indent) {}
  void operator()(const std::string& name, const std::string& value) {
    Out_ << Indent_ << name << std::string(name.size() < 18 ? 18 - name.size() : 1, ' ') << value << "\n";
  }

 private:
  std::ostream& Out_;
  const char* Indent_;
};

void PrintHeader(std::ostream& out, const CatalogHeader& header, const TextLookup& texts) {
  Lines line(out, "");
  if (!AllZero(header.Reserved0, sizeof header.Reserved0))
    line("Reserved0", HexBytes(header.Reserved0, sizeof header.Reserved0));
  line("SyncIntervalDays", std::to_string(header.SyncIntervalDays));
  line("LastSync", DateLine(header.LastSync));
  line("SyncExtra1", std::to_string(header.SyncExtra1));
  line("SyncExtra2", std::to_string(header.SyncExtra2));
  line("CatalogVersion", std::to_string(header.CatalogVersion));
  line("SyncUrl", TextLine(header.SyncUrl, texts(header.SyncUrl, "header.syncUrl")));
  line("SyncFileName", TextLine(header.SyncFileName, texts(header.SyncFileName, "header.syncFileName")));
  if (!AllZero(header.Reserved1, sizeof header.Reserved1))
    line("Reserved1", HexBytes(header.Reserved1, sizeof header.Reserved1));
  line("SpecialsOn", std::to_string(header.SpecialsOn));
  line("LastSpecialId", std::to_string(header.LastSpecialId));
  line("SpecialsPlayed", std::to_string(header.SpecialsPlayed));
  line("SpecialsPerRun", std::to_string(header.SpecialsPerRun));
  line("SpecialsLeft", std::to_string(header.SpecialsLeft));
  line("SpecialInterval", std::to_string(header.SpecialInterval));
  line("SpecialCountdown", std::to_string(header.SpecialCountdown));
  if (!AllZero(header.Reserved2, sizeof header.Reserved2))
    line("Reserved2", HexBytes(header.Reserved2, sizeof header.Reserved2));
  line("LastSkitId", std::to_string(header.LastSkitId));
  line("Count", std::to_string(header.Count));
}

std::string CorruptText(const std::string& path, const std::string& detail) {
  return ErrorText(ERR_FILE_CORRUPT) + " " + path + " (" + detail + ")";
}

}  // namespace

int32_t TextTable::Add(const std::optional<std::string>& text) {
  if (!text) return -1;
  Entries.emplace_back(Next_, *text);
  return Next_++;
}

void ReadSkitRecord(const Json& value, const std::string& path, SkitRecord& record, TextTable& texts) {
  FieldReader fields(value, path);
  record = SkitRecord();
  record.HotKey.Link.Id = 0;
  fields.Require("category");
  record.Category = fields.Choice("category", kCategoryNames, std::size(kCategoryNames), CAT_SKIT);
  record.SkitId = static_cast<int32_t>(ReadInteger(fields.Require("id"), fields.PathOf("id"), INT32_MIN, INT32_MAX));
  record.Flags = fields.U32("flags", 0);
  record.Revision = fields.U32("revision", 0);
  record.Title.Id = texts.Add(fields.Text("title"));
  record.Info.Id = texts.Add(fields.Text("info"));
  record.Selection = fields.Choice("selection", kSelectionNames, std::size(kSelectionNames), SEL_NONE);
  fields.Require("state");
  record.State = fields.Choice("state", kStateNames, std::size(kStateNames), SKIT_AVAILABLE);
  record.PlayCount = fields.I32("playCount", 0);
  const Json* plays = fields.Take("playsLeft");
  if (plays == nullptr || (plays->is_string() && *plays == "unlimited")) {
    record.PlaysLeft = -1;
  } else {
    record.PlaysLeft = static_cast<int32_t>(ReadInteger(*plays, fields.PathOf("playsLeft"), INT32_MIN, INT32_MAX));
  }
  record.ShowFrom = fields.Date("showFrom", 0);
  record.ShowUntil = fields.Date("showUntil", DATE_NEVER);
  if (const Json* hotKey = fields.Take("hotKey")) ReadHotKey(*hotKey, fields.PathOf("hotKey"), record.HotKey, texts);
  if (const Json* files = fields.Take("files")) ReadFiles(*files, fields.PathOf("files"), record, texts);
  // Read after the files: an installed skit has all of them by default.
  record.FilesDone = fields.U32("filesDone", record.State == SKIT_INSTALLED ? record.FileCount : 0);
  record.UpdateMask = fields.U32("updateMask", 0);
  fields.Bytes("reserved", record.Reserved, sizeof record.Reserved);
  fields.Finish();
}

Json SkitRecordJson(const SkitRecord& record, const std::string& path, const TextLookup& texts) {
  Json json = Json::object();
  json["category"] = Named(kCategoryNames, record.Category);
  json["id"] = record.SkitId;
  json["flags"] = record.Flags;
  json["revision"] = record.Revision;
  json["title"] = TextJson(texts(record.Title, path + ".title"));
  json["info"] = TextJson(texts(record.Info, path + ".info"));
  json["selection"] = Named(kSelectionNames, record.Selection);
  json["state"] = Named(kStateNames, record.State);
  json["filesDone"] = record.FilesDone;
  json["playCount"] = record.PlayCount;
  json["playsLeft"] = record.PlaysLeft;
  json["showFrom"] = DateJson(record.ShowFrom);
  json["showUntil"] = DateJson(record.ShowUntil);
  Json hotKey = Json::object();
  hotKey["keyCode"] = record.HotKey.KeyCode;
  hotKey["action"] = Named(kActionNames, record.HotKey.Action);
  hotKey["link"] = TextJson(LinkText(record.HotKey, path + ".hotKey.link", texts));
  json["hotKey"] = hotKey;
  Json files = Json::array();
  for (uint32_t i = 0; i < FilesInUse(record); ++i) {
    const std::string at = path + ".files[" + std::to_string(i) + "]";
    Json file = Json::object();
    file["name"] = TextJson(texts(record.Files[i].Name, at + ".name"));
    file["url"] = TextJson(texts(record.Files[i].Url, at + ".url"));
    file["extra"] = record.Files[i].Extra;
    files.push_back(file);
  }
  json["files"] = files;
  json["updateMask"] = record.UpdateMask;
  if (!AllZero(record.Reserved, sizeof record.Reserved))
    json["reserved"] = HexBytes(record.Reserved, sizeof record.Reserved);
  return json;
}

void PrintSkitRecord(std::ostream& out, const SkitRecord& record, const std::string& path, const TextLookup& texts) {
  Lines line(out, "  ");
  line("Category", NumberAndName(kCategoryNames, record.Category));
  line("SkitId", std::to_string(record.SkitId));
  line("Flags", Hex32(record.Flags));
  line("Revision", std::to_string(record.Revision));
  line("Title", TextLine(record.Title, texts(record.Title, path + ".title")));
  line("Info", TextLine(record.Info, texts(record.Info, path + ".info")));
  line("Selection", NumberAndName(kSelectionNames, record.Selection));
  line("State", NumberAndName(kStateNames, record.State));
  line("FilesDone", std::to_string(record.FilesDone));
  line("PlayCount", std::to_string(record.PlayCount));
  line("PlaysLeft", std::to_string(record.PlaysLeft) + (record.PlaysLeft < 0 ? " unlimited" : ""));
  line("ShowFrom", DateLine(record.ShowFrom));
  line("ShowUntil", DateLine(record.ShowUntil));
  const SkitHotKey& hotKey = record.HotKey;
  const std::string keyName = KeyName(hotKey.KeyCode);
  line("HotKey", "key " + std::to_string(hotKey.KeyCode) + (keyName.empty() ? "" : " " + keyName) + ", action " +
                     NumberAndName(kActionNames, hotKey.Action) + ", link " +
                     TextLine(hotKey.Link, LinkText(hotKey, path + ".hotKey.link", texts)));
  line("FileCount", std::to_string(record.FileCount));
  for (uint32_t i = 0; i < FilesInUse(record); ++i) {
    const SkitFile& file = record.Files[i];
    const std::string at = path + ".files[" + std::to_string(i) + "]";
    line("File " + std::to_string(i), "name " + TextLine(file.Name, texts(file.Name, at + ".name")) + ", url " +
                                          TextLine(file.Url, texts(file.Url, at + ".url")) + ", extra " +
                                          std::to_string(file.Extra));
  }
  line("UpdateMask", Hex32(record.UpdateMask));
  if (!AllZero(record.Reserved, sizeof record.Reserved))
    line("Reserved", HexBytes(record.Reserved, sizeof record.Reserved));
}

CatalogDescription ReadCatalogDescription(const Json& root) {
  CatalogDescription description;
  description.Block = std::make_unique<CatalogBlock>();
  FieldReader top(root, "");

  std::memset(description.Transform, PAK_OP_PLAIN, sizeof description.Transform);
  if (const Json* transform = top.Take("transform"); transform != nullptr && !transform->is_null()) {
    if (!transform->is_string() ||
        !ParseHexBytes(transform->get<std::string>(), description.Transform, sizeof description.Transform)) {
      throw DescriptionError("transform",
                             "expected the eight transform bytes as 16 hex digits, such as "
                             "\"061D5A2603530000\", or null for none");
    }
  }

  if (const Json* key = top.Take("makerKey"); key != nullptr && !key->is_null()) {
    std::vector<uint8_t> bytes(MAKER_PUBLIC_KEY_SIZE);
    if (key->is_object()) {
      // {"file": "maker.pub"}: the key file itself, so a build can make the
      // key and the description name it.
      FieldReader fields(*key, "makerKey");
      const std::optional<std::string> file = fields.Text("file");
      fields.Finish();
      if (!file) throw DescriptionError("makerKey.file", "expected the path of a public key file");
      uint8_t read[MAKER_PUBLIC_KEY_SIZE];
      try {
        ReadPublicKeyFile(*file, read);
      } catch (const std::exception& error) {
        throw DescriptionError("makerKey.file", error.what());
      }
      bytes.assign(read, read + sizeof read);
    } else if (!key->is_string() || !ParseHexBytes(key->get<std::string>(), bytes.data(), bytes.size())) {
      throw DescriptionError("makerKey",
                             "expected the maker's public key as 128 hex digits (the line of a .pub file that "
                             "paktool key new writes), {\"file\": \"PUBLIC.pub\"}, or null for none");
    }
    description.MakerKey = std::move(bytes);
  }

  const Json* records = top.Take("records");
  const Json empty = Json::array();
  if (records == nullptr) records = &empty;
  if (!records->is_array()) throw DescriptionError("records", "expected a list [ ... ] of records");
  if (records->size() > CATALOG_MAX_SKITS) {
    throw DescriptionError("records", std::to_string(records->size()) + " records: a catalogue holds at most " +
                                          std::to_string(CATALOG_MAX_SKITS));
  }

  const Json* header = top.Take("header");
  const Json none = Json::object();
  ReadHeader(header != nullptr ? *header : none, "header", records->size(), description.Block->Header,
             description.Texts);
  for (size_t i = 0; i < records->size(); ++i) {
    ReadSkitRecord((*records)[i], "records[" + std::to_string(i) + "]", description.Block->Records[i],
                   description.Texts);
  }
  top.Finish();
  return description;
}

void WriteCatalogFile(const std::string& path, const CatalogDescription& description) {
  auto pak = std::make_unique<cPakFile>(path, false, description.Transform, GENERIC_READ | GENERIC_WRITE);
  try {
    // One change: the directory goes down once, not once an entry.
    cPakBatch batch(*pak);
    // As the program writes them: attribute 0, transformed when the archive is.
    for (const auto& [id, text] : description.Texts.Entries)
      pak->WriteEntry(PAK_TYPE_STRING, id, 0, true, 0, text.c_str());
    std::vector<uint8_t> bytes(CATALOG_BLOCK_SIZE);
    EncodeCatalogBlock(*description.Block, bytes.data());
    pak->WriteEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, 0, true, CATALOG_BLOCK_SIZE, bytes.data());
    MarkUtf8Texts(*pak);
    if (description.MakerKey) {
      pak->WriteEntry(CATALOG_KEY_TYPE, CATALOG_KEY_ID, 0, true, static_cast<uint32_t>(description.MakerKey->size()),
                      description.MakerKey->data());
    }
    batch.Commit();
  } catch (...) {
    pak.reset();
    DeleteFileA(path.c_str());
    throw;
  }
}

void ShowCatalog(const std::string& path, bool json, std::ostream& out) {
  cPakFile pak(path, true, nullptr, GENERIC_READ);
  if (pak.FindEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID) < 0)
    throw ToolError(CorruptText(path, "no \"SkOp\" 0 entry"));
  uint32_t length = 0;
  uint8_t* bytes = nullptr;
  pak.ReadEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, &length, &bytes);
  auto block = std::make_unique<CatalogBlock>();
  if (length == CATALOG_BLOCK_SIZE) DecodeCatalogBlock(bytes, *block);
  pak.ReleaseEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, bytes);
  if (length != CATALOG_BLOCK_SIZE) {
    throw ToolError(CorruptText(
        path, "the block is " + std::to_string(length) + " bytes, not " + std::to_string(CATALOG_BLOCK_SIZE)));
  }
  const CatalogHeader& header = block->Header;
  if (header.Count > CATALOG_MAX_SKITS)
    throw ToolError(CorruptText(path, "Count " + std::to_string(header.Count) + " is above 99"));
  for (uint32_t i = 0; i < header.Count; ++i) {
    if (block->Records[i].FileCount > SKIT_MAX_FILES) {
      throw ToolError(CorruptText(path, "records[" + std::to_string(i) + "].FileCount " +
                                            std::to_string(block->Records[i].FileCount) + " is above 4"));
    }
  }

  // As UTF-8, read as the screensaver reads them.
  const bool utf8 = HasUtf8Texts(pak);
  const TextLookup texts = [&pak, &path, utf8](const StoredString& ref,
                                               const std::string& field) -> std::optional<std::string> {
    if (ref.Id < 0) return std::nullopt;
    if (pak.FindEntry(PAK_TYPE_STRING, ref.Id) < 0) {
      throw ToolError(CorruptText(path, field + ": no \"PSTR\" entry " + std::to_string(ref.Id)));
    }
    StringRef text;
    text.Id = ref.Id;
    pak.ReadString(text);
    std::string copy = text.Text;
    pak.ReleaseEntry(PAK_TYPE_STRING, ref.Id, text.Text);
    return utf8 && IsValidUtf8(copy) ? copy : Utf8FromWindows1252(copy);
  };

  cListTrust trust;
  trust.Load(pak);
  std::optional<std::string> makerKey;
  if (pak.FindEntry(CATALOG_KEY_TYPE, CATALOG_KEY_ID) >= 0) {
    uint32_t keyLength = 0;
    uint8_t* key = nullptr;
    pak.ReadEntry(CATALOG_KEY_TYPE, CATALOG_KEY_ID, &keyLength, &key);
    makerKey = HexBytes(key, keyLength);
    pak.ReleaseEntry(CATALOG_KEY_TYPE, CATALOG_KEY_ID, key);
  }

  if (json) {
    Json root = Json::object();
    root["transform"] = HexBytes(pak.TransformSpec(), PAK_SPEC_SIZE);
    if (makerKey) root["makerKey"] = *makerKey;
    root["header"] = HeaderJson(header, texts);
    Json records = Json::array();
    for (uint32_t i = 0; i < header.Count; ++i) {
      records.push_back(SkitRecordJson(block->Records[i], "records[" + std::to_string(i) + "]", texts));
    }
    root["records"] = records;
    out << root.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return;
  }

  Lines line(out, "");
  line("Catalogue", path);
  line("Transform", HexBytes(pak.TransformSpec(), PAK_SPEC_SIZE));
  if (makerKey) {
    line("MakerKey", *makerKey + (makerKey->size() == 2 * MAKER_PUBLIC_KEY_SIZE ? "" : " (damaged: takes no list)"));
    line("SignedVersion", std::to_string(trust.SignedVersion()));
    line("CheckedFiles", std::to_string(trust.Sums().size()));
  } else {
    line("MakerKey", "none (lists are not checked)");
  }
  PrintHeader(out, header, texts);
  for (uint32_t i = 0; i < header.Count; ++i) {
    out << "\nRecord " << i << "\n";
    PrintSkitRecord(out, block->Records[i], "records[" + std::to_string(i) + "]", texts);
  }
}

void BuildCatalog(const std::string& descriptionPath, const std::string& catalogPath) {
  WriteCatalogFile(catalogPath, ReadDescriptionFile(descriptionPath, ReadCatalogDescription));
}
