#include "runner/launch_record_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/integrity.h"
#include "platform/wide.h"
#include "platform/window_thread.h"
#include "runner/claim.h"

namespace {

constexpr DWORD kRecordMagic = 0x3152564D;  // "MVR1"
// The record of a program created suspended and not let run yet. An older
// launcher takes it for no record at all.
constexpr DWORD kUnrunRecordMagic = 0x3055564D;  // "MVU0"
// The longest texts a record holds: a command line is at most 32767
// characters, paths and identities far less.
constexpr DWORD kMostChars = 32768;

// The section's layout: the header, then the texts in UTF-16: file, folder,
// command line and the program's path. A record of an older launcher has no
// path (pathChars 0, the field it used to leave 0).
struct RecordHeader {
  DWORD magic;
  DWORD size;  // bytes in all
  std::uint64_t created;
  DWORD launcher;
  DWORD jobKey;
  DWORD fileChars;
  DWORD directoryChars;
  DWORD commandChars;
  DWORD pathChars;
};

std::wstring RecordName(DWORD pid) { return L"Local\\Morvastel-record-" + std::to_wstring(pid); }

// The token user's SID of this process, copied; empty when it cannot be read.
const std::vector<BYTE>& UserSid() {
  static const std::vector<BYTE> sid = [] {
    std::vector<BYTE> copy;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return copy;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
      copy.assign(static_cast<const BYTE*>(user), static_cast<const BYTE*>(user) + ::GetLengthSid(user));
    }
    ::CloseHandle(token);
    return copy;
  }();
  return sid;
}

// FILE_ID_INFO and its class (Windows 8 and later), which the headers give
// only to programs that need Windows 8; on Windows 7 the call fails and the
// 64-bit index is used.
struct FileId128 {
  ULONGLONG volumeSerialNumber;
  BYTE identifier[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

void AppendText(std::vector<BYTE>& out, const std::wstring& text) {
  const BYTE* begin = reinterpret_cast<const BYTE*>(text.data());
  out.insert(out.end(), begin, begin + text.size() * sizeof(wchar_t));
}

}  // namespace

SECURITY_ATTRIBUTES* OwnUserOnly() {
  // The user owns the object and alone may open it: "O:<sid>D:P(A;;GA;;;<sid>)".
  static SECURITY_ATTRIBUTES* const attributes = []() -> SECURITY_ATTRIBUTES* {
    const std::vector<BYTE>& sid = UserSid();
    if (sid.empty()) return nullptr;
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &text)) return nullptr;
    // At high integrity or above, labelled high with no read, write or
    // execute up: the same user's unelevated programs can neither read nor
    // forge what an elevated launcher leaves (a label at or below the
    // creator's own level needs no privilege).
    const std::wstring sddl = std::wstring(L"O:") + text + L"D:P(A;;GA;;;" + text + L")" +
                              (OwnIntegrity() >= kHighIntegrity ? L"S:(ML;;NWNRNX;;;HI)" : L"");
    ::LocalFree(text);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
      return nullptr;
    }
    // Kept for the launcher's life.
    static SECURITY_ATTRIBUTES kept{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    return &kept;
  }();
  return attributes;
}

std::uint64_t CreationTime(HANDLE process) {
  FILETIME created{}, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

ScopedKernelHandle WriteRecord(HANDLE process, DWORD pid, const LaunchRecord& record, DWORD* error) {
  const std::wstring file = Wide(record.launched.file);
  const std::wstring directory = Wide(record.launched.directory);
  const std::wstring command = Wide(record.launched.commandLine);
  const std::wstring path = Wide(record.launched.path);
  std::vector<BYTE> bytes(sizeof(RecordHeader));
  AppendText(bytes, file);
  AppendText(bytes, directory);
  AppendText(bytes, command);
  AppendText(bytes, path);
  const RecordHeader header{record.letRun ? kRecordMagic : kUnrunRecordMagic,
                            static_cast<DWORD>(bytes.size()),  record.created,
                            record.launcher,  record.jobKey,                     static_cast<DWORD>(file.size()),
                            static_cast<DWORD>(directory.size()), static_cast<DWORD>(command.size()),
                            static_cast<DWORD>(path.size())};
  std::memcpy(bytes.data(), &header, sizeof header);

  ScopedKernelHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, OwnUserOnly(), PAGE_READWRITE, 0,
                                                  static_cast<DWORD>(bytes.size()), RecordName(pid).c_str()));
  if (!section) {
    *error = ::GetLastError();
    return {};
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    *error = ERROR_ALREADY_EXISTS;
    return {};
  }
  void* view = ::MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, bytes.size());
  if (view == nullptr) {
    *error = ::GetLastError();
    return {};
  }
  std::memcpy(view, bytes.data(), bytes.size());
  ::UnmapViewOfFile(view);
  // The program holds the record from now on, as it holds its job: it lasts
  // as long as the program, and no longer.
  HANDLE inside = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), section.get(), process, &inside, FILE_MAP_READ, FALSE, 0);
  return section;
}

