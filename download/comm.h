// The download driver and its worker thread. TDataModule_Comm moves one file
// from the content server to the disk (URL to file), keeps the texts and
// counters the progress displays poll, writes the download-log line, and at
// its end hangs up the dial-up connections that appeared while it lived.
// cThread_Comm owns one module and runs one transfer per start on a thread
// of its own, then posts WM_DOWNLOAD_DONE (lParam 0 success, 1 failure) to
// the window that started it.
#pragma once

#include <windows.h>
#include <ras.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/thread.h"
#include "download/resume.h"
#include "net/simphttp.h"

// Posted by the worker when a transfer ends (and by the catalogue when an
// item cannot be prepared): wParam as given to StartDownload, lParam the
// worker's error code.
constexpr UINT WM_DOWNLOAD_DONE = WM_USER + 0x200;  // 1536
// Posted by the progress dialog to its owner after the user confirmed a cancel.
constexpr UINT WM_DOWNLOAD_CANCEL = WM_USER + 0x300;  // 1792

// The most a transfer takes unless told otherwise (SetNextSizeLimit): a
// body that passes it is stopped and the file dropped.
constexpr uint64_t MAX_DOWNLOAD_SIZE = 1024u * 1024 * 1024;

extern const char kUserCancelledText[];  // "User cancelled the operation."
extern const char kHangUpQuestion[];     // "Would you like to disconnect from the Internet now?"

// How the last transfer of a module failed. A refusal is the server's
// definite answer about this file (404, 410, a file that is no good) and will
// not change by asking again; anything else (no answer, a reset or time-out,
// a server error, a local file that could not be made) may work next time.
enum TTransferFailure : int32_t { tfNone = 0, tfCancelled = 1, tfTransient = 2, tfRefused = 3 };

// Why a transfer failed: the text the user is shown, how it failed, and
// the WinINet or system error code behind it (0 when there is none). The
// driver throws nothing else of its own.
class EDownloadError : public std::runtime_error {
 public:
  EDownloadError(const std::string& Text, TTransferFailure Kind, unsigned long Code = 0)
      : std::runtime_error(Text), FKind(Kind), FCode(Code) {}
  TTransferFailure Kind() const { return FKind; }
  unsigned long Code() const { return FCode; }

 private:
  TTransferFailure FKind;
  unsigned long FCode;
};

// Asks the user a yes-or-no question, true for yes. The driver asks through
// one its owner gives it (the owner knows whether anybody is there and how
// to ask); with none, nobody is asked and the answer is no.
using THangUpQuestion = std::function<bool(const std::string& Question)>;

// The two Remote Access Service functions the module needs.
struct TDialUpApi {
  DWORD(WINAPI* EnumConnections)(LPRASCONNA Connections, LPDWORD Size, LPDWORD Count) = nullptr;
  DWORD(WINAPI* HangUp)(HRASCONN Connection) = nullptr;
};

// A connection of a device type that dials (modem, ISDN, PPPoE), which the
// module hangs up when the job brought it up; false for a VPN and the rest.
bool IsDialUpDevice(const char* deviceType);

class TDataModule_Comm {
 public:
  // With no dial-up functions given, the system's rasapi32 is used when the
  // system folder holds it; it is loaded only then, and only from there.
  // Ask is how the user is asked before a hang-up (see SetAskBeforeHangUp).
  explicit TDataModule_Comm(const TDialUpApi* DialUp = nullptr, THangUpQuestion Ask = {});
  TDataModule_Comm(const TDataModule_Comm&) = delete;
  TDataModule_Comm& operator=(const TDataModule_Comm&) = delete;
  ~TDataModule_Comm();

  TSimpleHTTP HTTP;

  // One transfer; true when it FAILED.
  bool FetchFile(const std::string& URL, const std::string& FilePath, const std::string& ItemName,
                 const std::string& Position);
  // Marks the module cancelled for good and closes the transfer's handles;
  // returns when they are closed.
  void Cancel();
  void SetAskBeforeHangUp(bool Flag) { FAskBeforeHangUp.store(Flag); }
  void SetErrorText(const std::string& Text);
  void WriteDownloadLog(uint32_t Level, const std::string& Text);

  // Validators the next transfer sends as If-None-Match / If-Modified-Since
  // (the list's, from its last merge); used by that transfer only. Its 304
  // is then a success that leaves no file: WasNotModified says so.
  void SetNextConditions(const TValidators& Conditions);
  bool WasNotModified() const;
  // The most bytes the next transfer's file may have (the size the signed
  // list gives it, the list's own limit); used by that transfer only, the
  // others take MAX_DOWNLOAD_SIZE. A longer body is stopped as soon as it
  // passes the limit, and one announced longer is not read at all: both are
  // refusals.
  void SetNextSizeLimit(uint64_t Limit);
  // The validators the last transfer's response carried.
  TValidators GetResponseValidators() const;

