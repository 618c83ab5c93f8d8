// Windows' own hostile paths: devices, pipes, folders, long and non-ASCII names.
#include <windows.h>

#include <gtest/gtest.h>

#include "fixit.h"
#include "test_support.h"
#include "windows_path.h"

namespace nestmend {
namespace {

using testing::FixedSummary;
using testing::RecordingSurface;

struct PathRow {
  const char* name;
  std::string path;
  std::optional<std::wstring> converted;
};

const std::string kLong = "C:/" + std::string(150, 'a') + "/" + std::string(150, 'b') + ".txt";

const PathRow kPathRows[] = {
    {"ShortPathUnchanged", "C:/data/cut off.txt", L"C:/data/cut off.txt"},
    {"NonAscii",
     "C:\\Gr\xC3\xBC\xC3\x9F"
     "e\\\xE6\x97\xA5.txt",
     L"C:\\Gr\u00FC\u00DFe\\\u65E5.txt"},
    {"LongDrivePath", kLong,
     L"\\\\?\\C:\\" + std::wstring(150, L'a') + L"\\" + std::wstring(150, L'b') + L".txt"},
    {"LongSharePath", "\\\\server\\share\\" + std::string(260, 'c'),
     L"\\\\?\\UNC\\server\\share\\" + std::wstring(260, L'c')},
    {"LongDotsResolved", "C:\\x\\..\\" + std::string(260, 'd'),
     L"\\\\?\\C:\\" + std::wstring(260, L'd')},
    {"AlreadyLongForm", "\\\\?\\C:\\data.txt", L"\\\\?\\C:\\data.txt"},
    {"Empty", "", std::nullopt},
    {"NotUtf8", "C:\\\xFF\xFE.txt", std::nullopt},
    {"Nul", "NUL", std::nullopt},
    {"ConInAFolderWithExtension", "C:\\data\\con.txt", std::nullopt},
    {"Com1", "com1", std::nullopt},
    {"Lpt9Spaced", "C:\\LPT9 .log", std::nullopt},
    {"ConsoleInput", "CONIN$", std::nullopt},
    {"Pipe", "\\\\.\\pipe\\nestmend", std::nullopt},
    {"Volume", "\\\\.\\C:", std::nullopt},
    {"GlobalRoot", "\\\\?\\GLOBALROOT\\Device\\Null", std::nullopt},
    {"ObjectManager", "\\??\\C:\\data.txt", std::nullopt},
};

class WindowsPaths : public ::testing::TestWithParam<PathRow> {};

TEST_P(WindowsPaths, AreConvertedOrRefused) {
  EXPECT_EQ(WindowsPath(GetParam().path), GetParam().converted);
}

INSTANTIATE_TEST_SUITE_P(Rows, WindowsPaths, ::testing::ValuesIn(kPathRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(Windows, DevicesPipesAndFoldersAreNeverOpenedOrChanged) {
  testing::TempDir dir;
  const HANDLE pipe = CreateNamedPipeW(L"\\\\.\\pipe\\nestmend-test", PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 0, 0, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  for (const std::string& path :
       {std::string(), (dir.path() / "missing").string(), dir.path().string(), std::string("NUL"),
        std::string("CON"), std::string("COM1"), std::string("\\\\.\\pipe\\nestmend-test")}) {
    RecordingSurface surface(path, false);
    Fixit(surface);
    EXPECT_EQ(surface.status, texts::kNothingDone) << path;
    EXPECT_EQ(surface.messages.size(), 1u) << path;
  }
  // No client ever connected to the pipe: it is still listening.
  EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING));
  CloseHandle(pipe);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(Windows, LongAndNonAsciiPathsAreRepaired) {
  testing::TempDir dir;
  const std::filesystem::path long_folder =
      dir.path() / std::string(120, 'd') / std::string(120, 'e');
  std::filesystem::create_directories(long_folder);
  for (const std::filesystem::path& file : {long_folder / (std::string(40, 'f') + ".txt"),
                                            dir.path() / u8"Gr\u00FC\u00DFe {\u65E5}.txt"}) {
    testing::WriteAll(file, "x {");
    ASSERT_GT(file.u8string().size(), std::size_t{0});
    const std::u8string utf8 = file.u8string();
    RecordingSurface surface(std::string(utf8.begin(), utf8.end()), false);
    Fixit(surface);
    EXPECT_EQ(surface.status, FixedSummary(1));
    EXPECT_EQ(testing::ReadAll(file), "x {}\r\n");
  }
}

}  // namespace
}  // namespace nestmend
