#include "tools/cleardata/program_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/handles.h"
#include "tools/cleardata/cleardata.h"

namespace cleardata {

namespace {

// NT SERVICE\TrustedInstaller, which owns Program Files.
constexpr wchar_t kInstallerAccount[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"an unknown account";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

// "DOMAIN\name (S-1-...)" where the account has a name.
std::wstring AccountName(const std::wstring& sidText) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(sidText.c_str(), &sid)) return sidText;
  wchar_t name[256], domain[256];
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  std::wstring result = sidText;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
    result = (domainSize > 0 ? std::wstring(domain) + L"\\" : std::wstring()) + name + L" (" + sidText + L")";
  LocalFree(sid);
  return result;
}

bool Trusted(PSID sid, PSID self) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid)) return true;
  if (self != nullptr && EqualSid(sid, self)) return true;
  return SidText(sid) == kInstallerAccount;
}

// The account this program runs as.
class TokenUser {
 public:
  TokenUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    handles::UniqueHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
    Buffer_.resize(size);
    if (size == 0 || !GetTokenInformation(token, ::TokenUser, Buffer_.data(), size, &size)) Buffer_.clear();
  }
  PSID Sid() const {
    return Buffer_.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(Buffer_.data())->User.Sid;
  }

 private:
  std::vector<BYTE> Buffer_;
};

struct LocalDescriptor {
  PSECURITY_DESCRIPTOR Sd = nullptr;
  ~LocalDescriptor() {
    if (Sd != nullptr) LocalFree(Sd);
  }
};

// An object opened as itself (a link as the link), without delete sharing.
handles::UniqueFile OpenItself(const std::wstring& path, DWORD access) {
  return handles::UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
}

constexpr DWORD kSecure = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                          SYNCHRONIZE;

class Takeover {
 public:
  Takeover(const std::wstring& folder, std::wostream& out) : Folder_(FullPath(folder)), Out_(out) {}

