// Repairs each input as a real file and checks everything a run promises: it ends; the balance
// is the file's "{" less its "}"; the original bytes are untouched and exactly max(0, balance)
// lines "}" CR LF follow them; and what the window was shown keeps the order of a repair.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fixit.h"
#include "test_support.h"

namespace {

using nestmend::testing::RecordingSurface;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fixit_fuzzer: %s\n", what);
  std::abort();
}

void Expect(bool holds, const char* what) {
  if (!holds) Fail(what);
}

// The order of a run, checked on its own terms rather than against another reading.
void CheckOrder(const RecordingSurface& surface, std::int64_t balance) {
  const std::vector<std::string>& operations = surface.operations;
  Expect(!operations.empty() && operations.front() == "STAT=Preparing To Fix",
         "the run does not begin with \"Preparing To Fix\"");
  Expect(operations.back() == "Message", "the closing message is not the last thing shown");
  std::size_t fixing = 0;
  std::size_t summary = 0;
  for (std::size_t at = 0; at < operations.size(); ++at) {
    if (operations[at] == "STAT=Fixing File") fixing = at;
    if (operations[at].starts_with("STAT=Summary:")) summary = at;
  }
  Expect(fixing > 0 && summary > fixing && summary + 2 == operations.size() - 1,
         "the status texts are out of order");
  Expect(operations[summary + 1].starts_with("Reason="), "the summary comes without its reason");
  Expect(operations[fixing - 1].starts_with("Max="), "the count does not end by setting Max");
  Expect(std::stof(operations[fixing - 1].substr(4)) > 0, "Max from the count is not above 0");
  float maximum = 100;
  for (const std::string& operation : operations) {
    const bool is_max = operation.starts_with("Max=");
    if (!is_max && !operation.starts_with("Value=")) continue;
    const float number = std::stof(operation.substr(is_max ? 4 : 6));
    if (is_max && number > 0) maximum = number;
    Expect(is_max || (number >= 0 && number <= maximum), "a Value outside the bar's range was set");
  }
  Expect(surface.messages.size() == 1, "not exactly one closing message");
  Expect(balance <= 0 || surface.value == static_cast<float>(balance - 1),
         "the bar does not end on the last appended line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const nestmend::testing::TempDir dir;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string path = dir.Write("input", input);
  // UTF-16 and UTF-32 text is read, but 8-bit lines are never appended to it.
  const bool wide = input.starts_with("\xFF\xFE") || input.starts_with("\xFE\xFF") ||
                    input.starts_with(std::string_view("\0\0\xFE\xFF", 4));
  // What a reading one byte at a time on one thread shows, every batch expanded.
  RecordingSurface literal(path);
  nestmend::Fixit(literal, nestmend::SystemFiles(), {.chunk_bytes = 1, .threads = 1});
  dir.Write("input", input);

  RecordingSurface surface(path);
  // Chunks small enough for quoted items and line ends to straddle them, 1 to 8 threads.
  const nestmend::ReadPlan plan{1 + size % 61, static_cast<unsigned>(1 + size % 8)};
  nestmend::Fixit(surface, nestmend::SystemFiles(), plan);

  const std::int64_t balance = nestmend::testing::BraceBalance(input);
  const std::string expected = input + nestmend::testing::Lines(wide ? 0 : balance);
  Expect(nestmend::testing::ReadAll(path) == expected,
         "the file is not its original bytes followed by exactly the missing lines");
  CheckOrder(surface, balance);
  Expect(surface.operations == literal.operations,
         "what was shown differs from reading the file a byte at a time");
  return 0;
}
