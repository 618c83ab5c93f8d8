// Thousands of random files repaired for real: whatever the bytes, the balance is the file's own
// count of braces, the original bytes stay untouched and exactly the missing lines follow them.
#include <gtest/gtest.h>

#include <random>

#include "fixit.h"
#include "sequential_files.h"
#include "test_support.h"

namespace nestmend {
namespace {

TEST(RandomFiles, AreRepairedExactly) {
  std::mt19937_64 random(1206);
  testing::TempDir dir;
  const std::string path = (dir.path() / "random").string();
  static constexpr char kFavoured[] = {'{', '{', '}', '"', ',', '\r', '\n', ' ', 'x', '\x1A'};
  constexpr std::size_t kChunk = SequentialFiles::kChunkBytes;
  for (int round = 0; round < 2500; ++round) {
    // Mostly small files; every 50th sits within a few bytes of a chunk boundary.
    std::size_t size = std::uniform_int_distribution<std::size_t>(0, 3000)(random);
    if (round % 50 == 0) size = kChunk * (1 + random() % 2) + random() % 7 - 3;
    std::string original(size, '\0');
    for (char& byte : original) {
      byte = random() % 4 ? kFavoured[random() % sizeof(kFavoured)] : static_cast<char>(random());
    }
    testing::WriteAll(path, original);
    testing::OutcomeSurface surface(path);
    Fixit(surface);

    const std::int64_t balance = testing::BraceBalance(original);
    const std::string repaired = testing::ReadAll(path);
    ASSERT_EQ(repaired.size(), original.size() + 3 * static_cast<std::size_t>(std::max<std::int64_t>(0, balance)))
        << "round " << round;
    ASSERT_TRUE(repaired.compare(0, original.size(), original) == 0) << "round " << round;
    for (std::size_t at = original.size(); at < repaired.size(); at += 3) {
      ASSERT_EQ(repaired.substr(at, 3), "}\r\n") << "round " << round;
    }
    const std::string expected_summary =
        balance > 0 ? std::string(texts::kFixedBefore) + std::to_string(balance) + std::string(texts::kFixedAfter)
                    : std::string(texts::kNothingDone);
    ASSERT_EQ(surface.status, expected_summary) << "round " << round;
  }
}

}  // namespace
}  // namespace nestmend
