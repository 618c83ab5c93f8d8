// The only file of the engine that calls Windows.
#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <cwctype>

#include <cwchar>
#include <string>
#include <vector>

#include "append_guard_windows.h"
#include "file_system.h"
#include "storage_thread.h"
#include "windows_path.h"

namespace nestmend {
namespace {

// Names that open a device in every folder and with any extension ("nul.txt", "Con ").
bool IsDeviceName(std::wstring_view component) {
  std::wstring stem(component.substr(0, component.find(L'.')));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](wchar_t letter) { return static_cast<wchar_t>(std::towupper(letter)); });
  static constexpr std::array<std::wstring_view, 6> kNames = {L"CON", L"PRN",    L"AUX",
                                                              L"NUL", L"CONIN$", L"CONOUT$"};
  if (std::find(kNames.begin(), kNames.end(), stem) != kNames.end()) return true;
  return stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT")) &&
         stem[3] >= L'0' && stem[3] <= L'9';
}

// Strict: text that is not UTF-8 names no file exactly.
std::optional<std::wstring> Utf16(std::string_view utf8) {
  if (utf8.size() > INT_MAX) return std::nullopt;
  const int size = static_cast<int>(utf8.size());
  const int wide_size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (wide_size <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), wide_size);
  return wide;
}

// The path made absolute: a path relative to the current folder, to a drive's current folder
// ("D:data.json") or to the current drive's root ("\\data.json") continues the folder the system
// keeps for it.
std::optional<std::wstring> Absolute(const std::wstring& path) {
  const bool drive = path.size() >= 2 && path[1] == L':';
  if (path.starts_with(L"\\\\") || (drive && path.size() >= 3 && path[2] == L'\\')) return path;
  const std::wstring base = drive ? path.substr(0, 2) : path.starts_with(L"\\") ? L"\\" : L".";
  const DWORD needed = GetFullPathNameW(base.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::wstring folder(needed, L'\0');
  folder.resize(GetFullPathNameW(base.c_str(), needed, folder.data(), nullptr));
  return folder + L"\\" + path.substr(drive ? 2 : 0);
}

// An absolute path in its \\?\ form, which the system takes exactly as it stands: "." and ".."
// resolved here, and no trailing dot or space taken off a name, as Win32's own resolution would
// ("b.json." would name "b.json", another file). It also lifts MAX_PATH.
std::wstring ExactFullPath(const std::wstring& full) {
  const bool share = full.starts_with(L"\\\\");  // \\server\share
  std::size_t root_end = share ? full.find(L'\\', full.find(L'\\', 2) + 1) : 2;
  root_end = std::min(root_end, full.size());
  std::wstring exact = share ? L"\\\\?\\UNC" + full.substr(1, root_end - 1)
                             : L"\\\\?\\" + full.substr(0, 2);
  std::vector<std::wstring> names;
  for (std::size_t begin = root_end; begin < full.size();) {
    const std::size_t end = std::min(full.find(L'\\', begin), full.size());
    const std::wstring name = full.substr(begin, end - begin);
    if (name == L"..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != L".") {
      names.push_back(name);
    }
    begin = end + 1;
  }
  for (const std::wstring& name : names) exact += L"\\" + name;
  return names.empty() ? exact + L"\\" : exact;
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info, DWORD type) {
  FileIdentity identity;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  // 100-nanosecond ticks.
  const std::uint64_t ticks = (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                              info.ftLastWriteTime.dwLowDateTime;
  identity.modified_seconds = static_cast<std::int64_t>(ticks / 10'000'000);
  identity.modified_nanoseconds = static_cast<std::int64_t>(ticks % 10'000'000 * 100);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    identity.kind = FileKind::kFolder;
  } else if (type == FILE_TYPE_DISK) {
    identity.kind = FileKind::kPlain;
  } else {
    identity.kind = type == FILE_TYPE_PIPE ? FileKind::kPipe : FileKind::kDevice;
  }
  return identity;
}

// What GetLastError says, in the file's terms.
FileProblem LastProblem() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_FILENAME_EXCED_RANGE:
      return FileProblem::kMissing;
    case ERROR_ACCESS_DENIED:
      return FileProblem::kNoPermission;
    case ERROR_WRITE_PROTECT:
      return FileProblem::kReadOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return FileProblem::kHeld;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileProblem::kNoRoom;
    case ERROR_FILE_TOO_LARGE:
      return FileProblem::kTooLarge;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
      return FileProblem::kUnsupported;
    default:
      return FileProblem::kFailed;
  }
}

