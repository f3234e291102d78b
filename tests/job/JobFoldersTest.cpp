// The job's folders: the root is created or checked (never a link, another user's folder, or a folder others
// may write into), spool and matte folders are private, removal never follows links, and job ids are fresh.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "plugin/JobFolders.h"
#include "tests/job/Files.h"

namespace {

using jobtest::modeOf;

constexpr uid_t kOtherUser = 65534;

// What stands at a path before the job uses it: a link, a file, another user's folder, one that others may
// write into, or nothing with no parent. Each is refused as a root, and all but the open one as a matte folder.
class JobFolders : public ::testing::Test {
 protected:
  void SetUp() override { oldMask_ = ::umask(022); }
  void TearDown() override { ::umask(oldMask_); }
  kesto::testing::ScratchFolder scratch_{"trevane-job"};

  // The folder `name` under the scratch folder, made as `kind` says, with its closing '/'.
  std::string make(const std::string &name, const std::string &kind) {
    const std::string path = scratch_.dir() + name;
    if (kind == "link") {
      EXPECT_EQ(0, ::mkdir((path + "-target").c_str(), 0700));
      EXPECT_EQ(0, ::symlink((path + "-target").c_str(), path.c_str()));
    } else if (kind == "file") {
      std::ofstream(path) << "x";
    } else if (kind == "foreign" || kind == "open") {
      EXPECT_EQ(0, ::mkdir(path.c_str(), 0700));
      const int changed = kind == "foreign" ? ::chown(path.c_str(), kOtherUser, kOtherUser) : ::chmod(path.c_str(), 0777);
      EXPECT_EQ(0, changed) << kind;
    }
    return kind == "orphan" ? path + "/no/such/" : path + "/";
  }

 private:
  mode_t oldMask_ = 0;
};

TEST_F(JobFolders, OnlyAFolderOfThisUserThatOthersCannotWriteServesAsRootMatteOrSpoolFolder) {
  const std::string root = scratch_.dir() + "orvalis/";
  EXPECT_EQ("", kesto::prepare_job_root(root));
  EXPECT_EQ(0755, modeOf(root));
  EXPECT_EQ("", kesto::prepare_job_root(root)) << "an existing root of this user is fine";
  EXPECT_TRUE(kesto::ensure_private_dir(root + "session-a/"));
  EXPECT_EQ(0700, modeOf(root + "session-a"));
  EXPECT_TRUE(kesto::ensure_private_dir(root + "session-a/")) << "the same session's folder again";
  const std::string spool = root + "upload_0123456789abcdef/";
  EXPECT_TRUE(kesto::make_fresh_private_dir(spool));
  EXPECT_EQ(0700, modeOf(spool));
  EXPECT_FALSE(kesto::make_fresh_private_dir(spool)) << "an existing folder is not fresh";
  // Removing a spool folder never follows links: a link in it to the session's folder goes, the folder stays.
  std::ofstream(root + "session-a/000000.png") << "png";
  std::ofstream(spool + "000000.jpg") << "jpeg";
  ASSERT_EQ(0, ::symlink((root + "session-a").c_str(), (spool + "000001.jpg").c_str()));
  kesto::remove_spool_dir(spool);
  EXPECT_EQ(-1, modeOf(spool));
  EXPECT_NE(-1, modeOf(root + "session-a/000000.png"));
  kesto::remove_spool_dir(root + "missing/");  // nothing to do, nothing thrown

  const std::pair<const char *, const char *> refused[] = {
      {"link", "is a symbolic link"},          {"file", "is not a folder"},
      {"foreign", "belongs to another user"},  {"open", "may be written by other users"},
      {"orphan", "cannot be created"},
  };
  for (const auto &[kind, problem] : refused) {
    const std::string path = make(kind, kind);
    EXPECT_EQ(path + " " + problem, kesto::prepare_job_root(path));
    EXPECT_TRUE(std::string(kind) == "open" || !kesto::ensure_private_dir(path)) << kind;
  }
}

TEST_F(JobFolders, JobIdsAreSixteenLowerCaseHexDigitsAndFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = kesto::draw_job_id().value_or("");
    EXPECT_TRUE(id.size() == 16 && id.find_first_not_of("0123456789abcdef") == std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(50u, seen.size());
}

}  // namespace