  int Run(const std::wstring& sddl, const std::vector<std::wstring>& keep) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &Rights_.Sd, nullptr))
      return Refuse(L"\"" + sddl + L"\" names no rights: " + SystemText(GetLastError()));
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(Rights_.Sd, &Owner_, &defaulted) || Owner_ == nullptr ||
        !GetSecurityDescriptorDacl(Rights_.Sd, &present, &Dacl_, &defaulted) || !present || Dacl_ == nullptr)
      return Refuse(L"\"" + sddl + L"\" must name an owner and the rights");
    const size_t cut = Folder_.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut + 1 >= Folder_.size() || Folder_.size() <= 3)
      return Refuse(Folder_ + L" is no folder of its own: choose a folder under Program Files.");
    EnableAdministratorPrivileges();
    if (!CheckAbove(Folder_.substr(0, cut))) return kRefused;

    const DWORD attributes = GetFileAttributesW(Folder_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        return Refuse(L"Cannot look at " + Folder_ + L": " + SystemText(error));
      return MakeFolder() ? kDone : kRefused;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return Refuse(Folder_ + L" is a link to another folder: choose another folder.");
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && OnlyTrustedEverChanged()) {
      return CleanInPlace(keep) ? kDone : kRefused;
    }
    return MoveAsideAndMakeAnew() ? kDone : kRefused;
  }

 private:
  int Refuse(const std::wstring& text) {
    Out_ << text << L"\n";
    return kRefused;
  }

  // Every folder above, up to the volume's root, as the system has it.
  bool CheckAbove(const std::wstring& parent) {
    handles::UniqueFile opened(CreateFileW(parent.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!opened) {
      Refuse(L"Cannot open " + parent + L": " + SystemText(GetLastError()));
      return false;
    }
    const std::wstring final = SystemFinalPath(opened.get());
    if (final.empty() || CompareKey(final) != CompareKey(parent + (parent.size() == 2 ? L"\\" : L""))) {
      Refuse(parent + L" is reached through a link: choose a folder under Program Files.");
      return false;
    }
    for (std::wstring folder = parent;;) {
      if (folder.size() == 2 && folder[1] == L':') folder += L'\\';
      PSECURITY_DESCRIPTOR found = nullptr;
      const DWORD error = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                                nullptr, nullptr, nullptr, &found);
      if (error != ERROR_SUCCESS) {
        Refuse(L"Cannot tell who may change " + folder + L": " + SystemText(error));
        return false;
      }
      LocalDescriptor sd{found};
      const std::wstring other = AnotherAccountMay(sd.Sd, Self_.Sid(), kReplaceRights);
      if (!other.empty()) {
        Refuse(folder + L" can be changed by " + AccountName(other) +
               L", who could put another folder in place of the program folder: choose a folder under Program "
               L"Files.");
        return false;
      }
      // Up to the volume's root: C:\ or a share's \\server\share.
      const bool shareRoot = folder.rfind(L"\\\\", 0) == 0 && std::count(folder.begin(), folder.end(), L'\\') <= 3;
      const size_t cut = folder.find_last_of(L'\\', folder.size() - 2);
      if (folder.size() <= 3 || shareRoot || cut == std::wstring::npos) return true;
      folder = folder.substr(0, cut);
    }
  }

  // Made with its rights, so it never had others, not even for a moment.
  bool MakeFolder() {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, Rights_.Sd, FALSE};
    if (!CreateDirectoryW(Folder_.c_str(), &attributes)) {
      Refuse(L"Cannot make the folder " + Folder_ + L": " + SystemText(GetLastError()));
      return false;
    }
    return true;
  }

  // Owned by, and changeable by, none but the accounts trusted above: an
  // installation of this setup.
  bool OnlyTrustedEverChanged() {
    handles::UniqueFile folder = OpenItself(Folder_, READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    PSECURITY_DESCRIPTOR found = nullptr;
    if (!folder || GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, nullptr, nullptr, &found) != ERROR_SUCCESS)
      return false;
    LocalDescriptor sd{found};
    return AnotherAccountMay(sd.Sd, Self_.Sid(), kChangeRights).empty();
  }

  bool Secure(HANDLE object, const std::wstring& path) {
    const DWORD error = SetSecurityInfo(object, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                            PROTECTED_DACL_SECURITY_INFORMATION,
                                        Owner_, nullptr, Dacl_, nullptr);
    if (error != ERROR_SUCCESS) Refuse(L"Cannot set who may change " + path + L": " + SystemText(error));
    return error == ERROR_SUCCESS;
  }

  // An entry the setup keeps, and what it holds: each gets the owner and rights.
  bool SecureTree(const std::wstring& path, int depth) {
    handles::UniqueFile entry = OpenItself(path, kSecure);
    if (!entry) {
      Refuse(L"Cannot open " + path + L": " + SystemText(GetLastError()));
      return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    GetFileInformationByHandle(entry.get(), &info);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      entry.reset();
      return Remove(path);
    }
    if (!Secure(entry.get(), path)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
    if (depth > 32) {
      Refuse(path + L": its folders are nested too deeply");
      return false;
    }
    DWORD error = 0;
    for (const std::wstring& name : Names(entry.get(), error))
      if (!SecureTree(path + L"\\" + name, depth + 1)) return false;
    if (error != 0) Refuse(L"Cannot read " + path + L": " + SystemText(error));
    return error == 0;
  }

  bool Remove(const std::wstring& path) {
    Remover remover(Out_);
    if (remover.RemoveTree(path)) return true;
    Refuse(L"Cannot remove " + path + L", which this setup did not put there: remove it, or choose another folder.");
    return false;
  }

  bool CleanInPlace(const std::vector<std::wstring>& keep) {
    handles::UniqueFile folder = OpenItself(Folder_, kSecure);
    if (!folder) {
      Refuse(L"Cannot open " + Folder_ + L": " + SystemText(GetLastError()));
      return false;
    }
    if (!Secure(folder.get(), Folder_)) return false;
    DWORD error = 0;
    for (const std::wstring& name : Names(folder.get(), error)) {
      const bool ours = std::any_of(keep.begin(), keep.end(),
                                    [&](const std::wstring& kept) { return CompareKey(kept) == CompareKey(name); });
      if (!(ours ? SecureTree(Folder_ + L"\\" + name, 1) : Remove(Folder_ + L"\\" + name))) return false;
    }
    if (error != 0) Refuse(L"Cannot read " + Folder_ + L": " + SystemText(error));
    return error == 0;
  }

  bool MoveAsideAndMakeAnew() {
    std::wstring aside;
    {
      handles::UniqueFile folder = OpenItself(Folder_, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
      if (!folder) {
        Refuse(L"Cannot move " + Folder_ + L" aside: " + SystemText(GetLastError()) +
               L" Close what runs from it, or choose another folder.");
        return false;
      }
      for (int n = 1; n < 100 && aside.empty(); ++n) {
        const std::wstring name = Folder_ + L".old" + (n > 1 ? std::to_wstring(n) : std::wstring());
        if (GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND)
          aside = name;
      }
      const size_t size = sizeof(FILE_RENAME_INFO) + aside.size() * sizeof(wchar_t);
      std::vector<BYTE> buffer(size, 0);
      auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
      rename->ReplaceIfExists = FALSE;
      rename->FileNameLength = static_cast<DWORD>(aside.size() * sizeof(wchar_t));
      std::copy(aside.begin(), aside.end(), rename->FileName);
      if (aside.empty() ||
          !SetFileInformationByHandle(folder.get(), FileRenameInfo, rename, static_cast<DWORD>(size))) {
        Refuse(L"Cannot move " + Folder_ + L" aside: " + SystemText(aside.empty() ? ERROR_ALREADY_EXISTS : GetLastError()) +
               L" Close what runs from it, or choose another folder.");
        return false;
      }
    }
    Out_ << L"Moved the earlier " << Folder_ << L" aside to " << aside << L"\n";
    if (!MakeFolder()) return false;
    Remover remover(Out_);
    if (!remover.RemoveTree(aside)) Out_ << L"Kept " << aside << L": remove it once nothing uses it\n";
    return true;
  }

  std::wstring Folder_;
  std::wostream& Out_;
  TokenUser Self_;
  LocalDescriptor Rights_;
  PSID Owner_ = nullptr;
  PACL Dacl_ = nullptr;
};

}  // namespace

std::wstring AnotherAccountMay(PSECURITY_DESCRIPTOR sd, PSID self, ACCESS_MASK rights) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner != nullptr && !Trusted(owner, self))
    return SidText(owner);
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr)
    return L"S-1-1-0";  // no rights at all: everyone may do everything
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &ace->SidStart;
    if ((ace->Mask & rights) != 0 && !Trusted(sid, self)) return SidText(sid);
  }
  return {};
}

int OwnProgramFolder(const std::wstring& folder, const std::wstring& sddl, const std::vector<std::wstring>& keep,
                     std::wostream& out) {
  Takeover takeover(folder, out);
  return takeover.Run(sddl, keep);
}

}  // namespace cleardata
