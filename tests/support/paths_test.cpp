#include "support/paths.h"

#include <sys/stat.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "tests/support/support_fixture.h"

namespace choralink {
namespace {

namespace fs = std::filesystem;
using test::listFolder;
using test::readFile;
using test::RenameFailure;
using test::ScopedEnv;
using test::TempFolder;
using test::writeFile;

// Every test runs with a private home and private XDG folders.
class PathsTest : public ::testing::Test {
 protected:
  TempFolder root;
  ScopedEnv home{"HOME", (root / "home").string()};
  ScopedEnv config{"XDG_CONFIG_HOME", (root / "config").string()};
  ScopedEnv state{"XDG_STATE_HOME", (root / "state").string()};
};

TEST_F(PathsTest, FoldersFollowXdgAndAreCreatedOnUseTheirFilesAreNot) {
  EXPECT_EQ(Paths::appSupport(), root / "config" / "Choralink");
  EXPECT_TRUE(fs::is_directory(root / "config" / "Choralink"));
  EXPECT_EQ(Paths::logs(), root / "state" / "Choralink" / "logs");
  EXPECT_TRUE(fs::is_directory(root / "state" / "Choralink" / "logs"));
  EXPECT_EQ(Paths::crashReports(), root / "state" / "Choralink" / "crashes");
  EXPECT_TRUE(fs::is_directory(root / "state" / "Choralink" / "crashes"));
  EXPECT_EQ(Paths::settingsFile(), root / "config" / "Choralink" / "settings.json");
  EXPECT_EQ(Paths::rateRestoreFile(), root / "config" / "Choralink" / "rate-restore.json");
  EXPECT_EQ(Paths::logFile(), root / "state" / "Choralink" / "logs" / "choralink.log");
  EXPECT_TRUE(listFolder(root / "config" / "Choralink").empty());
  EXPECT_TRUE(listFolder(root / "state" / "Choralink" / "logs").empty());
}

// Unset, relative or empty XDG variables are ignored.
TEST_F(PathsTest, WithoutUsableXdgVariablesFoldersLieUnderHome) {
  for (const auto& value : {std::optional<std::string>(), std::optional<std::string>("relative/x"),
                            std::optional<std::string>("")}) {
    ScopedEnv unusableConfig("XDG_CONFIG_HOME", value);
    ScopedEnv unusableState("XDG_STATE_HOME", value);
    EXPECT_EQ(Paths::appSupport(), root / "home" / ".config" / "Choralink")
        << value.value_or("unset");
    EXPECT_EQ(Paths::logs(), root / "home" / ".local" / "state" / "Choralink" / "logs");
  }
  EXPECT_FALSE(fs::exists("relative"));
}

TEST_F(PathsTest, EnsureCreatesParentsAndIgnoresFailure) {
  fs::path nested = root / "a" / "b" / "c";
  EXPECT_EQ(Paths::ensure(nested), nested);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(Paths::ensure(nested), nested);  // an existing folder is fine
  writeFile(root / "plain-file", "x");
  fs::path impossible = root / "plain-file" / "sub";
  EXPECT_EQ(Paths::ensure(impossible), impossible);
  EXPECT_FALSE(fs::exists(impossible));
}

TEST_F(PathsTest, WriteAtomicallyCreatesAndReplacesFilesKeepingTheirPermissions) {
  fs::path target = root / "data.json";
  Paths::writeAtomically(target, "first");
  EXPECT_EQ(readFile(target), "first");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  Paths::writeAtomically(target, "second, longer");
  EXPECT_EQ(readFile(target), "second, longer");
  Paths::writeAtomically(target, "");
  EXPECT_EQ(readFile(target), "");
  EXPECT_EQ(listFolder(root.path()), std::vector<std::string>{"data.json"});
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(PathsTest, WriteAtomicallyIntoAMissingFolderThrowsAndLeavesNothing) {
  fs::path target = root / "missing" / "data.json";
  EXPECT_THROW(Paths::writeAtomically(target, "bytes"), fs::filesystem_error);
  EXPECT_FALSE(fs::exists(root / "missing"));
}

TEST_F(PathsTest, FailedRenameLeavesTheOldFileAndNoTemporaryFile) {
  fs::path target = root / "data.json";
  writeFile(target, "old content");
  RenameFailure crash(EIO);
  try {
    Paths::writeAtomically(target, "new content that never lands");
    FAIL() << "a failed rename must be reported";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.code(), std::error_code(EIO, std::generic_category()));
    EXPECT_EQ(error.path1(), target);
  }
  EXPECT_EQ(crash.attempts(), 1);
  EXPECT_EQ(readFile(target), "old content");
  EXPECT_EQ(listFolder(root.path()), std::vector<std::string>{"data.json"});
}

}  // namespace
}  // namespace choralink
