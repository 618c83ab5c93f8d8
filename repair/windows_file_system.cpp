// The only file of the engine that calls Windows.
#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cwctype>

#include "file_system.h"
#include "windows_path.h"

namespace nestmend {
namespace {

constexpr std::size_t kMaxPath = 260;

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

std::optional<std::wstring> Utf16(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > INT_MAX) return std::nullopt;
  const int size = static_cast<int>(utf8.size());
  const int wide_size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (wide_size <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), wide_size);
  return wide;
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
  identity.regular =
      type == FILE_TYPE_DISK && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  return identity;
}

HANDLE Native(FileSystem::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

class WindowsFileSystem final : public FileSystem {
 public:
  std::optional<Handle> OpenForReading(const std::string& path) override {
    // Others may go on reading and writing it; the scan sees any change in its identity.
    return Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                FILE_FLAG_SEQUENTIAL_SCAN);
  }

  std::optional<Handle> OpenForAppending(const std::string& path) override {
    // While the lines go out, others may read the file but not write it; an open by a second
    // Nestmend fails, which keeps two repairs of one file apart.
    const std::optional<Handle> handle =
        Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0);
    if (handle && !SetFilePointerEx(Native(*handle), LARGE_INTEGER{}, nullptr, FILE_END)) {
      Close(*handle);
      return std::nullopt;
    }
    return handle;
  }

  std::optional<FileIdentity> Identify(Handle handle) override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(Native(handle), &info)) return std::nullopt;
    return IdentityOf(info, GetFileType(Native(handle)));
  }

  std::optional<FileIdentity> IdentifyPath(const std::string& path) override {
    const std::optional<std::wstring> wide = WindowsPath(path);
    if (!wide || !IsPlainFile(*wide)) return std::nullopt;
    // Attributes only: no data access, nothing a reader or writer of the file notices.
    const HANDLE handle = CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    const std::optional<FileIdentity> identity = Identify(reinterpret_cast<Handle>(handle));
    CloseHandle(handle);
    return identity;
  }

  // The sharing mode of the append already keeps every other writer out while it lasts.
  bool Lock(Handle) override { return true; }

  Reservation Reserve(Handle handle, std::uint64_t offset, std::uint64_t length) override {
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(offset + length);
    if (SetFileInformationByHandle(Native(handle), FileAllocationInfo, &allocation,
                                   sizeof allocation)) {
      return Reservation::kReserved;
    }
    const DWORD error = GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
                   error == ERROR_FILE_TOO_LARGE
               ? Reservation::kNoRoom
               : Reservation::kUnsupported;
  }

  bool CanTruncate(Handle) override { return true; }

  std::optional<std::size_t> Read(Handle handle, std::span<char> buffer) override {
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
    if (!ReadFile(Native(handle), buffer.data(), wanted, &count, nullptr)) return std::nullopt;
    return count;
  }

  std::optional<std::size_t> Write(Handle handle, std::span<const char> bytes) override {
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!WriteFile(Native(handle), bytes.data(), wanted, &count, nullptr) || count == 0) {
      return std::nullopt;
    }
    return count;
  }

  bool Truncate(Handle handle, std::uint64_t length) override {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(Native(handle), position, nullptr, FILE_BEGIN) &&
           SetEndOfFile(Native(handle));
  }

  bool Sync(Handle handle) override { return FlushFileBuffers(Native(handle)) != 0; }

  bool Close(Handle handle) override { return CloseHandle(Native(handle)) != 0; }

 private:
  // Decided from the path's attributes, before anything is opened.
  static bool IsPlainFile(const std::wstring& wide) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    return GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &attributes) &&
           (attributes.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  }

  std::optional<Handle> Open(const std::string& path, DWORD access, DWORD sharing, DWORD flags) {
    const std::optional<std::wstring> wide = WindowsPath(path);
    if (!wide || !IsPlainFile(*wide)) return std::nullopt;
    // OPEN_EXISTING: nothing is ever created.
    const HANDLE handle =
        CreateFileW(wide->c_str(), access, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    const std::optional<FileIdentity> identity = Identify(reinterpret_cast<Handle>(handle));
    if (!identity || !identity->regular) {
      CloseHandle(handle);
      return std::nullopt;
    }
    return reinterpret_cast<Handle>(handle);
  }
};

}  // namespace

std::optional<std::wstring> WindowsPath(std::string_view utf8) {
  std::optional<std::wstring> wide = Utf16(utf8);
  if (!wide || wide->find(L'\0') != std::wstring::npos) return std::nullopt;
  std::wstring path = *wide;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  // The device namespace, and the object manager's: only \\?\X:\ and \\?\UNC\ lead to files.
  if (path.starts_with(L"\\\\.\\") || path.starts_with(L"\\??\\")) return std::nullopt;
  const bool prefixed = path.starts_with(L"\\\\?\\");
  if (prefixed) {
    const std::wstring_view rest = std::wstring_view(path).substr(4);
    const bool drive =
        rest.size() >= 3 && std::iswalpha(rest[0]) && rest[1] == L':' && rest[2] == L'\\';
    if (!drive && !rest.starts_with(L"UNC\\")) return std::nullopt;
  }
  for (std::size_t begin = 0; begin <= path.size();) {
    const std::size_t end = std::min(path.find(L'\\', begin), path.size());
    if (IsDeviceName(std::wstring_view(path).substr(begin, end - begin))) return std::nullopt;
    begin = end + 1;
  }
  if (prefixed || path.size() < kMaxPath) return *wide;
  // Long: the full path, "." and ".." resolved, in the form that lifts MAX_PATH.
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::wstring full(needed, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), needed, full.data(), nullptr));
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

FileSystem& SystemFiles() {
  static WindowsFileSystem files;
  return files;
}

}  // namespace nestmend
