// Placeholder until the catalogue lands: checks that the catalogue file can
// be opened, so start-up's failure paths behave as they will.
#pragma once

class cSkitManager {
 public:
  explicit cSkitManager(bool allowReadOnly);
  virtual ~cSkitManager();
  cSkitManager(const cSkitManager&) = delete;
  cSkitManager& operator=(const cSkitManager&) = delete;
};

extern cSkitManager* TheSkitManager;
