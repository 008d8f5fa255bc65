// The fixture of the configuration dialog tests: the catalogue tests'
// scratch installation with its catalogue open as TheSkitManager, a loopback
// content server serving a folder of its own, a user key that belongs to
// this test alone, and the shell replaced by a recorder of what it was asked
// to open. The dialogs are driven in-process; their state is checked, not
// their pixels.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "forms/application.h"
#include "store/catalogue.h"
#include "tests/saver/saver_testing.h"
#include "tests/store/sync_testing.h"
#include "tests/support/http_server.h"
#include "tests/support/testing.h"

using saver_testing::PumpUntil;

class DialogTest : public SyncTest {
 public:
  // What the dialogs asked the shell to open, in order.
  static std::vector<std::string> ShellOpened;

 protected:
  DialogTest();
  ~DialogTest() override;

  // Opens the catalogue Builder describes and makes it TheSkitManager.
  cSkitManager& OpenCatalogue();
  // A list whose files the loopback server has: every file of every record,
  // holding "bytes of NAME".
  SyncBuilder ServedSync() const;
  void Serve(const SyncBuilder& sync);
  // The reason of the download log's last "Download failed" line.
  std::string LoggedFailure() const;
  // The catalogue's record of a skit (category CAT_SKIT).
  const SkitRecord& Record(int32_t skitId) const;

  testing_support::TempDir Served;
  testing_support::LoopbackServer Server;
  std::unique_ptr<testing_support::ScopedRegistryKey> UserKey;
};

// The user key's DWORD value, or -1 when it has none.
long UserValue(const std::string& key, const std::string& name);
