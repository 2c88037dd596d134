// Stand-ins for the programs qel starts: copies of the recorder program (tests/stand_in),
// which writes down how it was started and answers as the test tells it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/env.h"
#include "support/files.h"

namespace qel::test {

class StandIns {
 public:
  // The bare name under which the recorder as built is found: on Windows it lies beside
  // the test binary, on POSIX the constructor puts a copy on PATH.
  static constexpr std::string_view RECORDER = "qel-test-recorder";
  // The recorder as built, beside the test binary.
  static fs::path recorder();

  // Points the stand-ins at a record folder of their own; on POSIX, PATH becomes one
  // private folder holding a copy of the recorder, so no real program is in reach.
  StandIns();
  // Releases held stand-ins, waits for them to end, removes the copies it placed.
  ~StandIns();
  StandIns(const StandIns&) = delete;
  StandIns& operator=(const StandIns&) = delete;

  // Makes the bare program name `name` start a stand-in: a copy where the platform looks
  // first (POSIX: the PATH folder; Windows: beside the test binary, where test processes
  // take turns, so only one StandIns of a process may place copies at a time).
  void place(const std::string& name);
  // Keeps other test processes from placing copies beside the test binary until this ends:
  // for a test that looks up a system program, which such a copy would stand in for.
  void own_binary_folder();
  // A copy named `name` (with the platform's program suffix) in `folder`.
  fs::path copy_to(const fs::path& folder, const std::string& name) const;

  // How the stand-in `name` answers from now on.
  void exit_with(const std::string& name, int code);
  void print(const std::string& name, std::string_view bytes);  // instead of "recorded\n"
  void ignore_input(const std::string& name);                   // never reads its input
  void hold(const std::string& name);  // after recording, waits until released
  void release(const std::string& name);

  struct Run {
    fs::path self;                  // the copy that ran
    std::vector<std::string> args;  // after the program name, as text
    std::string input;              // all it read from standard input
    bool ended = false;             // it has finished
  };
  // The runs of the stand-in `name` recorded so far, ordered by their arguments.
  std::vector<Run> runs(const std::string& name) const;
  // Waits until `count` runs of `name` are recorded, or until all its runs have ended;
  // generous, since only the arrival matters. False when it never happens.
  bool wait_for_runs(const std::string& name, std::size_t count) const;
  bool wait_until_ended(const std::string& name) const;

  const fs::path& records() const { return records_; }
  ScopedEnv& env() { return env_; }

 private:
  fs::path control(const std::string& name, std::string_view what) const;

  TempFolder folder_;
  fs::path records_;
  fs::path path_folder_;
  ScopedEnv env_;
  std::set<std::string> held_;
  std::vector<fs::path> placed_beside_binary_;
  bool locked_ = false;
};

}  // namespace qel::test
