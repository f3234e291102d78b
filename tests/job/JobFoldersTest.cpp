// The job's folders: the root is created or checked (never a link, another user's folder, or a folder others
// may write into), spool and matte folders are private, job ids are fresh, and removal never follows links.

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

class JobFolders : public ::testing::Test {
 protected:
  void SetUp() override { oldMask_ = ::umask(022); }
  void TearDown() override { ::umask(oldMask_); }
  jobtest::TempDir scratch_;

 private:
  mode_t oldMask_ = 0;
};

TEST_F(JobFolders, MissingRootIsCreatedOpenForReading) {
  const std::string root = scratch_.path() + "orvalis/";
  EXPECT_EQ("", kesto::prepare_job_root(root));
  EXPECT_EQ(0755, modeOf(scratch_.path() + "orvalis"));
  EXPECT_EQ("", kesto::prepare_job_root(root)) << "an existing root of this user is fine";
}

TEST_F(JobFolders, RootThatOthersCouldHavePreparedIsRefused) {
  const std::string target = scratch_.path() + "elsewhere";
  ASSERT_EQ(0, ::mkdir(target.c_str(), 0755));

  const std::string link = scratch_.path() + "link";
  ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
  EXPECT_EQ(link + "/ is a symbolic link", kesto::prepare_job_root(link + "/"));

  const std::string file = scratch_.path() + "file";
  std::ofstream(file) << "x";
  EXPECT_EQ(file + "/ is not a folder", kesto::prepare_job_root(file + "/"));

  const std::string foreign = scratch_.path() + "foreign";
  ASSERT_EQ(0, ::mkdir(foreign.c_str(), 0755));
  ASSERT_EQ(0, ::chown(foreign.c_str(), kOtherUser, kOtherUser));
  EXPECT_EQ(foreign + "/ belongs to another user", kesto::prepare_job_root(foreign + "/"));

  const std::string open = scratch_.path() + "open";
  ASSERT_EQ(0, ::mkdir(open.c_str(), 0755));
  ASSERT_EQ(0, ::chmod(open.c_str(), 0777));
  EXPECT_EQ(open + "/ may be written by other users", kesto::prepare_job_root(open + "/"));

  const std::string missingParent = scratch_.path() + "no/such/root/";
  EXPECT_EQ(missingParent + " cannot be created", kesto::prepare_job_root(missingParent));
}

TEST_F(JobFolders, JobIdsAreSixteenLowerCaseHexDigitsAndFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const auto id = kesto::draw_job_id();
    ASSERT_TRUE(id);
    ASSERT_EQ(16u, id->size());
    EXPECT_EQ(std::string::npos, id->find_first_not_of("0123456789abcdef")) << *id;
    seen.insert(*id);
  }
  EXPECT_EQ(50u, seen.size());
}

TEST_F(JobFolders, FreshPrivateFoldersAreNewAndMode0700) {
  const std::string dir = scratch_.path() + "upload_0123456789abcdef/";
  EXPECT_TRUE(kesto::make_fresh_private_dir(dir));
  EXPECT_EQ(0700, modeOf(scratch_.path() + "upload_0123456789abcdef"));
  EXPECT_FALSE(kesto::make_fresh_private_dir(dir)) << "an existing folder is not fresh";
}

TEST_F(JobFolders, MatteFolderMayExistOnlyAsAPrivateFolderOfThisUser) {
  const std::string made = scratch_.path() + "session-a/";
  EXPECT_TRUE(kesto::ensure_private_dir(made));
  EXPECT_EQ(0700, modeOf(scratch_.path() + "session-a"));
  EXPECT_TRUE(kesto::ensure_private_dir(made)) << "the same session's folder again";

  const std::string target = scratch_.path() + "target";
  ASSERT_EQ(0, ::mkdir(target.c_str(), 0700));
  const std::string link = scratch_.path() + "session-link";
  ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
  EXPECT_FALSE(kesto::ensure_private_dir(link + "/"));

  const std::string foreign = scratch_.path() + "session-foreign";
  ASSERT_EQ(0, ::mkdir(foreign.c_str(), 0700));
  ASSERT_EQ(0, ::chown(foreign.c_str(), kOtherUser, kOtherUser));
  EXPECT_FALSE(kesto::ensure_private_dir(foreign + "/"));

  const std::string file = scratch_.path() + "session-file";
  std::ofstream(file) << "x";
  EXPECT_FALSE(kesto::ensure_private_dir(file + "/"));
  EXPECT_FALSE(kesto::ensure_private_dir(scratch_.path() + "no/such/session/"));
}

TEST_F(JobFolders, RemovingASpoolFolderNeverFollowsLinks) {
  const std::string keep = scratch_.path() + "keep";
  ASSERT_EQ(0, ::mkdir(keep.c_str(), 0755));
  std::ofstream(keep + "/precious") << "x";

  const std::string spool = scratch_.path() + "upload_x/";
  ASSERT_TRUE(kesto::make_fresh_private_dir(spool));
  std::ofstream(spool + "000000.jpg") << "jpeg";
  ASSERT_EQ(0, ::symlink(keep.c_str(), (spool + "000001.jpg").c_str()));
  kesto::remove_spool_dir(spool);
  EXPECT_EQ(-1, modeOf(scratch_.path() + "upload_x"));
  EXPECT_NE(-1, modeOf(keep + "/precious"));

  kesto::remove_spool_dir(scratch_.path() + "missing/");  // nothing to do, nothing thrown
}

TEST_F(JobFolders, MatteFileNamesAreTheZeroPaddedFrameIndex) {
  EXPECT_EQ("/r/s/000000.png", kesto::matte_file_path("/r/s/", 0));
  EXPECT_EQ("/r/s/000042.png", kesto::matte_file_path("/r/s/", 42));
  EXPECT_EQ("/r/s/1000000.png", kesto::matte_file_path("/r/s/", 1000000));
}

}  // namespace
