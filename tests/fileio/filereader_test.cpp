// Reading a file through a cursor that cannot run past its end, and the
// described file object's short reads on top of it.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fileio/binaryfile.h"
#include "fileio/filereader.h"
#include "support/tempdir.h"

using namespace Talvek;

TEST(FileReader, AReadPastTheEndFailsAndMovesNothing) {
    TestSupport::TempDir dir;
    TestSupport::writeBytes(dir.file("f"), {1, 2, 3, 4, 5});
    FileReader file;
    ASSERT_TRUE(file.openExisting(dir.file("f")));
    EXPECT_EQ(file.size(), 5u);

    uint8_t two[2] = {};
    ASSERT_TRUE(file.read(two));
    EXPECT_EQ(two[1], 2);
    uint8_t four[4] = {9, 9, 9, 9};
    EXPECT_FALSE(file.read(four));
    EXPECT_EQ(four[0], 9);  // nothing copied
    EXPECT_EQ(file.remaining(), 3u);
    EXPECT_FALSE(file.take(4));
    EXPECT_EQ(file.remaining(), 3u);

    // Where the format wants zeros for what is missing, it says so.
    EXPECT_EQ(file.readOrZero(four), 3u);
    EXPECT_EQ(four[0], 3);
    EXPECT_EQ(four[2], 5);
    EXPECT_EQ(four[3], 0);
    EXPECT_EQ(file.readOrZero(four), 0u);
    EXPECT_EQ(four[0], 0);

    // take() hands out views without copying; rewind serves another reader.
    file.rewind();
    const auto view = file.take(5);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->size(), 5u);
    EXPECT_EQ((*view)[4], 5);
    EXPECT_TRUE(file.take(0));
    EXPECT_TRUE(file.read({}));

    const SecretBytes content = file.takeContent();
    EXPECT_EQ(content.size(), 5u);
    EXPECT_FALSE(file.isOpen());
}

// The described file object keeps its shape: a short read at the end
// succeeds with fewer bytes.
TEST(BinaryFileRead, ShortReadAtTheEndSucceedsWithFewerBytes) {
    TestSupport::TempDir dir;
    TestSupport::writeBytes(dir.file("f"), {1, 2, 3});
    BinaryFile file;
    EXPECT_FALSE(file.openExisting(dir.file("missing")));
    uint8_t buffer[8] = {};
    uint32_t moved = 99;
    EXPECT_FALSE(file.read(buffer, 1, &moved));  // not open
    EXPECT_EQ(moved, 0u);
    ASSERT_TRUE(file.openExisting(dir.file("f")));
    EXPECT_FALSE(file.openExisting(dir.file("f")));  // already open
    EXPECT_EQ(file.size(), 3u);
    EXPECT_TRUE(file.read(buffer, 0, &moved));
    EXPECT_FALSE(file.read(nullptr, 1, &moved));
    EXPECT_TRUE(file.read(buffer, 2, &moved));
    EXPECT_EQ(moved, 2u);
    EXPECT_TRUE(file.read(buffer, 8, &moved));
    EXPECT_EQ(moved, 1u);
    EXPECT_EQ(buffer[0], 3);
    EXPECT_TRUE(file.read(buffer, 8, &moved));
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file.isOpen());

    // Written through it: the size counts what was written, high word apart.
    ASSERT_TRUE(file.create(dir.file("g"), BinaryFile::Permissions::Normal));
    EXPECT_FALSE(file.read(buffer, 1, &moved));
    EXPECT_TRUE(file.write("abcd", 4, &moved));
    EXPECT_EQ(moved, 4u);
    uint32_t high = 7;
    EXPECT_EQ(file.size(&high), 4u);
    EXPECT_EQ(high, 0u);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(TestSupport::readBytes(dir.file("g")), (std::vector<uint8_t>{'a', 'b', 'c', 'd'}));
}
