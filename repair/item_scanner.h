// Divides a file's bytes into data items, a chunk at a time.
//
// The rules, chosen so that every "{" and "}" byte of a file is counted exactly once wherever it
// stands, and so that the brace balance is always the file's count of "{" less its count of "}":
//  - An item that begins with a double quote runs to the next double quote; commas, braces and
//    line ends between the two quotes belong to it, the quotes do not. Whatever follows the
//    closing quote up to the next comma or line end belongs to the item too, quotes included.
//  - Any other item ends at the first comma or line end, which is consumed and not part of it.
//    Blanks and double quotes inside it are ordinary characters.
//  - CR LF is one line end; a lone CR and a lone LF each end a line as well.
//  - A blank line is one empty item; a comma directly before a line end leaves an empty item.
//  - The file's end ends the last item, whatever it holds: trailing blanks, an open quote.
//  - No other byte is special: 0x1A, NUL and binary bytes are characters like any other.
// So every read consumes at least one byte, and braces are never delimiters or quotes: they are
// always characters of some item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace nestmend {

// Where the reader stands between two bytes.
struct ItemReaderState {
  bool in_item = false;     // an item has begun and not yet ended
  bool quoted = false;      // inside the quotes of a quoted item
  bool swallow_lf = false;  // the last item ended at a CR: an LF next is part of that line end

  bool operator==(const ItemReaderState&) const = default;
};

// What one chunk of bytes held: its items (the first pass, kItems), or its braces and lines (the
// second, kBraces); its length and digest either way.
struct ChunkItems {
  std::uint64_t items_started = 0;
  std::int64_t brace_balance = 0;  // "{" less "}" among the chunk's bytes
  // Which item holds the chunk's last character, counted among the items the chunk starts
  // (1 = the first); 0 when it is the item that continues from before the chunk. False
  // has_character: the chunk holds no character at all, only delimiters and quotes.
  bool has_character = false;
  std::uint64_t last_character_item = 0;
  std::uint64_t bytes = 0;  // how many there are
  // A digest of the bytes, taken in pieces of kDigestPieceBytes from their start: two passes
  // that scan the same bytes, cut alike where not at a piece's end, get the same digest. Any
  // change of bytes gives another, but for blocks of 64 bytes moved within a piece, which
  // change no brace count.
  std::uint64_t digest = 0;

  // Lines and blocks, whatever the items: so that a repair can tell on which line the outermost
  // block left open began.
  std::uint64_t line_ends = 0;  // CR LF, a lone LF or a lone CR
  bool starts_with_lf = false;  // after a CR, its LF: one line end across two pieces
  bool ends_with_cr = false;
  std::int64_t lowest_balance = 0;  // the lowest the running balance goes, from 0 before it
  // The last "{" met with the running balance at its lowest so far: while the balance stays
  // above that, the outermost block left open begins there.
  bool has_opening = false;
  std::int64_t opening_balance = 0;  // the running balance before it
  std::uint64_t opening_line = 0;    // line ends before it

  bool operator==(const ChunkItems&) const = default;
};

inline constexpr std::size_t kDigestPieceBytes = std::size_t{16} << 10;

// What two pieces of bytes, the second right after the first, hold together. Scanning them at
// once gives the same, where the first is whole pieces of the digest: cut elsewhere, the digest
// differs, and depends on the order of the pieces too.
ChunkItems Combine(const ChunkItems& first, const ChunkItems& second);

enum class ItemDetail {
  kItems,   // the items: for counting, and for the bar
  kBraces,  // the braces and lines, whatever the items: for the repair
};

// Scans bytes that continue the reader's state (kItems; kBraces needs none). Fast: takes whole
// 64-byte blocks at once, with bit masks of the bytes that matter (scan_loop.h).
ChunkItems ScanItems(std::span<const char> bytes, ItemReaderState& state, ItemDetail detail);

// The instruction sets ScanItems chooses from, so tests can check each one: the plain one, then
// x86's from the plainest, then ARM64's. Each is as good as the one before it where it exists.
enum class VectorUnit { kPortable, kSse2, kAvx2, kAvx512, kNeon };
VectorUnit BestVectorUnit();
ChunkItems ScanItemsUsing(VectorUnit unit, std::span<const char> bytes, ItemReaderState& state,
                          ItemDetail detail);

// The same, a byte at a time: the plain statement of the rules that ScanItems is checked against.
ChunkItems ScanItemsReference(std::span<const char> bytes, ItemReaderState& state,
                              ItemDetail detail);

// What one byte was to the reader.
enum class ByteRole {
  kCharacter,    // part of the current item
  kQuote,        // the opening or closing quote of a quoted item
  kDelimiter,    // ends the current item
  kLineEndTail,  // the LF of a CR LF line end
};

// Advances the reader by one byte. `started` is set when the byte begins a new item.
ByteRole StepItemReader(ItemReaderState& state, char byte, bool& started);

}  // namespace nestmend
