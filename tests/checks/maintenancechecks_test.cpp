#include "checks/maintenancechecks.h"

#include <gtest/gtest.h>

#include "fileio/filefault.h"
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

    const auto two = listKeyFile(dir.file("two.key_base"));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->kind, KeyFileKind::KeyBase);
    ASSERT_EQ(two->channels.size(), 2u);
    EXPECT_EQ(two->channels[1].fullRemoteName, "boris");

    const auto part = listKeyFile(dir.file("part.okp"));
    ASSERT_TRUE(part);
    EXPECT_EQ(part->kind, KeyFileKind::PublicPart);
    ASSERT_EQ(part->channels.size(), 1u);
    EXPECT_EQ(part->channels[0].fullLocalName, "srv");

    forgetFileFailure();
    const auto emptied = listKeyFile(dir.file("emptied.key_base"));
    ASSERT_TRUE(emptied);
    EXPECT_EQ(emptied->kind, KeyFileKind::KeyBase);
    EXPECT_TRUE(emptied->channels.empty());
    EXPECT_EQ(lastFileFailure().fault, FileFault::NoChannel);

    for (const char* name : {"text", "missing"}) {
        EXPECT_FALSE(listKeyFile(dir.file(name))) << name;
    }
}