bool MarkRecordLetRun(HANDLE section) {
  void* view = ::MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(DWORD));
  if (view == nullptr) return false;
  std::memcpy(view, &kRecordMagic, sizeof kRecordMagic);
  ::UnmapViewOfFile(view);
  return true;
}

std::optional<LaunchRecord> ReadRecord(DWORD pid, std::uint64_t created) {
  // READ_CONTROL: to read its owner.
  const ScopedKernelHandle section(::OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, RecordName(pid).c_str()));
  if (!section || created == 0) return std::nullopt;
  // Made by the launcher's own user, or not believed.
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(section.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::vector<BYTE>& user = UserSid();
  const bool ours = owner != nullptr && !user.empty() && ::EqualSid(owner, const_cast<BYTE*>(user.data()));
  ::LocalFree(descriptor);
  if (!ours || !RecordLabelBelieved(ObjectIntegrity(section.get()), OwnIntegrity())) return std::nullopt;

  const void* view = ::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return std::nullopt;
  MEMORY_BASIC_INFORMATION region{};
  std::optional<LaunchRecord> record;
  RecordHeader header{};
  if (::VirtualQuery(view, &region, sizeof region) != 0 && region.RegionSize >= sizeof header) {
    std::memcpy(&header, view, sizeof header);
    const std::uint64_t chars = static_cast<std::uint64_t>(header.fileChars) + header.directoryChars +
                                header.commandChars + header.pathChars;
    // Every size is checked against what was mapped before a text is read.
    if ((header.magic == kRecordMagic || header.magic == kUnrunRecordMagic) && header.created == created && header.fileChars < kMostChars &&
        header.directoryChars < kMostChars && header.commandChars < kMostChars && header.pathChars < kMostChars &&
        header.size == sizeof header + chars * sizeof(wchar_t) && header.size <= region.RegionSize) {
      const wchar_t* text = reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(view) + sizeof header);
      record.emplace();
      record->created = header.created;
      record->launcher = header.launcher;
      record->letRun = header.magic == kRecordMagic;
      record->jobKey = header.jobKey;
      record->launched.file = Narrow({text, header.fileChars});
      text += header.fileChars;
      record->launched.directory = Narrow({text, header.directoryChars});
      text += header.directoryChars;
      record->launched.commandLine = Narrow({text, header.commandChars});
      text += header.commandChars;
      record->launched.path = Narrow({text, header.pathChars});
    }
  }
  ::UnmapViewOfFile(view);
  return record;
}

std::string PathText(const std::wstring& path) {
  NoteFileCall();
  std::wstring full = FullLongPath(path);
  if (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  if (!full.empty()) {
    // Upper case as the invariant locale has it, as near as a text can come
    // to how the file system compares names.
    std::wstring upper(full.size(), L'\0');
    if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, full.c_str(), static_cast<int>(full.size()),
                        upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0) ==
        static_cast<int>(full.size())) {
      full = upper;
    } else {
      ::CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
    }
  }
  return Narrow(full);
}

std::string FileIdentity(const std::wstring& path) {
  if (path.empty()) return {};
  NoteFileCall();
  // FILE_FLAG_BACKUP_SEMANTICS opens folders too; reading attributes needs
  // no other right, and every sharing mode leaves the program alone.
  const ScopedKernelHandle file(::CreateFileW(FullLongPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return PathText(path);
  // The 128-bit id of ReFS and newer NTFS (Windows 8 and later), else the
  // 64-bit index every NTFS and FAT volume gives, high half first. On FAT
  // the index is where the file's entry sits in its folder and changes when
  // the file is renamed: a renamed program reads as another file there, as
  // a comparison of paths would have it anyway.
  FileId128 id{};
  if (::GetFileInformationByHandleEx(file.get(), kFileIdInfo, &id, sizeof id)) {
    if (std::string text = FileIdText(id.volumeSerialNumber, id.identifier, sizeof id.identifier); !text.empty()) {
      return text;
    }
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(file.get(), &info)) {
    unsigned char index[8];
    for (int i = 0; i < 4; ++i) {
      index[i] = static_cast<unsigned char>(info.nFileIndexHigh >> (24 - 8 * i));
      index[4 + i] = static_cast<unsigned char>(info.nFileIndexLow >> (24 - 8 * i));
    }
    if (std::string text = FileIdText(info.dwVolumeSerialNumber, index, sizeof index); !text.empty()) return text;
  }
  return PathText(path);
}

bool SameFileName(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}
