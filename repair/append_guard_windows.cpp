#include "append_guard_windows.h"

#include <algorithm>
#include <cwchar>

namespace nestmend {
namespace {

constexpr wchar_t kGuardSwitch[] = L"--settle-append";
bool guard_enabled = false;
HANDLE guard_settled = nullptr;  // set once the append is settled: the guard then leaves
// How long an append waits for its guard to start (a process start takes milliseconds on Windows,
// a few hundred under Wine on a busy machine).
constexpr DWORD kGuardStartMs = 10000;

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

}  // namespace

void StartAppendGuard(HANDLE file, std::uint64_t original, std::uint64_t expected,
                      std::string_view line) {
  if (!guard_enabled || guard_settled != nullptr) return;
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE settled = CreateEventW(&inherited, TRUE, FALSE, nullptr);
  const HANDLE ready = CreateEventW(&inherited, TRUE, FALSE, nullptr);
  const HANDLE file_copy = Inheritable(file, 0, DUPLICATE_SAME_ACCESS);
  const HANDLE parent = Inheritable(GetCurrentProcess(), SYNCHRONIZE, 0);
  std::wstring program(32768, L'\0');
  program.resize(GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size())));
  std::wstring command = L"\"" + program + L"\" " + kGuardSwitch + L" ";
  for (const std::uint64_t number :
       {reinterpret_cast<std::uint64_t>(file_copy), reinterpret_cast<std::uint64_t>(parent),
        reinterpret_cast<std::uint64_t>(settled), reinterpret_cast<std::uint64_t>(ready), original,
        expected}) {
    command += std::to_wstring(number) + L" ";
  }
  for (const char byte : line) command += std::to_wstring(static_cast<unsigned char>(byte)) + L" ";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (settled != nullptr && ready != nullptr && file_copy != nullptr && parent != nullptr &&
      CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                     nullptr, nullptr, &startup, &process)) {
    // The append begins once the guard is in place. A process only starting still loads its
    // libraries, and under Wine one whose display goes away then never gets to guard anything.
    const HANDLE started[] = {ready, process.hProcess};
    if (WaitForMultipleObjects(2, started, FALSE, kGuardStartMs) == WAIT_OBJECT_0) {
      guard_settled = settled;
    } else {
      TerminateProcess(process.hProcess, 1);  // not there in time: the append goes unguarded
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  for (const HANDLE handle : {file_copy, parent, ready}) {
    if (handle != nullptr) CloseHandle(handle);  // the guard has its own
  }
  if (guard_settled == nullptr && settled != nullptr) CloseHandle(settled);
}

void AppendGuardCanLeave() {
  if (guard_settled == nullptr) return;
  SetEvent(guard_settled);
  CloseHandle(guard_settled);
  guard_settled = nullptr;
}

void EnableAppendGuard() { guard_enabled = true; }

bool RunAsAppendGuard(const std::vector<std::wstring>& arguments) {
  if (arguments.empty() || arguments.front() != kGuardSwitch) return false;
  std::uint64_t numbers[6] = {};
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
  SetEvent(reinterpret_cast<HANDLE>(numbers[3]));  // in place
  CloseHandle(reinterpret_cast<HANDLE>(numbers[3]));
  const auto file = reinterpret_cast<HANDLE>(numbers[0]);
  const HANDLE waits[] = {reinterpret_cast<HANDLE>(numbers[2]),
                          reinterpret_cast<HANDLE>(numbers[1])};
  // Settled first: nothing to do. The program ended first: its append is settled here.
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    Settle(file, numbers[4], numbers[5], line);
  }
  return true;
}

}  // namespace nestmend
