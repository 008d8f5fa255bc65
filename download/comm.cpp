// One transfer is: create the target file, GET the address into it, check
// that the response is a whole 2xx body, log one line. Everything a transfer
// throws ends in FetchFile as the transfer's error text, with how it failed
// (EDownloadError says; a failure of the transport is one that may pass)
// and the WinINet or system code behind it; a failed transfer leaves no
// file behind, unless it is kept to be resumed (below).
//
// The module shows nothing itself: the question before a dial-up hang-up
// goes through the callback its owner gave it, so the driver serves the
// console tool as well as the screensaver's forms.
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
//
// Resuming. A transfer that is cancelled or cut after the server began to
// send a file that carries a validator (a strong ETag or a Last-Modified
// date) keeps what it received, with a record beside it ("NAME.resume":
// address, validators, byte count). The next transfer of the same address
// into the same file asks for the rest with Range and If-Range. A 206 must
// start exactly where the file ends and name the file's whole length in
// its Content-Range; a 200 (the server has no ranges, or the file changed)
// starts the file over; anything else fails and removes the partial file.
// The record always describes a good beginning of the file: it is removed
// before a file is started over, and written only after the file is closed.
// A finished file is checked for the whole length before it counts. Every
// other failure (an error page, a wrong range, a file longer than said)
// removes the file and its record as before.
#include "download/comm.h"

#include "base/errors.h"
#include "base/files.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/system_library.h"
#include "download/response.h"
#include "net/net_texts.h"

const char kUserCancelledText[] = "User cancelled the operation.";
const char kHangUpQuestion[] = "Would you like to disconnect from the Internet now?";

TDataModule_Comm* DataModule_Comm = nullptr;

namespace {

const char kConnectingText[] = "Connecting to host...";
const char kUnknownExceptionText[] = "Unknown exception.";
constexpr DWORD kReceiveTimeout = 60000;  // ms without data before a read fails
// The most a read takes at once: the largest the component allows. Reads
// are sized to the line (see simphttp.cpp), so this only matters on a fast
// line, where each WinINet call saved counts: from nginx on loopback, 1 MB
// reads keep pace with curl and 512 KB reads reach 0.8 of it
// (download_bench.sh measures it).
constexpr int32_t kTransferBlockSize = kHTTPMaxBlockSize;

EDownloadError Cancelled() { return EDownloadError(kUserCancelledText, tfCancelled); }

// A server error, a time-out answer or a request to slow down may pass; any
// other answer that is not 2xx is the server's word on this file.
EDownloadError StatusError(int32_t status, const std::string& text) {
  const std::string message = "HTTP status " + std::to_string(status) + " " + text;
  return EDownloadError(message, IsTransientStatus(status) ? tfTransient : tfRefused);
}

}  // namespace

// ---------------------------------------------------------------------------
// TDataModule_Comm

TDataModule_Comm::TDataModule_Comm(const TDialUpApi* DialUp, THangUpQuestion Ask)
    : FStatusText(kConnectingText), FAsk(std::move(Ask)) {
  // The HTTP component as the module's resource sets it up.
  HTTP.SetConnectRetries(1);
  HTTP.SetConnectTimeout(1200000);
  HTTP.Port = 80;
  HTTP.SetBlockSize(kTransferBlockSize);
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
    // Only the system's own copy counts: one beside the program is no
    // dial-up library of ours.
    std::string system = SystemLibraryPath("rasapi32.dll");
    DWORD attributes = system.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(system.c_str());
    FRasAvailable = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  if (FRasAvailable) TakeDialUpSnapshot(FStartConnections);
}

TDataModule_Comm::~TDataModule_Comm() {
  try {
    HangUpNewConnections();
  } catch (...) {
    // The dial-up work never reports an error.
  }
}

