// Metadata, folder listings and canonical folder names on Windows.
#include <windows.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/windows/wide.h"
#include "platform/windows_rules.h"

namespace qel::platform {
namespace {

using windows::UniqueHandle;
using windows::win32_path;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// "The create operation stopped after reaching a symbolic link", missing from older headers.
constexpr int STOPPED_ON_SYMLINK = 681;

// Opens the entry at `path` for its metadata only: no access rights, so no sharing conflict
// and no data read. Backup semantics lets folders open too; links are followed unless
// `own_entry` asks for the entry itself.
UniqueHandle open_for_metadata(const fs::path& path, bool own_entry) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (own_entry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return UniqueHandle(::CreateFileW(win32_path(path).c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                    flags, nullptr));
}

// The reparse tag only means something when the entry is a reparse point.
std::uint32_t reparse_tag(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag : 0;
}

struct FindClose {
  void operator()(HANDLE search) const { ::FindClose(search); }
};

}  // namespace

Result<FileMeta> stat_path(const fs::path& path) {
  // The attributes of a link are the link's own (and its size 0), so the entry is opened,
  // which follows links, and asked.
  const UniqueHandle handle = open_for_metadata(path, false);
  if (!handle) return fail(last_error_text());
  // A device or pipe counts as empty and is therefore never read.
  if (::GetFileType(handle.get()) != FILE_TYPE_DISK) return FileMeta{EntryKind::file, 0};
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle.get(), &info)) return fail(last_error_text());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileMeta{EntryKind::folder, 0};
  }
  return FileMeta{EntryKind::file,
                  (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

// Opens a folder and holds it: without delete sharing, nobody can rename it, delete it or
// put a link in its place while it is open, so its path keeps naming what was opened. The
// listing right asks for what the listing will need anyway; backup semantics lets a folder
// open at all.
UniqueHandle hold_folder(const fs::path& path, bool own_entry) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (own_entry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return UniqueHandle(::CreateFileW(win32_path(path).c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    flags, nullptr));
}

// An open folder: listings are searches by its path, held steady by its handle. Long paths
// take the "\\?\" form, so a deep walk is limited only by the system's longest path.
struct Folder::State {
  State(fs::path path, UniqueHandle handle) : path(std::move(path)), handle(std::move(handle)) {}
  fs::path path;
  UniqueHandle handle;
};

Folder::Folder() = default;
Folder::Folder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;
Folder::~Folder() = default;

Result<Folder> Folder::open(const fs::path& path) {
  UniqueHandle handle = hold_folder(path, false);
  if (!handle) return fail(last_error_text());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle.get(), &info)) return fail(last_error_text());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return fail(system_error_text(ERROR_DIRECTORY));
  }
  return Folder(std::make_unique<State>(path, std::move(handle)));
}

Result<Folder> Folder::open_child(const fs::path& name) const {
  // The entry itself is examined, not what a link there leads to: a link that took the
  // sub-folder's place since the listing is refused, as the listing would have skipped it.
  fs::path child = state_->path / name;
  UniqueHandle handle = hold_folder(child, true);
  if (!handle) return fail(last_error_text());
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &info, sizeof info)) {
    return fail(last_error_text());
  }
  const DWORD attributes = info.FileAttributes;
  if (is_link_reparse_point(attributes, reparse_tag(attributes, info.ReparseTag))) {
    return fail(system_error_text(STOPPED_ON_SYMLINK));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return fail(system_error_text(ERROR_DIRECTORY));
  }
  return Folder(std::make_unique<State>(std::move(child), std::move(handle)));
}

Result<std::vector<FolderEntry>> Folder::entries() const {
  WIN32_FIND_DATAW data{};
  const HANDLE first =
      ::FindFirstFileExW(win32_path(state_->path / L"*").c_str(), FindExInfoBasic, &data,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  std::vector<FolderEntry> entries;
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // Nothing matched at all: an empty folder, not a failure.
    if (code == ERROR_FILE_NOT_FOUND) return entries;
    return fail(system_error_text(static_cast<int>(code)));
  }
  const std::unique_ptr<void, FindClose> search(first);
  do {
    const std::wstring_view name(data.cFileName);
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = data.dwFileAttributes;
    FolderEntry entry{fs::path(name), EntryKind::file, 0};
    if (is_link_reparse_point(attributes, reparse_tag(attributes, data.dwReserved0))) {
      entry.kind = EntryKind::link;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      entry.kind = EntryKind::folder;
    }
    if (entry.kind != EntryKind::folder) {
      entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    entries.push_back(std::move(entry));
    // A failure to read further, ERROR_NO_MORE_FILES or another, ends the listing here.
  } while (::FindNextFileW(first, &data));
  return entries;
}

std::optional<fs::path> canonical_folder(const fs::path& folder) {
  const UniqueHandle handle = open_for_metadata(folder, false);
  if (!handle) return std::nullopt;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle.get(), buffer.data(),
                                                static_cast<DWORD>(buffer.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n);  // the size needed, its terminating zero included
  }
  // The system answers in the verbatim form; the plain form is what a user would write.
  const std::wstring_view text(buffer);
  if (text.starts_with(L"\\\\?\\UNC\\")) return fs::path(L"\\\\" + std::wstring(text.substr(8)));
  if (text.starts_with(L"\\\\?\\") && text.size() >= 6 && text[5] == L':') {
    return fs::path(std::wstring(text.substr(4)));
  }
  return fs::path(buffer);
}

}  // namespace qel::platform
