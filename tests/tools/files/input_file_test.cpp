// Reading decode inputs: whole size, first bytes kept, errors named.
#include <gtest/gtest.h>

#include <sstream>

#include "../../testservice/temp_dir.h"
#include "files/input_file.h"
#include "../tool_test_support.h"

namespace {

TEST(InputFile, SizesAndKeptBytes)
{
    TempDir dir;
    for (const std::size_t size : {std::size_t{0}, std::size_t{1537}, std::size_t{49185},
                                   std::size_t{49186}, std::size_t{200000}, std::size_t{278800}, std::size_t{278801}, std::size_t{300000}}) {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 7);
        }
        tooltest::write_bytes(dir / "f", bytes);
        std::istringstream none;
        const platewise::InputBytes input = platewise::read_input(dir / "f", none);
        ASSERT_TRUE(input.opened) << input.error;
        EXPECT_EQ(input.size, size);
        ASSERT_EQ(input.bytes.size(), std::min<std::size_t>(size, 278801));
        EXPECT_TRUE(std::equal(input.bytes.begin(), input.bytes.end(), bytes.begin()));
    }
}

TEST(InputFile, DashIsStandardInput)
{
    std::istringstream in(std::string(1537, 'x'));
    const platewise::InputBytes input = platewise::read_input("-", in);
    ASSERT_TRUE(input.opened);
    EXPECT_EQ(input.size, 1537u);
}

TEST(InputFile, MissingFileAndDirectoryAreNotOpened)
{
    TempDir dir;
    std::istringstream none;
    platewise::InputBytes input = platewise::read_input(dir / "missing", none);
    EXPECT_FALSE(input.opened);
    EXPECT_NE(input.error.find("No such file"), std::string::npos) << input.error;
    input = platewise::read_input(dir.path(), none);
    EXPECT_FALSE(input.opened);
    EXPECT_EQ(input.error, "is a directory");
}

}  // namespace
