// Windows' own paths: long and non-ASCII names converted, devices and pipes refused unopened.
#include <gtest/gtest.h>

#include "windows_path.h"

namespace nestmend {
namespace {

TEST(Windows, PathsAreConvertedOrRefused) {
  const std::string kLong = "C:/" + std::string(150, 'a') + "/" + std::string(150, 'b');
  const std::pair<std::string, std::optional<std::wstring>> kRows[] = {
      {"C:/data/cut off.txt", L"C:/data/cut off.txt"},
      {"C:\\Gr\xC3\xBC\xC3\x9F"
       "e\\\xE6\x97\xA5.txt",
       L"C:\\Gr\u00FC\u00DFe\\\u65E5.txt"},
      {kLong, L"\\\\?\\C:\\" + std::wstring(150, L'a') + L"\\" + std::wstring(150, L'b')},
      {"\\\\server\\share\\" + std::string(260, 'c'),
       L"\\\\?\\UNC\\server\\share\\" + std::wstring(260, L'c')},
      {"C:\\x\\..\\" + std::string(260, 'd'), L"\\\\?\\C:\\" + std::wstring(260, L'd')},
      {"\\\\?\\C:\\data.txt", L"\\\\?\\C:\\data.txt"},
      {"\\\\?\\C:\\", L"\\\\?\\C:\\"},
      {"", {}},
      {"C:\\\xFF\xFE.txt", {}},
      {"NUL", {}},
      {"C:\\data\\con.txt", {}},
      {"com1", {}},
      {"C:\\LPT9 .log", {}},
      {"CONIN$", {}},
      {"\\\\.\\pipe\\nestmend", {}},
      {"\\\\.\\C:", {}},
      {"\\\\?\\GLOBALROOT\\Device\\Null", {}},
      {"\\??\\C:\\data.txt", {}}};
  for (const auto& [path, converted] : kRows) EXPECT_EQ(WindowsPath(path), converted) << path;
}

}  // namespace
}  // namespace nestmend