HANDLE Native(FileSystem::Handle handle) { return reinterpret_cast<HANDLE>(handle); }


class WindowsFileSystem final : public FileSystem {
 public:
  FileResult<Handle> OpenForReading(const std::string& path) override {
    CheckFileCallAllowedHere();
    // Others may go on reading and writing it; the scan sees any change in its identity.
    return Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                FILE_FLAG_SEQUENTIAL_SCAN);
  }

  FileResult<Handle> OpenForAppending(const std::string& path) override {
    CheckFileCallAllowedHere();
    // While the lines go out, others may read the file but not write it; an open by a second
    // Nestmend fails, which keeps two repairs of one file apart.
    return Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0);
  }

  FileResult<FileIdentity> Identify(Handle handle) override {
    CheckFileCallAllowedHere();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(Native(handle), &info)) return LastProblem();
    FileIdentity identity = IdentityOf(info, GetFileType(Native(handle)));
    FILE_ID_INFO id{};  // a 64-bit volume serial number and a 128-bit file id, where there are
    std::uint64_t id_high = 0;
    if (GetFileInformationByHandleEx(Native(handle), FileIdInfo, &id, sizeof id)) {
      identity.device = id.VolumeSerialNumber;
      std::memcpy(&identity.inode, id.FileId.Identifier, sizeof identity.inode);
      std::memcpy(&id_high, id.FileId.Identifier + sizeof identity.inode, sizeof id_high);
    }
    identity.inode_high = id_high;
    return identity;
  }

  FileResult<FileIdentity> IdentifyPath(const std::string& path) override {
    CheckFileCallAllowedHere();
    const FileResult<std::wstring> wide = WindowsPath(path);
    if (!wide) return wide.problem();
    if (const FileStatus plain = PlainFile(*wide); !plain) return plain.problem();
    // Attributes only: no data access, nothing a reader or writer of the file notices.
    const HANDLE handle = CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastProblem();
    const FileResult<FileIdentity> identity = Identify(reinterpret_cast<Handle>(handle));
    CloseHandle(handle);
    return identity;
  }

  // The sharing mode of the append already keeps every other Windows writer out while it lasts.
  FileStatus Lock(Handle) override { return {}; }

  FileStatus Reserve(Handle handle, std::uint64_t offset, std::uint64_t length) override {
    CheckFileCallAllowedHere();
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(offset + length);
    if (SetFileInformationByHandle(Native(handle), FileAllocationInfo, &allocation,
                                   sizeof allocation)) {
      return {};
    }
    const FileProblem problem = LastProblem();
    return problem == FileProblem::kNoRoom || problem == FileProblem::kTooLarge
               ? problem
               : FileProblem::kUnsupported;
  }

  bool CanTruncate(Handle) override { return true; }

  FileResult<std::size_t> Read(Handle handle, std::uint64_t offset,
                               std::span<char> buffer) override {
    CheckFileCallAllowedHere();
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (!ReadFile(Native(handle), buffer.data(), wanted, &count, &at)) {
      return GetLastError() == ERROR_HANDLE_EOF ? FileResult<std::size_t>(std::size_t{0})
                                                : LastProblem();
    }
    return std::size_t{count};
  }

  FileResult<std::size_t> Write(Handle handle, std::span<const char> bytes) override {
    CheckFileCallAllowedHere();
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    // At the file's end as it is now, not where the last write ended: under Wine a Linux
    // program may have appended meanwhile, and its bytes are not to be overwritten.
    OVERLAPPED at_end{};
    at_end.Offset = 0xFFFFFFFF;
    at_end.OffsetHigh = 0xFFFFFFFF;
    if (!WriteFile(Native(handle), bytes.data(), wanted, &count, &at_end)) return LastProblem();
    if (count == 0) return FileProblem::kFailed;
    return std::size_t{count};
  }

  FileStatus Truncate(Handle handle, std::uint64_t length) override {
    CheckFileCallAllowedHere();
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(length);
    if (SetFilePointerEx(Native(handle), position, nullptr, FILE_BEGIN) &&
        SetEndOfFile(Native(handle))) {
      return {};
    }
    return LastProblem();
  }

  FileStatus Sync(Handle handle) override {
    CheckFileCallAllowedHere();
    return FlushFileBuffers(Native(handle)) ? FileStatus() : LastProblem();
  }

  FileStatus Close(Handle handle) override {
    CheckFileCallAllowedHere();
    return CloseHandle(Native(handle)) ? FileStatus() : LastProblem();
  }

  void GuardAppend(Handle handle, std::uint64_t original, std::uint64_t expected,
                   std::string_view line) override {
    CheckFileCallAllowedHere();
    StartAppendGuard(Native(handle), original, expected, line);
  }

  void AppendSettled() override {
    CheckFileCallAllowedHere();
    AppendGuardCanLeave();
  }

 private:
  // Decided from the path's attributes, before anything is opened.
  static FileStatus PlainFile(const std::wstring& wide) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &attributes)) {
      return LastProblem();
    }
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileProblem::kFolder;
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) return FileProblem::kDevice;
    return {};
  }

  FileResult<Handle> Open(const std::string& path, DWORD access, DWORD sharing, DWORD flags) {
    const FileResult<std::wstring> wide = WindowsPath(path);
    if (!wide) return wide.problem();
    if (const FileStatus plain = PlainFile(*wide); !plain) return plain.problem();
    // OPEN_EXISTING: nothing is ever created.
    const HANDLE handle =
        CreateFileW(wide->c_str(), access, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastProblem();
    const FileResult<FileIdentity> identity = Identify(reinterpret_cast<Handle>(handle));
    if (!identity || !identity->regular()) {
      CloseHandle(handle);
      return identity ? ProblemOf(identity->kind) : identity.problem();
    }
    return reinterpret_cast<Handle>(handle);
  }
};

}  // namespace

