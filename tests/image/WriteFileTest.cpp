#include "image/WriteFile.h"

#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace kesto {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// The exact bytes, over any longer file. Paths that cannot be opened, a full device (left in place), and a short
// write (the partial file removed, so that it cannot look complete) are all reported.
TEST(WriteFile, WritesExactlyTheBytesOrReportsWhatCannotBeWrittenAndLeavesNoPartialFile)
{
    const testing::ScratchFolder scratch("kesto-image");
    const std::string dir = scratch.path() + "/";
    Bytes bytes(70000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 5);
    }
    for (const Bytes& written : {bytes, Bytes{1, 2, 3}, Bytes{}}) {
        EXPECT_TRUE(write_file(dir + "frame.jpg", written));
        EXPECT_EQ(testing::fileText(dir + "frame.jpg"), std::string(written.begin(), written.end())) << written.size();
    }
    EXPECT_TRUE(fs::exists(dir + "frame.jpg")) << "empty bytes leave an empty file";

    for (const std::string& path :
         {dir + "no-such-dir/000000.jpg", dir, std::string(), dir + "a" + std::string(1, '\0') + "b"}) {
        EXPECT_FALSE(write_file(path, Bytes{1, 2, 3})) << path;
    }
    EXPECT_FALSE(fs::exists(dir + "no-such-dir"));
    EXPECT_FALSE(fs::exists(dir + "a")) << "nothing written under the truncated name";
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(write_file("/dev/full", Bytes(100, 1)));
        EXPECT_TRUE(fs::exists("/dev/full")) << "only regular files are cleaned up";
    }

    // The file size limit lowered, with the signal that would end the process ignored.
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit lowered = old;
    lowered.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    const bool written = write_file(dir + "partial.jpg", Bytes(64 * 1024, 7));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(fs::exists(dir + "partial.jpg"));
}

} // namespace
} // namespace kesto
