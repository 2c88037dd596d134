#include "support/stand_ins.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/platform.h"
#include "support/build.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

std::string program_file(std::string_view name) {
  return std::string(name) + std::string(build::exe_suffix);
}

fs::path test_binary_folder() {
  auto self = platform::executable_path();
  if (!self) throw std::runtime_error("no path of the test binary: " + self.error());
  return self->parent_path();
}

// Polls `done` every 10 ms for up to a minute.
template <typename Done>
bool wait_for(Done done) {
  for (int i = 0; i < 6000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

// Test processes may run side by side, and the copies beside the test binary have fixed
// names: one process at a time places them. The lock is a folder, since creating one either
// succeeds or finds it there; one left by a process that died is taken over in the end.
fs::path lock_folder() { return test_binary_folder() / "qel-test-stand-ins.lock"; }

void take_lock() {
  const fs::path lock = lock_folder();
  std::error_code ec;
  // The error-code form: another process may take or give back the lock between the system's
  // answer and the library's look at the folder, which the throwing form reports as a failure.
  if (wait_for([&] { return fs::create_directory(lock, ec); })) return;
  fs::remove(lock, ec);
  fs::create_directory(lock, ec);
}

void give_lock_back() {
  std::error_code ec;
  fs::remove(lock_folder(), ec);
}

// One record as the recorder writes it: fields "<key> <length>\n<bytes>\n".
std::optional<StandIns::Run> parse_record(const std::string& text) {
  StandIns::Run run;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t space = text.find(' ', at);
    const std::size_t line_end = text.find('\n', at);
    if (space == std::string::npos || line_end == std::string::npos || space > line_end) {
      return std::nullopt;
    }
    const std::string key = text.substr(at, space - at);
    const std::size_t size = std::stoul(text.substr(space + 1, line_end - space - 1));
    if (line_end + 1 + size + 1 > text.size()) return std::nullopt;
    std::string value = text.substr(line_end + 1, size);
    at = line_end + 1 + size + 1;
    if (key == "self") {
      run.self = platform::path_from_text(value);
    } else if (key == "arg") {
      run.args.push_back(std::move(value));
    } else if (key == "input") {
      run.input = std::move(value);
    } else {
      return std::nullopt;
    }
  }
  return run;
}

}  // namespace

fs::path StandIns::recorder() { return test_binary_folder() / program_file(RECORDER); }

StandIns::StandIns()
    : records_(folder_.path() / "records"), path_folder_(folder_.path() / "bin") {
  fs::create_directories(records_);
  fs::create_directories(path_folder_);
  env_.set("QEL_TEST_RECORDER_DIR", platform::name_bytes(records_));
  if (!build::windows) {
    env_.set("PATH", platform::name_bytes(path_folder_));
    copy_to(path_folder_, std::string(RECORDER));
  }
}

StandIns::~StandIns() {
  for (const std::string& name : held_) write_file(control(name, "release"), "");
  for (const std::string& name : held_) wait_until_ended(name);
  for (const fs::path& copy : placed_beside_binary_) {
    // A program that just ended may keep its file busy for a moment on Windows.
    wait_for([&] {
      std::error_code ec;
      fs::remove(copy, ec);
      return !ec;
    });
  }
  if (locked_) give_lock_back();
}

void StandIns::own_binary_folder() {
  if (!build::windows || locked_) return;
  take_lock();
  locked_ = true;
}

void StandIns::place(const std::string& name) {
  if (!build::windows) {
    copy_to(path_folder_, name);
    return;
  }
  const fs::path target = test_binary_folder() / program_file(name);
  if (name == RECORDER) return;  // built there
  own_binary_folder();
  fs::copy_file(recorder(), target, fs::copy_options::overwrite_existing);
  placed_beside_binary_.push_back(target);
}

fs::path StandIns::copy_to(const fs::path& folder, const std::string& name) const {
  const fs::path target = folder / program_file(name);
  fs::copy_file(recorder(), target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
  return target;
}

fs::path StandIns::control(const std::string& name, std::string_view what) const {
  return records_ / (name + "." + std::string(what));
}

void StandIns::exit_with(const std::string& name, int code) {
  write_file(control(name, "exit"), std::to_string(code));
}

void StandIns::print(const std::string& name, std::string_view bytes) {
  write_file(control(name, "stdout"), bytes);
}

void StandIns::ignore_input(const std::string& name) {
  write_file(control(name, "ignore-input"), "");
}

void StandIns::hold(const std::string& name) {
  write_file(control(name, "hold"), "");
  held_.insert(name);
}

void StandIns::release(const std::string& name) { write_file(control(name, "release"), ""); }

std::vector<StandIns::Run> StandIns::runs(const std::string& name) const {
  std::vector<Run> found;
  const std::string prefix = name + ".";
  const std::string suffix = ".record";
  for (const auto& entry : fs::directory_iterator(records_)) {
    const std::string file = platform::name_bytes(entry.path().filename());
    if (!file.starts_with(prefix) || !file.ends_with(suffix)) continue;
    // "<name>.<id>.record": the id has no dot, so "a.b" never passes for "a".
    const std::string id = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
    if (id.empty() || id.find('.') != std::string::npos) continue;
    auto run = parse_record(read_file(entry.path()));
    if (!run) throw std::runtime_error("malformed record " + file);
    run->ended = fs::exists(records_ / (prefix + id + ".done"));
    found.push_back(std::move(*run));
  }
  std::sort(found.begin(), found.end(),
            [](const Run& a, const Run& b) { return a.args < b.args; });
  return found;
}

bool StandIns::wait_for_runs(const std::string& name, std::size_t count) const {
  return wait_for([&] { return runs(name).size() >= count; });
}

bool StandIns::wait_until_ended(const std::string& name) const {
  return wait_for([&] {
    const auto all = runs(name);
    return std::all_of(all.begin(), all.end(), [](const Run& r) { return r.ended; });
  });
}

}  // namespace qel::test
