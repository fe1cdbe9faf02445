#include <gtest/gtest.h>

#include "keystore/keybase.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;

TEST(KeyBaseRoundTrip, CompleteChannelSurvivesSaveAndLoad) {
    TestSupport::TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::completeChannel("server", "user", true, true));
    ASSERT_TRUE(base.saveBase(dir.file("a.key_base")));
    EXPECT_EQ(TestSupport::fileMode(dir.file("a.key_base")), 0600u);
    KeyBase again;
    ASSERT_TRUE(again.loadBase(dir.file("a.key_base")));
    SecureChannel* c = again.findChannel("server", "user");
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->cryptPrivateKey->hasCompletePrivate());
    EXPECT_EQ(BN_cmp(c->signPublicKey->n(), base.findChannel("server", "user")->signPublicKey->n()), 0);
    ASSERT_TRUE(again.saveBase(dir.file("b.key_base")));
    EXPECT_EQ(TestSupport::readBytes(dir.file("a.key_base")), TestSupport::readBytes(dir.file("b.key_base")));
    EXPECT_EQ(TestSupport::listDir(dir.path()).size(), 2u);
}
