// One transfer is: create the target file, GET the address into it, check
// that the response is a whole 2xx body, log one line. Everything a transfer
// throws ends in FetchFile as the transfer's error text; a failed transfer
// leaves no file behind.
//
// Cancel runs on the user-interface thread while the worker is blocked in
// WinINet: it marks the module cancelled and closes the handles, which makes
// the worker's call fail. The mark is checked again after the transfer and
// on every block, so a cancel that lands between two WinINet calls (when
// there is no handle to close yet) still ends the transfer as cancelled, and
// every later transfer of the module is refused as cancelled too.
//
// The worker writes the texts under FTextLock and the counters as atomics;
// the progress displays read copies on their timers.
#include "download/comm.h"

#include "base/errors.h"
#include "base/log.h"
#include "base/settings.h"
#include "forms/controls.h"

const char kUserCancelledText[] = "User cancelled the operation.";
const char kHangUpQuestion[] = "Would you like to disconnect from the Internet now?";

TDataModule_Comm* DataModule_Comm = nullptr;

namespace {

const char kConnectingText[] = "Connecting to host...";
const char kUnknownExceptionText[] = "Unknown exception.";
constexpr DWORD kReceiveTimeout = 60000;  // ms without data before a read fails

// The transfer was cancelled; its text is replaced by kUserCancelledText.
class ECancelled : public forms::Exception {
 public:
  ECancelled() : forms::Exception(kUserCancelledText) {}
};

}  // namespace

// ---------------------------------------------------------------------------
// TDataModule_Comm

TDataModule_Comm::TDataModule_Comm(const TDialUpApi* DialUp) : FStatusText(kConnectingText) {
  // The HTTP component as the module's resource sets it up.
  HTTP.SetConnectRetries(1);
  HTTP.SetConnectTimeout(1200000);
  HTTP.Port = 80;
  HTTP.SetBlockSize(8192);
  HTTP.SetEnableCache(false);
  HTTP.SetEnableSSL(false);
  HTTP.QuickProgress = false;
  HTTP.SilentExceptions = false;
  // A server that stops sending must not hold the worker for ever: some
  // WinINets cannot interrupt a read by closing its handle, and wait without
  // limit unless told otherwise.
  HTTP.SetReceiveTimeout(kReceiveTimeout);
  HTTP.OnConnected = [this](TWinInetControl* sender) { HTTPConnected(sender); };
  HTTP.OnStateChange = [this](TWinInetControl* sender, TWinInetState state) { HTTPStateChange(sender, state); };
  HTTP.OnTransferProgress = [this](TSimpleHTTP* sender, THTTPProgressInfo& info) {
    HTTPTransferProgress(sender, info);
  };

  if (DialUp != nullptr) {
    FDialUp = *DialUp;
    FDialUpLoaded = true;
    FRasAvailable = true;
  } else {
    char found[MAX_PATH] = {};
    FRasAvailable = SearchPathA(nullptr, "rasapi32.dll", nullptr, MAX_PATH, found, nullptr) != 0;
  }
  if (FRasAvailable) TakeDialUpSnapshot(FStartConnections);
}

TDataModule_Comm::~TDataModule_Comm() {
  try {
    HangUpNewConnections();
  } catch (...) {
    // The dial-up work never reports an error.
  }
  if (FRasLibrary != nullptr) FreeLibrary(FRasLibrary);
}

bool TDataModule_Comm::LoadDialUpApi() {
  if (!FDialUpLoaded) {
    FDialUpLoaded = true;
    FRasLibrary = LoadLibraryA("rasapi32.dll");
    if (FRasLibrary != nullptr) {
      FDialUp.EnumConnections = reinterpret_cast<decltype(FDialUp.EnumConnections)>(
          reinterpret_cast<void*>(GetProcAddress(FRasLibrary, "RasEnumConnectionsA")));
      FDialUp.HangUp = reinterpret_cast<decltype(FDialUp.HangUp)>(
          reinterpret_cast<void*>(GetProcAddress(FRasLibrary, "RasHangUpA")));
    }
  }
  return FDialUp.EnumConnections != nullptr;
}

