#include "store/file_install.h"

#include <windows.h>

#include "base/files.h"
#include "download/resume.h"
#include "store/server_data.h"

InstallHookFn FileInstallHook = nullptr;

// The download is read through one handle that no one else may change or
// delete while it is open, and copied under a name of its own into the
// skits folder; the copy, held without sharing, is what is checked against
// the signed list (or, without a key, against the download's size), and
// only then is it renamed into place. A file that is not what the list says
// is deleted and its skit fails, as does one that cannot be put into the
// skits folder (fetching it again would not help); the job goes on with the
// other skits.
std::string InstallSkitFile(const cListTrust& trust, const std::string& download, const SkitFile& file,
                            const std::string& target) {
  std::string folder;
  SplitPath(target, &folder, nullptr);
  std::string notSigned, cause;
  cFile source;
  const auto install = [&] {
    source.Open(download, GENERIC_READ, FILE_SHARE_READ);
    uint64_t signedSize = 0;
    if (!trust.SizeLimit(file.Url.Text, signedSize, notSigned)) return;
    const uint64_t size = source.GetSize();
    // A file of another size is refused before a byte of it is read.
    if (trust.HasKey() && size != signedSize) {
      notSigned = SizeMismatch(size, signedSize);
      return;
    }
    cStagedFile copy(folder);
    struct {
      cFile& To;
      void Add(const uint8_t* bytes, uint32_t count) { To.Write(bytes, count); }
    } writer{copy.File};
    FeedWholeFile(source, writer);
    if (FileInstallHook != nullptr) FileInstallHook(download, copy.Path());
    if (!trust.CheckFile(file.Url.Text, copy.File, notSigned)) return;
    if (copy.File.GetSize() != size) {
      cause = "the copy holds " + std::to_string(copy.File.GetSize()) + " of " + std::to_string(size) + " bytes";
      return;
    }
    copy.Place(target);
  };
  try {
    install();
  } catch (const std::exception& error) {
    cause = error.what();
  }
  source.Close();
  if (notSigned.empty() && cause.empty()) return {};
  DeleteFileA(download.c_str());
  DeleteFileA(ResumeRecordPath(download).c_str());
  return !notSigned.empty() ? PrintableText(file.Name.Text) + " is not the file the signed list names: " + notSigned
                            : "cannot install " + target + ": " + cause;
}
