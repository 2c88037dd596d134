// The parts of the platform seam's contract that only POSIX lets a test show: symbolic
// links and permission bits.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/platform.h"
#include "support/files.h"

namespace qel::test {
namespace {

using platform::EntryKind;

unsigned mode_of(const fs::path& p) { return static_cast<unsigned>(fs::status(p).permissions()); }

TEST(PlatformPosix, LinksAreListedAsLinksAndNeverOpenedAsFolders) {
  const TempFolder folder;
  const fs::path& root = folder.path();
  const fs::path target = folder.write("target.txt", "12345");
  folder.folder("real/inside");
  fs::create_symlink(target, root / "file-link");
  fs::create_directory_symlink(root / "real", root / "folder-link");
  fs::create_symlink(root / "missing", root / "dangling");

  const auto listed = platform::list_folder(root);
  ASSERT_TRUE(listed) << listed.error();
  std::map<std::string, EntryKind> kinds;
  for (const auto& e : *listed) kinds[platform::name_bytes(e.name)] = e.kind;
  EXPECT_EQ(kinds, (std::map<std::string, EntryKind>{{"dangling", EntryKind::link},
                                                     {"file-link", EntryKind::link},
                                                     {"folder-link", EntryKind::link},
                                                     {"real", EntryKind::folder},
                                                     {"target.txt", EntryKind::file}}));

  // A link where a sub-folder was listed is refused, so a walk never leaves the tree.
  auto opened = platform::Folder::open(root);
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_TRUE(opened->open_child("real"));
  EXPECT_FALSE(opened->open_child("folder-link"));
  // Opened by its path, a link is followed.
  EXPECT_TRUE(platform::Folder::open(root / "folder-link"));

  // stat_path follows links; path_exists does when asked to.
  const auto followed = platform::stat_path(root / "file-link");
  ASSERT_TRUE(followed) << followed.error();
  EXPECT_EQ(followed->kind, EntryKind::file);
  EXPECT_EQ(followed->size, 5u);
  EXPECT_TRUE(platform::path_exists(root / "dangling", false));
  EXPECT_FALSE(platform::path_exists(root / "dangling", true));
}

// A file is read through links, to it or to a folder on its way; a link to anything but a
// regular file is refused like the thing itself.
TEST(PlatformPosix, ReadingFollowsLinksToRegularFiles) {
  const TempFolder folder;
  const fs::path& root = folder.path();
  folder.write("real/config.json", "{}");
  fs::create_directory_symlink(root / "real", root / "linked");
  fs::create_symlink(root / "real" / "config.json", root / "file-link");
  fs::create_symlink("/dev/zero", root / "zero-link");
  EXPECT_EQ(platform::read_file(root / "linked" / "config.json", 100).value(), "{}");
  EXPECT_EQ(platform::read_file(root / "file-link", 100).value(), "{}");
  const auto zero = platform::read_file(root / "zero-link", 100);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error(), "not a regular file");
}

TEST(PlatformPosix, PrivateAccessIsTheUsersAlone) {
  const TempFolder folder;
  const fs::path made = folder.path() / "private" / "deeper";
  ASSERT_TRUE(platform::create_folders(made, true));
  EXPECT_EQ(mode_of(folder.path() / "private"), 0700u);
  EXPECT_EQ(mode_of(made), 0700u);

  // A file that existed with wider access becomes private too; a shared one keeps it.
  const fs::path file = folder.write("secret", "old");
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
  ASSERT_TRUE(platform::write_file(file, "new", true));
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_EQ(read_file(file), "new");
  const fs::path shared = folder.write("shared", "old");
  fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(platform::write_file(shared, "new", false));
  EXPECT_EQ(mode_of(shared), 0640u);
}

}  // namespace
}  // namespace qel::test