// Asks for the size first; an empty answer leaves the snapshot empty, a
// failed enumeration leaves it with no records.
void TDataModule_Comm::TakeDialUpSnapshot(std::vector<RASCONNA>& Snapshot) {
  Snapshot.clear();
  try {
    if (!LoadDialUpApi()) return;
    DWORD size = 0, count = 0;
    FDialUp.EnumConnections(nullptr, &size, &count);
    if (size == 0) return;
    std::vector<RASCONNA> records(size / sizeof(RASCONNA) + 1);
    records[0].dwSize = sizeof(RASCONNA);
    DWORD bytes = static_cast<DWORD>(records.size() * sizeof(RASCONNA));
    if (FDialUp.EnumConnections(records.data(), &bytes, &count) != 0) count = 0;
    records.resize(count < records.size() ? count : records.size());
    Snapshot = std::move(records);
  } catch (...) {
  }
}

// Connections that were there before the module are never touched.
void TDataModule_Comm::HangUpNewConnections() {
  if (!FRasAvailable) return;
  TakeDialUpSnapshot(FEndConnections);
  for (const RASCONNA& connection : FEndConnections) {
    bool existed = false;
    for (const RASCONNA& before : FStartConnections) existed = existed || before.hrasconn == connection.hrasconn;
    if (existed) continue;
    if (FAskBeforeHangUp.load() && forms::MessageDlg(kHangUpQuestion, MB_YESNO | MB_ICONQUESTION) != IDYES) continue;
    if (FDialUp.HangUp != nullptr) FDialUp.HangUp(connection.hrasconn);
    Sleep(HangUpPause);
  }
}

std::string TDataModule_Comm::GetItemName() const {
  std::lock_guard<std::mutex> hold(FTextLock);
  return FItemName;
}

std::string TDataModule_Comm::GetItemPosition() const {
  std::lock_guard<std::mutex> hold(FTextLock);
  return FItemPosition;
}

std::string TDataModule_Comm::GetStatusText() const {
  std::lock_guard<std::mutex> hold(FTextLock);
  return FStatusText;
}

std::string TDataModule_Comm::GetErrorText() const {
  std::lock_guard<std::mutex> hold(FTextLock);
  return FErrorText;
}

void TDataModule_Comm::SetErrorText(const std::string& Text) {
  std::lock_guard<std::mutex> hold(FTextLock);
  FErrorText = Text;
}

void TDataModule_Comm::Cancel() {
  FCancelled.store(true);
  HTTP.Abort();
}

// Redirect, enable, write, restore happen as one unit under the log's lock.
// An empty LogPath setting means no download log.
void TDataModule_Comm::WriteDownloadLog(uint32_t Level, const std::string& Text) {
  LogDownloadLine(TheSettings != nullptr ? TheSettings->LogPath : std::string(), Level, Text);
}

void TDataModule_Comm::HTTPConnected(TWinInetControl* /*Sender*/) {
  std::lock_guard<std::mutex> hold(FTextLock);
  FStatusText = FItemName;
}

void TDataModule_Comm::HTTPTransferProgress(TSimpleHTTP* /*Sender*/, THTTPProgressInfo& ProgressInfo) {
  FBytesReceived.store(ProgressInfo.BytesTransferred);
  FBytesTotal.store(ProgressInfo.TotalBytes);
  if (FCancelled.load()) throw ECancelled();
}

void TDataModule_Comm::HTTPStateChange(TWinInetControl* /*Sender*/, TWinInetState /*NewState*/) {}

void TDataModule_Comm::ResetByteCounters() {
  FBytesReceived.store(0);
  FBytesTotal.store(0);
}

