// Writes a cut-off test file for the benchmarks and prints how many "}" lines it lacks.
// usage: make_bench_file nested|minified|single SIZE PATH   (SIZE in bytes, or with K, M or G)
//  nested:   indented "key = value," lines inside "name {" ... "}" blocks, some quoted strings
//            holding commas and braces, a quarter of the lines ending in CR LF
//  minified: one line of nested objects with commas and quoted strings
//  single:   one single item: no comma, no line end
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

namespace {

class Writer {
 public:
  explicit Writer(std::FILE* file) : file_(file) { buffer_.reserve(1 << 20); }
  ~Writer() { Flush(); }
  void Put(std::string_view text) {
    buffer_ += text;
    written_ += text.size();
    if (buffer_.size() >= (1 << 20)) Flush();
  }
  std::uint64_t written() const { return written_; }

 private:
  void Flush() {
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) std::exit(1);
    buffer_.clear();
  }
  std::FILE* file_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

std::int64_t Nested(Writer& out, std::uint64_t size, std::mt19937_64& random) {
  std::int64_t depth = 0;
  while (out.written() < size) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    const char* line_end = random() % 4 == 0 ? "\r\n" : "\n";
    const auto roll = random() % 10;
    if ((roll == 0 && depth < 6) || depth == 0) {
      out.Put(indent + "section" + std::to_string(random() % 100) + " {" + line_end);
      ++depth;
    } else if (roll == 1) {
      --depth;
      out.Put(std::string(static_cast<std::size_t>(2 * depth), ' ') + "}" + line_end);
    } else if (roll == 2) {
      out.Put(indent + "label = \"a, {quoted} b\"," + line_end);
    } else {
      out.Put(indent + "key" + std::to_string(random() % 1000) + " = " +
              std::to_string(random() % 100000) + "," + line_end);
    }
  }
  return depth;
}

std::int64_t Minified(Writer& out, std::uint64_t size, std::mt19937_64& random) {
  std::int64_t depth = 1;
  out.Put("{");
  while (out.written() < size) {
    const auto roll = random() % 8;
    const std::string key = "\"k" + std::to_string(random() % 1000) + "\":";
    if ((roll == 0 && depth < 8) || depth == 1) {
      out.Put(key + "{");
      ++depth;
    } else if (roll == 1) {
      out.Put("},");
      --depth;
    } else if (roll == 2) {
      out.Put(key + "\"text, {with} braces\",");
    } else {
      out.Put(key + std::to_string(random() % 100000) + ",");
    }
  }
  return depth;
}

std::int64_t Single(Writer& out, std::uint64_t size) {
  out.Put("{{{");
  while (out.written() < size) out.Put("lorem{ipsum}dolor sit amet; ");
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s nested|minified|single SIZE[K|M|G] PATH\n", argv[0]);
    return 2;
  }
  const std::string_view kind = argv[1];
  char* unit = nullptr;
  std::uint64_t size = std::strtoull(argv[2], &unit, 10);
  if (*unit == 'K') size <<= 10;
  if (*unit == 'M') size <<= 20;
  if (*unit == 'G') size <<= 30;
  std::FILE* file = std::fopen(argv[3], "wb");
  if (!file) return 1;
  std::mt19937_64 random(2026);
  std::int64_t missing = 0;
  {
    Writer out(file);
    if (kind == "nested") {
      missing = Nested(out, size, random);
    } else if (kind == "minified") {
      missing = Minified(out, size, random);
    } else if (kind == "single") {
      missing = Single(out, size);
    } else {
      return 2;
    }
  }
  if (std::fclose(file) != 0) return 1;
  std::printf("%lld\n", static_cast<long long>(missing));
  return 0;
}