  // Readers for the progress displays, safe from any thread.
  std::string GetItemName() const;
  std::string GetItemPosition() const;
  std::string GetStatusText() const;
  std::string GetErrorText() const;
  int64_t GetBytesReceived() const { return FBytesReceived.load(); }
  int64_t GetBytesTotal() const { return FBytesTotal.load(); }
  bool IsCancelled() const { return FCancelled.load(); }
  TTransferFailure GetFailure() const { return FFailure.load(); }
  // The WinINet or system error code behind the last failure; 0 when there
  // was none (an HTTP status, a cancel, a check of ours).
  unsigned long GetErrorCode() const { return FErrorCode.load(); }
  // Both byte counters back to 0, for the next item before its first
  // progress event.
  void ResetByteCounters();
  bool IsRasAvailable() const { return FRasAvailable; }
  bool GetAskBeforeHangUp() const { return FAskBeforeHangUp.load(); }
  const std::vector<RASCONNA>& GetStartConnections() const { return FStartConnections; }

  // The HTTP component's events.
  void HTTPConnected(TWinInetControl* Sender);
  void HTTPTransferProgress(TSimpleHTTP* Sender, THTTPProgressInfo& ProgressInfo);
  void HTTPStateChange(TWinInetControl* Sender, TWinInetState NewState);

  // Pause after each hang-up, so the line is down before the next one.
  DWORD HangUpPause = 3000;
  // What the partial files kept for resuming in the target's folder may
  // take together; keeping one drops the oldest beyond it (see resume.h).
  uint64_t PartialFilesLimit = kPartialFilesLimit;

 private:
  void TakeDialUpSnapshot(std::vector<RASCONNA>& Snapshot);
  bool LoadDialUpApi();
  void HangUpNewConnections();
  // Fails the transfer when the response is not a whole 2xx body.
  void CheckResponse();

  // Resuming (see the comment at the top of comm.cpp).
  std::unique_ptr<TPartialFileStream> OpenTarget(const std::string& URL, const std::string& FilePath,
                                                 TResumeState& State);
  void GetResumable(const std::string& URL, TPartialFileStream& Stream, TResumeState& State);
  void AcceptResponse(TPartialFileStream& Stream, TResumeState& State);
  void CheckComplete(const TPartialFileStream& Stream, TResumeState& State);
  std::string KeepOrDropPartial(const std::string& URL, const std::string& FilePath,
                                const TPartialFileStream* Stream, const TResumeState& State);
  std::string OptionalHeader(const char* Name);
  int64_t ContentLength();
  void CheckAnnouncedSize(const TResumeState& State);

  mutable std::mutex FTextLock;  // guards the four texts
  std::string FItemName;
  std::string FItemPosition;
  std::string FStatusText;
  std::string FErrorText;
  std::atomic<int64_t> FBytesReceived{0};
  std::atomic<int64_t> FBytesTotal{0};
  std::atomic<bool> FCancelled{false};
  std::atomic<TTransferFailure> FFailure{tfNone};
  std::atomic<unsigned long> FErrorCode{0};
  THangUpQuestion FAsk;
  bool FRasAvailable = false;
  std::vector<RASCONNA> FStartConnections;
  std::vector<RASCONNA> FEndConnections;
  std::atomic<bool> FAskBeforeHangUp{false};
  // Bytes already on disk when the body began: the displays count the whole file.
  std::atomic<int64_t> FProgressBase{0};
  // The current transfer's limit (the worker reads it on every block).
  std::atomic<uint64_t> FSizeLimit{MAX_DOWNLOAD_SIZE};
  uint64_t FNextSizeLimit = MAX_DOWNLOAD_SIZE;  // under FTextLock
  TValidators FNextConditions;  // under FTextLock, like the two below
  TValidators FResponseValidators;
  bool FNotModified = false;

  TDialUpApi FDialUp;
  bool FDialUpLoaded = false;
  handles::UniqueLibrary FRasLibrary;
};

// The worker: a cThread that owns one TDataModule_Comm.
class cThread_Comm : public cThread {
 public:
  // Ask goes to the module: how the user is asked before a hang-up.
  explicit cThread_Comm(THangUpQuestion Ask = {});
  // Cancels and waits for a running transfer before the module goes away.
  ~cThread_Comm() override;

  // Stores the transfer and starts it; true when it started. When a
  // transfer is still running, or no thread could be made (GetError() then
  // says why), nothing starts and nothing is posted.
  bool StartDownload(const std::string& URL, const std::string& FilePath, const std::string& ItemName,
                     const std::string& Position, HWND NotifyWindow, UINT Message, WPARAM WParam);
  void Run() override;
  // Stores the code and puts its text into the module's ErrorText.
  int32_t SetError(int32_t Code) override;
  // Cancels the transfer (returns when its handles are closed), then sets
  // the stop request.
  void Stop() override;

  TDataModule_Comm* DataModule() const { return FDataModule.get(); }

 private:
  std::unique_ptr<TDataModule_Comm> FDataModule;
  std::string FURL;
  std::string FFilePath;
  std::string FItemName;
  std::string FPosition;
};

// The data module of the current worker; null when there is none.
extern TDataModule_Comm* DataModule_Comm;