// A server error, a time-out answer or a request to slow down may pass; any
// other answer that is not 2xx is the server's word on this file.
void TDataModule_Comm::CheckResponse() {
  int32_t status = HTTP.HeaderInfo()->GetStatusCode();
  if (status < 200 || status > 299) {
    const std::string text = "HTTP status " + std::to_string(status) + " " + HTTP.HeaderInfo()->GetStatusText();
    if (status >= 500 || status == 408 || status == 429) throw forms::Exception(text);
    throw ETransferRefused(text);
  }
  const THTTPProgressInfo& progress = HTTP.GetProgressInfo();
  if (progress.TotalBytes > 0 && progress.BytesTransferred < progress.TotalBytes) {
    throw forms::Exception("Connection closed after " + std::to_string(progress.BytesTransferred) + " of " +
                           std::to_string(progress.TotalBytes) + " bytes.");
  }
}

bool TDataModule_Comm::FetchFile(const std::string& URL, const std::string& FilePath, const std::string& ItemName,
                                 const std::string& Position) {
  {
    std::lock_guard<std::mutex> hold(FTextLock);
    FItemName = ItemName;
    FItemPosition = Position;
    FErrorText.clear();
  }
  bool failed = false;
  TTransferFailure failure = tfTransient;
  std::string error;
  std::unique_ptr<TFileStream> stream;
  FFailure.store(tfNone);
  try {
    stream = std::make_unique<TFileStream>(FilePath);
    if (FCancelled.load()) throw ECancelled();
    HTTP.SetResolveNames(rnPreConfig);
    HTTP.Get(URL, *stream);
    // A cancel whose close found no handle yet ends here.
    if (FCancelled.load()) throw ECancelled();
    CheckResponse();
    WriteDownloadLog(LOG_INFO, "Download success: " + ItemName + " " + Position);
  } catch (const ETransferRefused& e) {
    failed = true;
    failure = tfRefused;
    error = e.what();
  } catch (const std::exception& e) {
    failed = true;
    error = e.what();
  } catch (...) {
    failed = true;
    error = kUnknownExceptionText;
  }
  if (failed && FCancelled.load()) {
    error = kUserCancelledText;
    failure = tfCancelled;
  }
  if (failed) {
    SetErrorText(error);
    FFailure.store(failure);
  }
  stream.reset();
  if (failed) {
    WriteDownloadLog(LOG_ERROR, "Download failed: " + ItemName + " " + Position + ". " + error);
    DeleteFileA(FilePath.c_str());
  }
  return failed;
}

// ---------------------------------------------------------------------------
// cThread_Comm

cThread_Comm::cThread_Comm() : FDataModule(std::make_unique<TDataModule_Comm>()) {
  DataModule_Comm = FDataModule.get();
}

cThread_Comm::~cThread_Comm() {
  // The module must not go away under a running transfer.
  if (!WaitUntilIdle(0)) {
    Stop();
    WaitUntilIdle(INFINITE);
  }
  if (DataModule_Comm == FDataModule.get()) DataModule_Comm = nullptr;
  FDataModule.reset();
}

bool cThread_Comm::StartDownload(const std::string& URL, const std::string& FilePath, const std::string& ItemName,
                                 const std::string& Position, HWND NotifyWindow, UINT Message, WPARAM WParam) {
  // The running transfer reads these strings: leave them alone while it runs.
  if (IsRunning()) return false;
  // Run has returned but the worker may still be posting the message whose
  // handler is calling us now: that tail is short, wait for it.
  WaitUntilIdle(INFINITE);
  FURL = URL;
  FFilePath = FilePath;
  FItemName = ItemName;
  FPosition = Position;
  if (Start(NotifyWindow, Message, WParam) != INVALID_HANDLE_VALUE) return true;
  // Keep the cause where the owner shows it.
  SetError(GetError());
  return false;
}

void cThread_Comm::Run() {
  try {
    if (FDataModule->FetchFile(FURL, FFilePath, FItemName, FPosition)) {
      // The code says "failed"; ErrorText keeps the transfer's own text,
      // which is what the user is shown.
      cThread::SetError(1);
    }
  } catch (...) {
  }
}

int32_t cThread_Comm::SetError(int32_t Code) {
  cThread::SetError(Code);
  if (FDataModule != nullptr) FDataModule->SetErrorText(ErrorText(Code));
  return GetError();
}

void cThread_Comm::Stop() {
  if (FDataModule != nullptr) FDataModule->Cancel();
  cThread::Stop();
}
