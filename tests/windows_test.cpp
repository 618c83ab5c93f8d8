// Windows' own paths: long and non-ASCII names converted, devices and pipes refused unopened,
// and text that cannot name a file exactly refused.
#include <gtest/gtest.h>

#include <windows.h>

#include "windows_path.h"

namespace nestmend {
namespace {

// The converted path, or why it was refused.
std::wstring Converted(std::string_view path) {
  const FileResult<std::wstring> wide = WindowsPath(path);
  return wide ? *wide : L"refused " + std::to_wstring(static_cast<int>(wide.problem()));
}

std::wstring Refused(FileProblem problem) {
  return L"refused " + std::to_wstring(static_cast<int>(problem));
}

TEST(Windows, PathsAreConvertedOrRefused) {
  const std::string kLong = "C:/" + std::string(150, 'a') + "/" + std::string(150, 'b');
  const std::wstring kDevice = Refused(FileProblem::kDevice);
  const std::wstring kNotExact = Refused(FileProblem::kNotExact);
  const std::pair<std::string, std::wstring> kRows[] = {
      {"C:/data/cut off.txt", L"\\\\?\\C:\\data\\cut off.txt"},
      {"C:\\Gr\xC3\xBC\xC3\x9F"
       "e\\\xE6\x97\xA5.txt",
       L"\\\\?\\C:\\Gr\u00FC\u00DFe\\\u65E5.txt"},
      // Names exactly as given: the trailing dot and space kept, "." and ".." resolved.
      {"C:\\d\\b.json.", L"\\\\?\\C:\\d\\b.json."},
      {"C:\\d. \\.\\x\\..\\c.json ", L"\\\\?\\C:\\d. \\c.json "},
      {"C:\\..\\..", L"\\\\?\\C:\\"},
      {kLong, L"\\\\?\\C:\\" + std::wstring(150, L'a') + L"\\" + std::wstring(150, L'b')},
      {"\\\\server\\share\\" + std::string(260, 'c'),
       L"\\\\?\\UNC\\server\\share\\" + std::wstring(260, L'c')},
      {"C:\\x\\..\\" + std::string(260, 'd'), L"\\\\?\\C:\\" + std::wstring(260, L'd')},
      {"\\\\?\\C:\\data.txt", L"\\\\?\\C:\\data.txt"},
      {"\\\\?\\C:\\", L"\\\\?\\C:\\"},
      {"", Refused(FileProblem::kMissing)},
      {"C:\\\xFF\xFE.txt", kNotExact},
      {"C:\\s\xED\xA0\x80.txt", kNotExact},  // an unpaired surrogate, as a view marks one
      {std::string("C:\\a.txt\0b", 10), kNotExact},
      {"NUL", kDevice},
      {"C:\\data\\con.txt", kDevice},
      {"com1", kDevice},
      {"C:\\LPT9 .log", kDevice},
      {"CONIN$", kDevice},
      {"\\\\.\\pipe\\nestmend", kDevice},
      {"\\\\.\\C:", kDevice},
      {"\\\\?\\GLOBALROOT\\Device\\Null", kDevice},
      {"\\??\\C:\\data.txt", kDevice}};
  for (const auto& [path, converted] : kRows) EXPECT_EQ(Converted(path), converted) << path;
  // A relative path continues the current folder.
  std::wstring folder(MAX_PATH, L'\0');
  folder.resize(GetCurrentDirectoryW(MAX_PATH, folder.data()));
  EXPECT_EQ(Converted("x\\..\\b.json."), L"\\\\?\\" + folder + L"\\b.json.");
}

}  // namespace
}  // namespace nestmend
