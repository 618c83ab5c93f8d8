// How a file divides into data items, and the file operations' contracts.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

using testing::TempDir;

struct ItemRow {
  const char* name;
  std::string bytes;
  std::vector<std::string> items;
};

std::string Bytes(const char* text, std::size_t size) { return {text, size}; }

const ItemRow kItemRows[] = {
    {"EmptyFile", "", {}},
    {"CommasAroundABrace", "a,{,b", {"a", "{", "b"}},
    {"CrLf", "a {\r\nb }\r\n", {"a {", "b }"}},
    {"LoneCr", "a\rb\r", {"a", "b"}},
    {"LoneLf", "a\nb\n", {"a", "b"}},
    {"LfThenCrAreTwoLineEnds", "\n\r", {"", ""}},
    {"BlankLines", "a\r\n\r\n\nb", {"a", "", "", "b"}},
    {"EndsInBlankLine", "a\r\n\r\n", {"a", ""}},
    {"QuotedCommaAndBraces", "\"x,{y}\",z", {"x,{y}", "z"}},
    {"QuotedLineEnd", "\"a\r\nb\"\r\nc", {"a\r\nb", "c"}},
    {"TextAfterClosingQuote", "\"ab\"c\"}d,e", {"abc\"}d", "e"}},
    {"QuoteLeftOpenAtEnd", "\"ab{,c\r\n", {"ab{,c\r\n"}},
    {"QuoteInsideUnquotedItem", "a\"b,c\"", {"a\"b", "c\""}},
    {"BlanksBeforeAQuoteKeepItUnquoted", "  \"a,b\"", {"  \"a", "b\""}},
    {"TrailingBlanksAfterLastLineEnd", "a\r\n  \t", {"a", "  \t"}},
    {"LastLineWithoutLineEnd", "x {", {"x {"}},
    {"CommaBeforeLineEnd", "a,\r\nb", {"a", "", "b"}},
    {"ControlAndNulBytesAreCharacters", Bytes("a\x1A{\0}\xFF", 6), {Bytes("a\x1A{\0}\xFF", 6)}},
};

class ItemRules : public ::testing::TestWithParam<ItemRow> {};

TEST_P(ItemRules, ReadsTheItemsAndEndsAtTheEndOfTheFile) {
  const ItemRow& row = GetParam();
  TempDir dir;
  const std::string path = dir.Write("items", row.bytes);
  SequentialFiles files(SystemFiles());
  ASSERT_TRUE(files.OpenForInput(path, kFileNumber));
  std::vector<std::string> items;
  while (files.AtEndOfFile(kFileNumber) == false) {
    std::string item;
    ASSERT_TRUE(files.ReadDataItem(kFileNumber, item)) << "after " << items.size() << " items";
    items.push_back(item);
  }
  EXPECT_EQ(items, row.items);
  std::string unchanged = "kept";
  EXPECT_FALSE(files.ReadDataItem(kFileNumber, unchanged));
  EXPECT_EQ(unchanged, "kept");

  // The chunked read sees as many items.
  files.CloseAllFiles();
  ASSERT_TRUE(files.OpenForInput(path, kFileNumber));
  std::uint64_t items_started = 0;
  ItemChunk chunk;
  while (files.AtEndOfFile(kFileNumber) == false) {
    ASSERT_TRUE(files.ReadDataItems(kFileNumber, ItemDetail::kItemsAndBraces, chunk));
    items_started += chunk.items.items_started;
  }
  EXPECT_EQ(items_started, row.items.size());
}

INSTANTIATE_TEST_SUITE_P(Rows, ItemRules, ::testing::ValuesIn(kItemRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(FileOperations, NumberOneIsBoundToOneFileAtATime) {
  TempDir dir;
  const std::string first = dir.Write("first", "a,b");
  const std::string second = dir.Write("second", "z");
  SequentialFiles files(SystemFiles());
  EXPECT_FALSE(files.OpenForInput(first, 2));
  ASSERT_TRUE(files.OpenForInput(first, kFileNumber));
  EXPECT_FALSE(files.OpenForInput(second, kFileNumber));
  EXPECT_FALSE(files.OpenForAppend(second, kFileNumber));
  std::string item;
  ASSERT_TRUE(files.ReadDataItem(kFileNumber, item));
  EXPECT_EQ(item, "a");  // still the first file
  files.CloseAllFiles();
  EXPECT_EQ(files.AtEndOfFile(kFileNumber), std::nullopt);
  EXPECT_FALSE(files.ReadDataItem(kFileNumber, item));
  EXPECT_FALSE(files.PrintLine(kFileNumber, "}"));
  files.CloseAllFiles();  // with nothing open, does nothing
}

TEST(FileOperations, RefusesWhatIsNotARegularFileWithoutBlocking) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = (dir.path() / "socket").string();
  const int socket_handle = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket_path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(socket_handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  SequentialFiles files(SystemFiles());
  for (const std::string& path : {std::string(), (dir.path() / "missing").string(),
                                  dir.path().string(), fifo, socket_path, std::string("/dev/zero"),
                                  std::string("/dev/null")}) {
    EXPECT_FALSE(files.OpenForInput(path, kFileNumber)) << path;
    EXPECT_FALSE(files.OpenForAppend(path, kFileNumber)) << path;
  }
  close(socket_handle);
}

TEST(FileOperations, AppendsWholeLinesAfterTheLastByteAndNeverCreates) {
  TempDir dir;
  const std::string path = dir.Write("file", "x {");
  const std::string missing = (dir.path() / "missing").string();
  SequentialFiles files(SystemFiles());
  EXPECT_FALSE(files.OpenForAppend(missing, kFileNumber));
  EXPECT_FALSE(std::filesystem::exists(missing));

  ASSERT_TRUE(files.OpenForAppend(path, kFileNumber));
  EXPECT_TRUE(files.PrintLine(kFileNumber, "}"));
  EXPECT_TRUE(files.PrintLines(kFileNumber, "}", 2));
  files.CloseAllFiles();  // writes out what is pending
  EXPECT_EQ(testing::ReadAll(path), "x {}\r\n}\r\n}\r\n");
}

TEST(FileOperations, AppendRefusesAFileThatIsNoLongerTheOneExpected) {
  TempDir dir;
  const std::string path = dir.Write("file", "{");
  SequentialFiles files(SystemFiles());
  ASSERT_TRUE(files.OpenForInput(path, kFileNumber));
  const std::optional<FileIdentity> scanned = files.InputIdentity(kFileNumber);
  files.CloseAllFiles();
  testing::WriteAll(path, "{{");
  EXPECT_FALSE(files.OpenForAppend(path, kFileNumber, scanned));
  testing::WriteAll(path + ".new", "{");
  std::filesystem::rename(path + ".new", path);  // same bytes, another file
  EXPECT_FALSE(files.OpenForAppend(path, kFileNumber, scanned));
}

}  // namespace
}  // namespace nestmend
