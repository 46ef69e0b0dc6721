// Writing byte buffers to files, in a fresh temporary directory per test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "smart.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SaveBufferToFile : public testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        dir_ = fs::temp_directory_path() /
               ("smart_test_" + std::to_string(seed()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path dir_;
};

TEST_F(SaveBufferToFile, LengthZeroCreatesAnEmptyFile) {
    const fs::path file = dir_ / "empty.bin";
    EXPECT_EQ(smart::save_buffer_to_file(file.string(), nullptr, 0), 0);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(SaveBufferToFile, LengthZeroTruncatesAnExistingFile) {
    const fs::path file = dir_ / "old.bin";
    std::ofstream(file, std::ios::binary) << "previous content";
    const std::uint8_t byte = 1;
    EXPECT_EQ(smart::save_buffer_to_file(file.string(), &byte, 0), 0);
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(SaveBufferToFile, ShorterWriteReplacesLongerFile) {
    const fs::path file = dir_ / "replace.bin";
    const std::vector<std::uint8_t> first(1000, 0xEE);
    ASSERT_EQ(smart::save_buffer_to_file(file.string(), first.data(), 1000), 1000);
    const std::vector<std::uint8_t> second = {1, 2, 3};
    EXPECT_EQ(smart::save_buffer_to_file(file.string(), second.data(), 3), 3);
    EXPECT_EQ(read_all(file), second);
}

TEST_F(SaveBufferToFile, WritesBinaryBytesUnchanged) {
    const fs::path file = dir_ / "sector.bin";
    std::vector<std::uint8_t> data(512);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);  // includes \n, \r, 0x1a and 0x00
    }
    data[0] = '\r';
    data[1] = '\n';
    EXPECT_EQ(smart::save_buffer_to_file(file.string(), data.data(), 512), 512);
    EXPECT_EQ(read_all(file), data);
}

TEST_F(SaveBufferToFile, MissingDirectoryGivesMinusOneAndNoFile) {
    const fs::path file = dir_ / "no_such_dir" / "x.bin";
    const std::uint8_t byte = 7;
    EXPECT_EQ(smart::save_buffer_to_file(file.string(), &byte, 1), -1);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(file.parent_path()));
}

TEST_F(SaveBufferToFile, DirectoryAsNameGivesMinusOne) {
    const std::uint8_t byte = 7;
    EXPECT_EQ(smart::save_buffer_to_file(dir_.string(), &byte, 1), -1);
    EXPECT_TRUE(fs::is_directory(dir_));
}

TEST_F(SaveBufferToFile, RelativeNameResolvesAgainstCurrentDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    const std::uint8_t bytes[] = {9, 8, 7};
    const std::int32_t result = smart::save_buffer_to_file("relative.bin", bytes, 3);
    fs::current_path(before);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(read_all(dir_ / "relative.bin"), std::vector<std::uint8_t>({9, 8, 7}));
}

// Callers may name a symbolic link (an output path kept as a link, or
// /dev/stdout on Linux): the write lands in the link's target.
TEST_F(SaveBufferToFile, FollowsAFinalSymbolicLink) {
    const fs::path target = dir_ / "target.bin";
    const fs::path link = dir_ / "link.bin";
    std::ofstream(target, std::ios::binary) << "old content that is longer";
    std::error_code error;
    fs::create_symlink(target, link, error);
    if (error) {
        GTEST_SKIP() << "cannot create symbolic links here: " << error.message();
    }
    const std::uint8_t bytes[] = {0x41, 0x42};
    EXPECT_EQ(smart::save_buffer_to_file(link.string(), bytes, 2), 2);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_all(target), std::vector<std::uint8_t>({0x41, 0x42}));
}

}  // namespace
