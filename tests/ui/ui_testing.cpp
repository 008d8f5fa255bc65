#include "tests/ui/ui_testing.h"

#include "base/files.h"
#include "forms/controls.h"
#include "forms/help_popup.h"
#include "ui/help.h"
#include "ui/progress_form.h"

std::vector<std::string> DialogTest::ShellOpened;

namespace {

HINSTANCE RecordShellOpen(HWND, const std::string& file) {
  DialogTest::ShellOpened.push_back(file);
  return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

}  // namespace

DialogTest::DialogTest() : Server(Served.Path()) {
  forms::Application.Initialize();
  Settings.RegistryKey = SettingsKeyFor("test_ui_" + std::to_string(GetCurrentProcessId()));
  UserKey = std::make_unique<testing_support::ScopedRegistryKey>(HKEY_CURRENT_USER, Settings.RegistryKey);
  Settings.HelpFilePath = Dir.File("drearigrams.html");
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/kinetrope.syn");
  ShellOpened.clear();
  ShellOpen = &RecordShellOpen;
}

DialogTest::~DialogTest() {
  forms::CloseHelpPopup();
  forms::Application.OnModalBegin = nullptr;
  ShellOpen = &ShellExecuteOpen;
  delete Form_DownloadProgress;
  Form_DownloadProgress = nullptr;
  TheSkitManager = nullptr;
  Manager.reset();
}

cSkitManager& DialogTest::OpenCatalogue() {
  OpenManager();
  TheSkitManager = Manager.get();
  return *Manager;
}

SyncBuilder DialogTest::ServedSync() const {
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/");
  return sync;
}

void DialogTest::Serve(const SyncBuilder& sync) {
  sync.Write(Served.File("kinetrope.syn"));
  for (const SkitRecord& record : sync.Records) {
    for (uint32_t f = 0; f < FilesInUse(record); ++f) {
      const std::string& name = sync.Texts.at(record.Files[f].Name.Id);
      testing_support::WriteFileBytes(Served.File(name), "bytes of " + name);
    }
  }
}

std::string DialogTest::LoggedFailure() const {
  std::string reason;
  for (const std::string& text : LogTexts()) {
    if (text.rfind("Download failed: ", 0) != 0) continue;
    // "Download failed: ITEM POSITION. REASON"
    size_t dot = text.find(". ");
    reason = dot != std::string::npos ? text.substr(dot + 2) : std::string();
  }
  return reason;
}

const SkitRecord& DialogTest::Record(int32_t skitId) const {
  const int32_t index = Manager->FindSkit(CAT_SKIT, skitId);
  if (index < 0) throw std::runtime_error("no skit " + std::to_string(skitId));
  return Manager->Catalog.Records[index];
}

long UserValue(const std::string& key, const std::string& name) {
  DWORD value = 0, size = sizeof value;
  if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) !=
      ERROR_SUCCESS)
    return -1;
  return static_cast<long>(value);
}
