#include "upload/collect.h"

#include <algorithm>
#include <deque>
#include <string_view>
#include <utility>

namespace qel {
namespace {

namespace fs = std::filesystem;
using PathString = fs::path::string_type;

// Sub-folders whose own sub-folders are still to come keep their folder open, so that the
// next one opens relative to it; past this many, the shallowest is closed and opened again
// by its path when needed.
constexpr std::size_t MAX_OPEN_FOLDERS = 32;

std::string too_many_files() {
  return "too many files (a transfer can have at most " + std::to_string(MAX_FILES) +
         "; archive the folder first)";
}

bool folder_follows(const std::vector<platform::FolderEntry>& entries, std::size_t from) {
  return std::any_of(entries.begin() + static_cast<std::ptrdiff_t>(from), entries.end(),
                     [](const auto& e) { return e.kind == platform::EntryKind::folder; });
}

// One folder of the walk still being looked at. The paths and prefixes of all levels share
// one buffer each; a frame remembers how much of it is its own, so a walk of depth d holds
// O(d) text rather than O(d^2).
struct Frame {
  std::vector<platform::FolderEntry> entries;
  std::size_t next = 0;
  platform::Folder folder;   // open while a sub-folder of it may still be opened
  std::size_t path_length;   // the folder's path with a separator, ready for a name
  std::size_t prefix_length; // its prefix with "_"
};

}  // namespace

bool compare_entry_names(const platform::FolderEntry& a, const platform::FolderEntry& b) {
  // std::string compares its characters as unsigned bytes.
  return std::string_view(platform::name_bytes(a.name)) <
         std::string_view(platform::name_bytes(b.name));
}

void add_file(std::vector<FileEntry>& files, fs::path path, std::string name, std::uint64_t size,
              std::vector<std::string>& warnings) {
  if (size == 0) {
    warnings.push_back("skipped empty file: " + platform::path_text(path));
    return;
  }
  files.push_back(FileEntry{std::move(path), std::move(name), size});
}

// Depth first with an explicit stack, so deep nesting costs heap, not call stack; the order
// is that of a recursive walk.
Status walk_folder(const fs::path& folder, const std::string& prefix,
                   std::vector<FileEntry>& files, std::vector<std::string>& warnings) {
  auto opened = platform::Folder::open(folder);
  if (!opened) return fail(platform::path_text(folder) + ": " + opened.error());
  auto listed = opened->entries();
  if (!listed) return fail(platform::path_text(folder) + ": " + listed.error());

  // The platform's rule for joining a name to the folder's path as named.
  const PathString joined = (folder / "x").native();
  PathString path = joined.substr(0, joined.size() - 1);
  std::string name_prefix = prefix + "_";

  std::vector<Frame> stack;
  std::deque<std::size_t> open_frames;  // indexes of frames holding an open folder, in order
  auto push = [&](std::vector<platform::FolderEntry> entries, platform::Folder handle) {
    std::stable_sort(entries.begin(), entries.end(), compare_entry_names);
    const bool keep = folder_follows(entries, 0);
    stack.push_back(Frame{std::move(entries), 0, keep ? std::move(handle) : platform::Folder(),
                          path.size(), name_prefix.size()});
    if (keep) open_frames.push_back(stack.size() - 1);
  };
  push(std::move(listed).value(), std::move(opened).value());

  while (!stack.empty()) {
    Frame& top = stack.back();
    path.resize(top.path_length);
    name_prefix.resize(top.prefix_length);

    if (top.next == top.entries.size()) {
      if (top.folder.is_open()) open_frames.pop_back();
      stack.pop_back();
      if (!stack.empty() && files.size() > MAX_FILES) return fail(too_many_files());
      continue;
    }

    const platform::FolderEntry& entry = top.entries[top.next++];
    path += entry.name.native();
    if (entry.kind == platform::EntryKind::link) {
      warnings.push_back("skipped symbolic link: " + platform::path_text(fs::path(path)));
      continue;
    }
    name_prefix += platform::path_text(entry.name);

    if (entry.kind == platform::EntryKind::file) {
      add_file(files, fs::path(path), name_prefix, entry.size, warnings);
      if (files.size() > MAX_FILES) return fail(too_many_files());
      continue;
    }

    // A sub-folder: open it relative to its parent, reopening the parent first if its
    // folder was closed to stay within the limit of open folders.
    if (!top.folder.is_open()) {
      const fs::path own = stack.size() == 1 ? folder
                                             : fs::path(path.substr(0, top.path_length - 1));
      auto reopened = platform::Folder::open(own);
      if (!reopened) return fail(platform::path_text(own) + ": " + reopened.error());
      top.folder = std::move(reopened).value();
      open_frames.push_back(stack.size() - 1);
    }
    auto child = top.folder.open_child(entry.name);
    if (!child) return fail(platform::path_text(fs::path(path)) + ": " + child.error());
    auto child_entries = child->entries();
    if (!child_entries) {
      return fail(platform::path_text(fs::path(path)) + ": " + child_entries.error());
    }
    if (!folder_follows(top.entries, top.next)) {
      top.folder = platform::Folder();
      open_frames.pop_back();
    }
    if (open_frames.size() >= MAX_OPEN_FOLDERS) {
      stack[open_frames.front()].folder = platform::Folder();
      open_frames.pop_front();
    }
    path += fs::path::preferred_separator;
    name_prefix += '_';
    push(std::move(child_entries).value(), std::move(child).value());
  }
  return {};
}

Result<std::vector<FileEntry>> collect_files(const std::vector<fs::path>& paths,
                                             std::vector<std::string>& warnings) {
  std::vector<FileEntry> files;
  for (const fs::path& path : paths) {
    auto meta = platform::stat_path(path);
    if (!meta) return fail(platform::path_text(path) + ": " + meta.error());
    switch (meta->kind) {
      case platform::EntryKind::folder: {
        std::string prefix = "folder";
        if (auto canonical = platform::canonical_folder(path); canonical && canonical->has_filename()) {
          prefix = platform::path_text(canonical->filename());
        }
        if (auto walked = walk_folder(path, prefix, files, warnings); !walked) {
          return fail(std::move(walked).error());
        }
        break;
      }
      case platform::EntryKind::file: {
        const fs::path last = path.filename();
        add_file(files, path, last.empty() ? std::string("file") : platform::path_text(last),
                 meta->size, warnings);
        break;
      }
      case platform::EntryKind::link:
        break;  // still a link after following: nothing to send
    }
  }
  if (files.empty()) return fail("no files to send");
  if (files.size() > MAX_FILES) {
    return fail("too many files: " + std::to_string(files.size()) +
                " (a transfer can have at most " + std::to_string(MAX_FILES) +
                "; archive the folder first)");
  }
  return files;
}

std::uint64_t total_size(const std::vector<FileEntry>& files) {
  std::uint64_t total = 0;
  for (const FileEntry& entry : files) total += entry.size;
  return total;
}

}  // namespace qel
