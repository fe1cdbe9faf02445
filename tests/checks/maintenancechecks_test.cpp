#include "checks/maintenancechecks.h"

#include <gtest/gtest.h>

#include "fileio/fileresult.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;

// How the dialog and the channel commands see a file: a base lists its
// channels (none only for an emptied base, which is recorded as the fault), a
// public part its one channel, anything else nothing.
TEST(ListKeyFile, TellsBasesPublicPartsAndOtherFilesApart) {
    TestSupport::TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::completeChannel("srv", "anna", true, true));
    base.addChannel(TestSupport::ownKeysChannel("srv", "boris", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("two.key_base")));
    ASSERT_TRUE(writePublicPart(*base.findChannel("srv", "boris"), dir.file("part.okp")));
    ASSERT_TRUE(base.deleteChannel("srv", "anna"));
    ASSERT_TRUE(base.deleteChannel("srv", "boris"));
    ASSERT_TRUE(base.saveBase(dir.file("emptied.key_base")));
    TestSupport::writeText(dir.file("text"), "not a key file");

    KeyFileListing two;
    ASSERT_TRUE(listKeyFile(dir.file("two.key_base"), two));
    EXPECT_EQ(two.kind, KeyFileKind::KeyBase);
    ASSERT_EQ(two.channels.size(), 2u);
    EXPECT_EQ(two.channels[1].fullRemoteName, "boris");

    KeyFileListing part;
    ASSERT_TRUE(listKeyFile(dir.file("part.okp"), part));
    EXPECT_EQ(part.kind, KeyFileKind::PublicPart);
    ASSERT_EQ(part.channels.size(), 1u);
    EXPECT_EQ(part.channels[0].fullLocalName, "srv");

    // A base without channels is listed, and fails as a base that holds none.
    KeyFileListing emptied;
    const FileResult listed = listKeyFile(dir.file("emptied.key_base"), emptied);
    EXPECT_FALSE(listed);
    EXPECT_EQ(listed.failure().fault, FileFault::NoChannel);
    EXPECT_EQ(listed.failure().path, dir.file("emptied.key_base"));
    EXPECT_EQ(emptied.kind, KeyFileKind::KeyBase);
    EXPECT_TRUE(emptied.channels.empty());

    for (const char* name : {"text", "missing"}) {
        KeyFileListing none;
        const FileResult refused = listKeyFile(dir.file(name), none);
        EXPECT_FALSE(refused) << name;
        // The cause names the file: not a key file, or missing.
        EXPECT_EQ(refused.failure().path, dir.file(name));
        EXPECT_EQ(refused.failure().fault,
                  std::string(name) == "text" ? FileFault::NotAKeyFile : FileFault::System);
    }
}
