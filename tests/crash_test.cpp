// Killing the repair at random moments: the original bytes survive every kill, nothing but
// whole "}" lines (and at worst one torn line) follows them, and a second repair completes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "fixit.h"
#include "test_support.h"

namespace nestmend {
namespace {

TEST(Crash, KilledMidRepairLosesNothingAndASecondRunFinishes) {
  constexpr std::size_t kOpens = 2'000'000;  // 6 MB of lines to append
  const std::string original = "data {\r\n" + std::string(kOpens - 1, '{');
  std::mt19937_64 random(99);
  testing::TempDir dir;
  const std::string path = (dir.path() / "file").string();
  int killed_before_writing = 0;
  int killed_while_appending = 0;
  for (int round = 0; round < 40; ++round) {
    testing::WriteAll(path, original);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      testing::OutcomeSurface surface(path);
      Fixit(surface);
      _exit(0);
    }
    usleep(static_cast<useconds_t>(random() % 30000));  // the moment of the kill is the input
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    const std::string after_kill = testing::ReadAll(path);
    ASSERT_TRUE(after_kill.compare(0, original.size(), original) == 0) << "round " << round;
    ASSERT_EQ(after_kill.find_first_not_of("}\r\n", original.size()), std::string::npos)
        << "round " << round;
    if (after_kill.size() == original.size()) {
      ++killed_before_writing;
    } else if (after_kill.size() < original.size() + 3 * kOpens) {
      ++killed_while_appending;
    }

    testing::OutcomeSurface surface(path);
    Fixit(surface);
    const std::string repaired = testing::ReadAll(path);
    ASSERT_EQ(testing::BraceBalance(repaired), 0) << "round " << round;
    ASSERT_TRUE(repaired.compare(0, original.size(), original) == 0) << "round " << round;
  }
  RecordProperty("killed_before_writing", killed_before_writing);
  RecordProperty("killed_while_appending", killed_while_appending);
  EXPECT_GT(killed_before_writing, 0);
}

}  // namespace
}  // namespace nestmend