bool TDataModule_Comm::LoadDialUpApi() {
  if (!FDialUpLoaded) {
    FDialUpLoaded = true;
    FRasLibrary.reset(LoadSystemLibrary("rasapi32.dll"));
    if (FRasLibrary) {
      FDialUp.EnumConnections = reinterpret_cast<decltype(FDialUp.EnumConnections)>(
          reinterpret_cast<void*>(GetProcAddress(FRasLibrary.get(), "RasEnumConnectionsA")));
      FDialUp.HangUp = reinterpret_cast<decltype(FDialUp.HangUp)>(
          reinterpret_cast<void*>(GetProcAddress(FRasLibrary.get(), "RasHangUpA")));
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

// Only a line the job dialled costs the user while it stays up: a modem, an
// ISDN or a PPPoE connection. A VPN, or any other kind, is someone's own
// business and stays, whenever it was made.
bool IsDialUpDevice(const char* deviceType) {
  for (const char* dialled : {"modem", "isdn", "PPPoE"}) {
    if (lstrcmpiA(deviceType, dialled) == 0) return true;
  }
  return false;
}

// Connections that were there before the module are never touched.
void TDataModule_Comm::HangUpNewConnections() {
  if (!FRasAvailable) return;
  TakeDialUpSnapshot(FEndConnections);
  for (RASCONNA& connection : FEndConnections) {
    bool existed = false;
    for (const RASCONNA& before : FStartConnections) existed = existed || before.hrasconn == connection.hrasconn;
    connection.szDeviceType[sizeof connection.szDeviceType - 1] = '\0';
    if (existed || !IsDialUpDevice(connection.szDeviceType)) continue;
    if (FAskBeforeHangUp.load() && !(FAsk && FAsk(kHangUpQuestion))) continue;
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
  const int64_t base = FProgressBase.load();
  FBytesReceived.store(base + ProgressInfo.BytesTransferred);
  FBytesTotal.store(ProgressInfo.TotalBytes > 0 ? base + ProgressInfo.TotalBytes : 0);
  if (FCancelled.load()) throw Cancelled();
  const uint64_t limit = FSizeLimit.load();
  if (static_cast<uint64_t>(base + ProgressInfo.BytesTransferred) > limit) {
    throw EDownloadError("The server sent more than the " + std::to_string(limit) + " bytes this file may have.",
                         tfRefused);
  }
}

void TDataModule_Comm::HTTPStateChange(TWinInetControl* /*Sender*/, TWinInetState /*NewState*/) {}

void TDataModule_Comm::ResetByteCounters() {
  FBytesReceived.store(0);
  FBytesTotal.store(0);
}

void TDataModule_Comm::CheckResponse() {
  int32_t status = HTTP.HeaderInfo()->GetStatusCode();
  if (status < 200 || status > 299) throw StatusError(status, HTTP.HeaderInfo()->GetStatusText());
  // Counted in the whole file, where the body is its rest.
  const THTTPProgressInfo& progress = HTTP.GetProgressInfo();
  const int64_t base = FProgressBase.load();
  if (progress.TotalBytes > 0 && progress.BytesTransferred < progress.TotalBytes) {
    throw EDownloadError("Connection closed after " + std::to_string(base + progress.BytesTransferred) + " of " +
                             std::to_string(base + progress.TotalBytes) + " bytes.",
                         tfTransient);
  }
}

bool TDataModule_Comm::FetchFile(const std::string& URL, const std::string& FilePath, const std::string& ItemName,
                                 const std::string& Position) {
  // From here on a cancel is never lost: it is seen by the checks below or
  // by the request itself.
  HTTP.ResetStop();
  TResumeState state;
  {
    std::lock_guard<std::mutex> hold(FTextLock);
    FItemName = ItemName;
    FItemPosition = Position;
    FErrorText.clear();
    state.Conditions = FNextConditions;
    FNextConditions = TValidators();
    FSizeLimit.store(FNextSizeLimit);
    FNextSizeLimit = MAX_DOWNLOAD_SIZE;
    FResponseValidators = TValidators();
    FNotModified = false;
  }
  FProgressBase.store(0);
  bool failed = false;
  TTransferFailure failure = tfTransient;
  unsigned long code = 0;
  std::string error;
  std::unique_ptr<TPartialFileStream> stream;
  FFailure.store(tfNone);
  FErrorCode.store(0);
  try {
    stream = OpenTarget(URL, FilePath, state);
    if (FCancelled.load()) throw Cancelled();
    HTTP.SetResolveNames(rnPreConfig);
    GetResumable(URL, *stream, state);
    // A cancel whose close found no handle yet ends here.
    if (FCancelled.load()) throw Cancelled();
    if (!state.NotModified) {
      if (!state.AlreadyWhole) CheckResponse();
      CheckComplete(*stream, state);
    }
    std::string note;
    if (state.NotModified) note = " (not modified)";
    if (state.Resuming && state.Accepted && stream->Base() > 0) {
      note = " (resumed at byte " + std::to_string(stream->Base()) + ")";
    }
    WriteDownloadLog(LOG_INFO, "Download success: " + ItemName + " " + Position + note);
  } catch (const EDownloadError& e) {
    failed = true;
    failure = e.Kind();
    code = e.Code();
    error = e.what();
    // The server's last word on this file: nothing of it is kept to resume.
    if (failure == tfRefused) state.Drop = true;
  } catch (const net::Exception& e) {
    failed = true;
    code = e.Code();
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
    FErrorCode.store(failure == tfCancelled ? 0 : code);
  }
  if (stream != nullptr) stream->Close();
  {
    std::lock_guard<std::mutex> hold(FTextLock);
    FResponseValidators = state.Response;
    FNotModified = !failed && state.NotModified;
  }
  if (failed) {
    const std::string kept = KeepOrDropPartial(URL, FilePath, stream.get(), state);
    WriteDownloadLog(LOG_ERROR, "Download failed: " + ItemName + " " + Position + ". " + error + kept);
  } else {
    DeleteFileA(ResumeRecordPath(FilePath).c_str());
    // A 304 has no body: no file is left for it.
    if (state.NotModified) DeleteFileA(FilePath.c_str());
  }
  return failed;
}

void TDataModule_Comm::SetNextConditions(const TValidators& Conditions) {
  std::lock_guard<std::mutex> hold(FTextLock);
  FNextConditions = Conditions;
}

void TDataModule_Comm::SetNextSizeLimit(uint64_t Limit) {
  std::lock_guard<std::mutex> hold(FTextLock);
  FNextSizeLimit = Limit;
}

bool TDataModule_Comm::WasNotModified() const {
  std::lock_guard<std::mutex> hold(FTextLock);
  return FNotModified;
}

TValidators TDataModule_Comm::GetResponseValidators() const {
  std::lock_guard<std::mutex> hold(FTextLock);
  return FResponseValidators;
}

// A header the response may lack: empty then, whatever SilentExceptions says.
std::string TDataModule_Comm::OptionalHeader(const char* Name) {
  try {
    return HTTP.HeaderInfo()->GetCustomHeader(Name);
  } catch (const std::exception&) {
    return std::string();
  }
}

// The response's Content-Length; 0 when it sent none.
int64_t TDataModule_Comm::ContentLength() {
  try {
    return HTTP.HeaderInfo()->GetContentLength();
  } catch (const std::exception&) {
    return 0;
  }
}

// Resumes when a record for this address says how much of the file is good
// and the file still holds that much; otherwise starts an empty file (and a
// record that cannot be used goes).
std::unique_ptr<TPartialFileStream> TDataModule_Comm::OpenTarget(const std::string& URL, const std::string& FilePath,
                                                                 TResumeState& State) {
  const std::string recordPath = ResumeRecordPath(FilePath);
  State.RecordPath = recordPath;
  TFetchRecord record;
  const int64_t size = FileSize64(FilePath);
  if (State.Conditions.Empty() && ReadFetchRecord(recordPath, record) && record.Url == URL && record.Bytes > 0 &&
      !IfRangeValue(record.Validators).empty() && size >= 0 && static_cast<uint64_t>(size) >= record.Bytes &&
      record.Bytes <= FSizeLimit.load()) {
    State.Record = record;
    State.Resuming = true;
  } else {
    DeleteFileA(recordPath.c_str());
  }
  std::unique_ptr<TPartialFileStream> stream;
  try {
    stream = std::make_unique<TPartialFileStream>(FilePath, State.Resuming ? State.Record.Bytes : 0);
  } catch (...) {
    State.Drop = true;
    throw;
  }
  // The file may have shrunk since it was looked at, and the stream then
  // starts it over: a range is asked for only when the file really holds
  // its beginning.
  if (State.Resuming && stream->Base() != State.Record.Bytes) {
    State.Resuming = false;
    State.Record = TFetchRecord();
    DeleteFileA(recordPath.c_str());
  }
  return stream;
}

// Get with the request's conditions, and a look at the response before its
// body is written anywhere.
void TDataModule_Comm::GetResumable(const std::string& URL, TPartialFileStream& Stream, TResumeState& State) {
  std::vector<std::string> headers;
  if (State.Resuming) {
    headers.push_back("Range: bytes=" + std::to_string(State.Record.Bytes) + "-");
    headers.push_back("If-Range: " + IfRangeValue(State.Record.Validators));
  }
  if (!State.Conditions.ETag.empty()) headers.push_back("If-None-Match: " + State.Conditions.ETag);
  if (!State.Conditions.LastModified.empty()) headers.push_back("If-Modified-Since: " + State.Conditions.LastModified);
  HTTP.SetOptionalHeaders(headers);
  try {
    HTTP.MakeRequest(URL, std::string());
    AcceptResponse(Stream, State);
    // The body of a 416 is the server's error page, not the file's.
    if (!State.AlreadyWhole) HTTP.FillResponseStream(Stream);
  } catch (...) {
    HTTP.SetOptionalHeaders({});
    try {
      HTTP.DoStateChange(fsNoconnection);
    } catch (...) {
      // The transfer's own failure is the one to report.
    }
    throw;
  }
  HTTP.SetOptionalHeaders({});
  HTTP.DoStateChange(fsNoconnection);
}

// Every kind but Unchecked decides the transfer here; an Unchecked status
// fails it in CheckResponse, as any other error status does.
void TDataModule_Comm::AcceptResponse(TPartialFileStream& Stream, TResumeState& State) {
  THTTPHeaderInfo& headers = *HTTP.HeaderInfo();
  TResponseFacts facts;
  facts.Status = headers.GetStatusCode();
  facts.StatusText = headers.GetStatusText();
  facts.ContentEncoding = OptionalHeader("Content-Encoding");
  facts.ContentRange = OptionalHeader("Content-Range");
  facts.ContentLength = ContentLength();
  facts.ETag = OptionalHeader("ETag");
  State.Response.ETag = facts.ETag;
  State.Response.LastModified = OptionalHeader("Last-Modified");
  const TResponseClass response = ClassifyResponse(facts, State, Stream.Base());
  if (response.TotalKnown) {
    State.Total = response.Total;
    State.TotalKnown = true;
  }
  switch (response.Kind) {
    case TResponseKind::NotModified:
      State.NotModified = true;
      return;
    case TResponseKind::Refused:
    case TResponseKind::Transient:
      State.Drop = true;
      throw EDownloadError(response.Reason, response.Kind == TResponseKind::Refused ? tfRefused : tfTransient);
    case TResponseKind::Resumed:
      State.Response = State.Record.Validators;
      State.Accepted = true;
      FProgressBase.store(static_cast<int64_t>(Stream.Base()));
      break;
    case TResponseKind::AlreadyWhole:
      State.Response = State.Record.Validators;
      State.Accepted = true;
      State.AlreadyWhole = true;
      FProgressBase.store(static_cast<int64_t>(response.Total));
      FBytesReceived.store(static_cast<int64_t>(response.Total));
      FBytesTotal.store(static_cast<int64_t>(response.Total));
      break;
    case TResponseKind::Whole:
      if (Stream.Base() > 0) {
        // The whole file again: the record goes first, so it never
        // describes bytes that are being overwritten.
        DeleteFileA(State.RecordPath.c_str());
        State.Record = TFetchRecord();
        Stream.Restart();
      }
      State.Accepted = true;
      break;
    case TResponseKind::Unchecked:
      return;
  }
  CheckAnnouncedSize(State);
}

// A file announced larger than it may be is not read at all.
void TDataModule_Comm::CheckAnnouncedSize(const TResumeState& State) {
  const uint64_t limit = FSizeLimit.load();
  if (State.TotalKnown && State.Total > limit) {
    throw EDownloadError("The server announced " + std::to_string(State.Total) + " bytes for a file that may have " +
                             std::to_string(limit) + ".",
                         tfRefused);
  }
}
// The file on disk must be exactly as long as the server said the whole
// file is. Short is a cut (kept for later); longer is no good.
void TDataModule_Comm::CheckComplete(const TPartialFileStream& Stream, TResumeState& State) {
  if (!State.TotalKnown) return;
  const int64_t size = Stream.DiskSize();
  const uint64_t have = size < 0 ? Stream.End() : static_cast<uint64_t>(size);
  if (have == State.Total) return;
  if (have > State.Total) State.Drop = true;
  throw EDownloadError((have < State.Total ? "Connection closed after " : "File longer than the server said: ") +
                           std::to_string(have) + " of " + std::to_string(State.Total) + " bytes.",
                       tfTransient);
}

// After a failure: keeps what is on disk for the next transfer when that is
// a good beginning of the file with a validator to resume it by, and says so
// for the log line; otherwise removes the file and its record.
std::string TDataModule_Comm::KeepOrDropPartial(const std::string& URL, const std::string& FilePath,
                                                const TPartialFileStream* Stream, const TResumeState& State) {
  TFetchRecord record;
  record.Url = URL;
  if (!State.Drop && State.Conditions.Empty() && Stream != nullptr) {
    if (State.Accepted) {
      record.Validators = State.Response;
      record.Bytes = Stream->End();
    } else if (State.Resuming) {
      // Nothing arrived: the file is as the record left it.
      record = State.Record;
    }
  }
  if (record.Bytes > 0 && !IfRangeValue(record.Validators).empty()) {
    try {
      WriteFetchRecord(State.RecordPath, record);
      // The partial files of the folder stay within their bound: the
      // oldest go first, and this one goes only when it alone is too large.
      std::string folder;
      SplitPath(FilePath, &folder, nullptr);
      PrunePartialFiles(folder, PartialFilesLimit, [](const TPartialFile&) { return true; }, false);
      if (FileSize64(FilePath) >= 0) return " Kept " + std::to_string(record.Bytes) + " bytes to resume.";
      return " Not kept: larger than the " + std::to_string(PartialFilesLimit) + " bytes partial downloads may take.";
    } catch (const std::exception&) {
      // Without its record the file is no use.
    }
  }
  DeleteFileA(State.RecordPath.c_str());
  DeleteFileA(FilePath.c_str());
  return std::string();
}

// ---------------------------------------------------------------------------
// cThread_Comm

cThread_Comm::cThread_Comm(THangUpQuestion Ask)
    : FDataModule(std::make_unique<TDataModule_Comm>(nullptr, std::move(Ask))) {
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