FileResult<std::wstring> WindowsPath(std::string_view utf8) {
  if (utf8.empty()) return FileProblem::kMissing;
  std::optional<std::wstring> wide = Utf16(utf8);
  if (!wide || wide->find(L'\0') != std::wstring::npos) return FileProblem::kNotExact;
  std::wstring path = *wide;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  // The device namespace, and the object manager's: only \\?\X:\ and \\?\UNC\ lead to files.
  if (path.starts_with(L"\\\\.\\") || path.starts_with(L"\\??\\")) return FileProblem::kDevice;
  const bool prefixed = path.starts_with(L"\\\\?\\");
  if (prefixed) {
    const std::wstring_view rest = std::wstring_view(path).substr(4);
    const bool drive =
        rest.size() >= 3 && std::iswalpha(rest[0]) && rest[1] == L':' && rest[2] == L'\\';
    if (!drive && !rest.starts_with(L"UNC\\")) return FileProblem::kDevice;
  }
  for (std::size_t begin = 0; begin <= path.size();) {
    const std::size_t end = std::min(path.find(L'\\', begin), path.size());
    if (IsDeviceName(std::wstring_view(path).substr(begin, end - begin))) {
      return FileProblem::kDevice;
    }
    begin = end + 1;
  }
  if (prefixed) return path;
  const std::optional<std::wstring> full = Absolute(path);
  if (!full) return FileProblem::kMissing;
  return ExactFullPath(*full);
}

FileSystem& SystemFiles() {
  static WindowsFileSystem files;
  return files;
}

void GiveWayToTheWindow() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace nestmend
