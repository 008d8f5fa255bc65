#include "store/catalogue.h"

#include "base/files.h"
#include "base/settings.h"

cSkitManager* TheSkitManager = nullptr;

cSkitManager::cSkitManager(bool allowReadOnly) {
  cFile file;
  try {
    file.Open(TheSettings != nullptr ? TheSettings->OpsFilePath : std::string(), GENERIC_READ,
              FILE_SHARE_READ);
  } catch (...) {
    file.Close();
    throw;
  }
  (void)allowReadOnly;
  file.Close();
}

cSkitManager::~cSkitManager() = default;
