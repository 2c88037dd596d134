#include "recorder.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>

namespace qel_stand_in {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_whole(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_stdin() {
  std::string input;
  char buffer[65536];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, stdin);
    input.append(buffer, n);
    if (n < sizeof buffer) return input;
  }
}

void write_stream(std::FILE* stream, std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

void add_field(std::string& out, std::string_view key, std::string_view value) {
  out.append(key);
  out += ' ';
  out += std::to_string(value.size());
  out += '\n';
  out.append(value);
  out += '\n';
}

// The path of a file in the record folder named after this copy.
fs::path named(const fs::path& records, const fs::path& stem, std::string_view suffix) {
  fs::path name = stem;
  name += std::string(suffix);
  return records / name;
}

}  // namespace

int run(const Start& start) {
  write_stream(stderr, "stand-in: standard error\n");
  if (!start.records) {
    write_stream(stdout, "recorded\n");
    return 0;
  }
  const fs::path& records = *start.records;
  const fs::path stem = start.self.stem();
  std::error_code ec;

  const std::string input = fs::exists(named(records, stem, ".ignore-input"), ec) ? "" : read_stdin();

  std::random_device random;
  const std::string id = std::to_string(random()) + "-" + std::to_string(random());
  std::string record;
  add_field(record, "self", start.self_text);
  for (const std::string& arg : start.args) add_field(record, "arg", arg);
  add_field(record, "input", input);
  // Written aside and renamed, so a reader never sees half a record.
  const fs::path part = named(records, stem, "." + id + ".part");
  write_whole(part, record);
  fs::rename(part, named(records, stem, "." + id + ".record"), ec);

  write_stream(stdout, read_whole(named(records, stem, ".stdout")).value_or("recorded\n"));

  if (fs::exists(named(records, stem, ".hold"), ec)) {
    // Bounded, so a test that never releases it leaves nothing running for long.
    for (int i = 0; i < 600 && !fs::exists(named(records, stem, ".release"), ec); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  int code = 0;
  if (auto text = read_whole(named(records, stem, ".exit"))) code = std::stoi(*text);
  write_whole(named(records, stem, "." + id + ".done"), "");
  return code;
}

}  // namespace qel_stand_in
