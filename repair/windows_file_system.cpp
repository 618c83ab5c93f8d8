// The only file of the engine that calls Windows.
#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cwctype>

#include <cwchar>
#include <string>

#include "append_guard_windows.h"
#include "file_system.h"
#include "storage_thread.h"
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

constexpr wchar_t kGuardSwitch[] = L"--settle-append";
bool guard_enabled = false;
HANDLE guard_settled = nullptr;  // set once the append is settled: the guard then leaves

HANDLE Inheritable(HANDLE handle, DWORD access, DWORD options) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, access, TRUE, options);
  return copy;
}

// The byte of the append at `position`: its lines repeated from `original` on.
char AppendByte(const std::string& line, std::uint64_t original, std::uint64_t position) {
  return line[static_cast<std::size_t>((position - original) % line.size())];
}

// The guard's work once the program has ended with its append out.
void Settle(HANDLE file, std::uint64_t original, std::uint64_t expected, const std::string& line) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || static_cast<std::uint64_t>(size.QuadPart) <= original) return;
  const auto end = static_cast<std::uint64_t>(size.QuadPart);
  // Only the append's own bytes are taken back or completed.
  std::string bytes(std::size_t{64} << 10, '\0');
  for (std::uint64_t at = original; at < end;) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(bytes.size(), end - at));
    if (!ReadFile(file, bytes.data(), wanted, &count, &where) || count == 0) return;
    for (DWORD index = 0; index < count; ++index) {
      if (bytes[index] != AppendByte(line, original, at + index)) return;
    }
    at += count;
  }
  LARGE_INTEGER cut{};
  cut.QuadPart = static_cast<LONGLONG>(original);
  if (SetFilePointerEx(file, cut, nullptr, FILE_BEGIN) && SetEndOfFile(file)) {
    FlushFileBuffers(file);
    return;
  }
  // Cutting back is refused (a file another program maps): the lines are completed instead.
  for (std::uint64_t at = end; at < expected;) {
    const auto count = static_cast<DWORD>(std::min<std::uint64_t>(bytes.size(), expected - at));
    for (DWORD index = 0; index < count; ++index)
      bytes[index] = AppendByte(line, original, at + index);
    OVERLAPPED at_end{};
    at_end.Offset = 0xFFFFFFFF;
    at_end.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), count, &written, &at_end) || written == 0) return;
    at += written;
  }
  FlushFileBuffers(file);
}

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
    return IdentityOf(info, GetFileType(Native(handle)));
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
    if (!guard_enabled || guard_settled != nullptr) return;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const HANDLE settled = CreateEventW(&inherited, TRUE, FALSE, nullptr);
    const HANDLE file = Inheritable(Native(handle), 0, DUPLICATE_SAME_ACCESS);
    const HANDLE parent = Inheritable(GetCurrentProcess(), SYNCHRONIZE, 0);
    std::wstring program(32768, L'\0');
    program.resize(GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size())));
    std::wstring command = L"\"" + program + L"\" " + kGuardSwitch + L" ";
    for (const std::uint64_t number :
         {reinterpret_cast<std::uint64_t>(file), reinterpret_cast<std::uint64_t>(parent),
          reinterpret_cast<std::uint64_t>(settled), original, expected}) {
      command += std::to_wstring(number) + L" ";
    }
    for (const char byte : line)
      command += std::to_wstring(static_cast<unsigned char>(byte)) + L" ";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (settled != nullptr && file != nullptr && parent != nullptr &&
        CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      guard_settled = settled;
    } else if (settled != nullptr) {
      CloseHandle(settled);
    }
    for (const HANDLE copy : {file, parent}) {
      if (copy != nullptr) CloseHandle(copy);  // the guard has its own
    }
  }

  void AppendSettled() override {
    CheckFileCallAllowedHere();
    if (guard_settled == nullptr) return;
    SetEvent(guard_settled);
    CloseHandle(guard_settled);
    guard_settled = nullptr;
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
  if (prefixed || path.size() < kMaxPath) return *wide;
  // Long: the full path, "." and ".." resolved, in the form that lifts MAX_PATH.
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return FileProblem::kMissing;
  std::wstring full(needed, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), needed, full.data(), nullptr));
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

FileSystem& SystemFiles() {
  static WindowsFileSystem files;
  return files;
}

void EnableAppendGuard() { guard_enabled = true; }

bool RunAsAppendGuard(const std::vector<std::wstring>& arguments) {
  if (arguments.empty() || arguments.front() != kGuardSwitch) return false;
  std::uint64_t numbers[5] = {};
  std::string line;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    const std::uint64_t number = std::wcstoull(arguments[index].c_str(), nullptr, 10);
    if (index <= std::size(numbers)) {
      numbers[index - 1] = number;
    } else {
      line.push_back(static_cast<char>(number));
    }
  }
  line += "\r\n";
  const auto file = reinterpret_cast<HANDLE>(numbers[0]);
  const HANDLE waits[] = {reinterpret_cast<HANDLE>(numbers[2]),
                          reinterpret_cast<HANDLE>(numbers[1])};
  // Settled first: nothing to do. The program ended first: its append is settled here.
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    Settle(file, numbers[3], numbers[4], line);
  }
  return true;
}

}  // namespace nestmend
