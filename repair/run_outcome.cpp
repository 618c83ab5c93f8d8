#include "run_outcome.h"

namespace nestmend {
namespace {

using Kind = RunOutcome::Kind;

std::string Lines(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " line" : " lines");
}

// "the 1 line "}" it lacks was", "the 2 lines "}" it lacks were": the verb agrees with the count.
std::string TheLinesItLacks(std::uint64_t count) {
  return "the " + Lines(count) + " \"}\" it lacks " + (count == 1 ? "was" : "were");
}

// What became of lines that could not be added: "it was not added", "none was added".
std::string NoneAdded(std::uint64_t count) {
  return count == 1 ? "it was not added." : "none was added.";
}

// Where a person looks for what was cut off, and the sentence's end.
std::string WhereTheBlockBegins(const RunOutcome& outcome) {
  if (!outcome.open_block_line) return ".";
  return "; the outermost block left open begins on line " +
         std::to_string(*outcome.open_block_line) + ".";
}

std::string ReadingReason(FileProblem problem) {
  if (problem == FileProblem::kNoPermission) {
    return "You are not allowed to read this file, so nothing was changed.";
  }
  return "The file could not be read to its end: the storage reported an error, and nothing was "
         "changed.";
}

std::string WritingReason(const RunOutcome& outcome) {
  const std::uint64_t lines = outcome.lines;
  switch (outcome.problem) {
    case FileProblem::kReadOnly:
      return "The file, or the disk it is on, is read-only, so " + TheLinesItLacks(lines) +
             " not added.";
    case FileProblem::kNoPermission:
      return "You are not allowed to change this file, so " + TheLinesItLacks(lines) +
             " not added.";
    case FileProblem::kUnsupported:
      return "The file only lets lines be added, never taken back, and the disk could not set "
             "room aside for " +
             std::string(lines == 1 ? "the " : "all ") + Lines(lines) + " \"}\" first, so " +
             NoneAdded(lines);
    default:
      return "The disk refused the " + Lines(lines) + " \"}\", so " +
             (lines == 1 ? "it was" : "they were") + " taken back and the file is as it was.";
  }
}

}  // namespace

std::string Reason(const RunOutcome& outcome) {
  switch (outcome.kind) {
    case Kind::kRepaired:
      return "Added " + Lines(outcome.lines) + " \"}\" at the end of the file, and " +
             (outcome.lines == 1 ? "it is" : "they are") + " safely on the disk" +
             WhereTheBlockBegins(outcome);
    case Kind::kLacking:
      return "Would add " + Lines(outcome.lines) + " \"}\" at the end of the file" +
             WhereTheBlockBegins(outcome);
    case Kind::kBalanced:
      return "Nothing was missing: every \"{\" in the file has its \"}\".";
    case Kind::kMoreClosing:
      return "The file has " + std::to_string(outcome.lines) +
             " more \"}\" than \"{\", so no block is left open and nothing was added.";
    case Kind::kNoPath:
      return "No file was named: type its path, choose it with \"...\", or drop it here.";
    case Kind::kPathNotExact:
      return "The name given cannot name a file exactly, so no file was opened; choose the file "
             "with \"...\".";
    case Kind::kMissing:
      return "There is no file at this path.";
    case Kind::kFolder:
      return "This path names a folder, not a file.";
    case Kind::kDevice:
      return "This path names a device, not a file.";
    case Kind::kPipe:
      return "This path names a pipe or a socket, not a file.";
    case Kind::kNotPlain:
      return "This path names something that is not an ordinary file.";
    case Kind::kCannotRead:
      return ReadingReason(outcome.problem);
    case Kind::kCannotWrite:
      return WritingReason(outcome);
    case Kind::kWideText:
      return "The file starts with a UTF-16 or UTF-32 byte-order mark: 8-bit \"}\" lines would "
             "corrupt its text, so none was added.";
    case Kind::kChanged:
      if (outcome.left_behind > 0) {
        return "Another program changed the file while the lines were being added, so the repair "
               "is not claimed; " +
               Lines(outcome.left_behind) + " \"}\" " +
               (outcome.left_behind == 1 ? "stays" : "stay") + " at its end.";
      }
      return "Another program changed the file while Nestmend worked on it, so nothing was added; "
             "try again when it is done.";
    case Kind::kHeld:
      return "Another program, or another repair, is using the file, so nothing was added; try "
             "again when it is done.";
    case Kind::kNoRoom:
      return "The disk has not enough room for the " + Lines(outcome.lines) +
             " \"}\" the file lacks, so " + NoneAdded(outcome.lines);
    case Kind::kTooLarge:
      return "The file-size limit leaves no room for the " + Lines(outcome.lines) +
             " \"}\" the file lacks, so " + NoneAdded(outcome.lines);
    case Kind::kLeftBehind:
    case Kind::kStoppedPartial:
      return (outcome.kind == Kind::kLeftBehind ? "The storage failed" : "Stopped") +
             std::string(" while the lines were being added, and ") +
             (outcome.lines == 1 ? std::string("the 1 line")
                                 : std::to_string(outcome.left_behind) + " of the " +
                                       Lines(outcome.lines)) +
             " \"}\" could not be taken back; run Nestmend again once the storage works, and it "
             "will complete the file.";
    case Kind::kStoppedUntouched:
      return "Stopped before the end: the file was left as it was.";
    case Kind::kStoppedCompleted:
      return "Stopped once the lines were on their way: the file was completed.";
    case Kind::kNoMemory:
      return "The system refused the memory the repair needed, so the file was left as it was.";
  }
  return {};
}

}  // namespace nestmend
