#include "image/WriteFile.h"

#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace kesto {
namespace {

using test::Bytes;

TEST(WriteFile, WritesExactlyTheBytesOverAnyLongerFile)
{
    const test::ScratchDir dir;
    const std::string path = dir.path("frame.jpg");
    Bytes bytes(70000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 5);
    }
    EXPECT_TRUE(write_file(path, bytes));
    EXPECT_EQ(test::read_file(path), bytes);

    const Bytes shorter{1, 2, 3};
    EXPECT_TRUE(write_file(path, shorter));
    EXPECT_EQ(test::read_file(path), shorter);

    EXPECT_TRUE(write_file(path, Bytes{}));
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u) << "empty bytes leave an empty file";
}

TEST(WriteFile, ReportsPathsThatCannotBeOpened)
{
    const test::ScratchDir dir;
    const std::string missing_dir = dir.path("no-such-dir/000000.jpg");
    EXPECT_FALSE(write_file(missing_dir, Bytes{1, 2, 3}));
    EXPECT_FALSE(std::filesystem::exists(dir.path("no-such-dir")));

    EXPECT_FALSE(write_file(dir.path(""), Bytes{1})) << "a directory";
    EXPECT_FALSE(write_file("", Bytes{1}));
    EXPECT_FALSE(write_file(dir.path("a") + std::string(1, '\0') + "b", Bytes{1})) << "NUL in path";
    EXPECT_FALSE(std::filesystem::exists(dir.path("a"))) << "nothing written under the truncated name";
}

TEST(WriteFile, ReportsAFullDeviceAndLeavesIt)
{
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    EXPECT_FALSE(write_file("/dev/full", Bytes(100, 1)));
    EXPECT_TRUE(std::filesystem::exists("/dev/full")) << "only regular files are cleaned up";
}

// Lowers the file size limit for the scope of one test, with the signal that would end the process ignored.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ok_ = ::getrlimit(RLIMIT_FSIZE, &old_) == 0;
        rlimit lowered = old_;
        lowered.rlim_cur = bytes;
        ok_ = ok_ && ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool ok() const { return ok_; }

private:
    rlimit old_{};
    void (*old_handler_)(int) = SIG_DFL;
    bool ok_ = false;
};

TEST(WriteFile, ReportsAShortWriteAndRemovesThePartialFile)
{
    const test::ScratchDir dir;
    const std::string path = dir.path("partial.jpg");
    bool written = true;
    {
        const FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        written = write_file(path, Bytes(64 * 1024, 7));
    }
    EXPECT_FALSE(written);
    EXPECT_FALSE(std::filesystem::exists(path)) << "a truncated file must not look complete";
}

} // namespace
} // namespace kesto
