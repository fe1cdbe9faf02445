#include "cryptoserver/talvekcodec.h"

#include <gtest/gtest.h>

#include "support/serverfixture.h"
#include "keystore/keybase.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

class TalvekCodec : public ::testing::Test {
protected:
    TempDir dir;
    std::string adminBase = dir.file("admin.key_base");
    std::string serverBase = dir.file("server.key_base");
    std::string admin = cp("Администратор");
    std::string server = cp("Криптосервер");
    std::vector<uint8_t> message = {'k', 'e', 'y', 0, 's', 0xE0, 0xFF};
};

}  // namespace

TEST_F(TalvekCodec, EachUseAloneCarriesDataToTheMirroredChannel) {
    for (const auto& [crypt, sign] : {std::pair{true, true}, {true, false}, {false, true}}) {
        writeChannelPair(adminBase, serverBase, admin, server, crypt, sign);
        SingleOutput sealed;
        ASSERT_TRUE(singleEncode(adminBase, admin, server, message, sealed));
        EXPECT_EQ(sealed.second, nullptr);
        EXPECT_EQ(sealed.secondLength, 0u);
        if (crypt) {
            EXPECT_EQ(std::search(sealed.data, sealed.data + sealed.length, message.begin(),
                                  message.end()),
                      sealed.data + sealed.length);
        }
        SingleOutput opened;
        ASSERT_TRUE(singleDecode(serverBase, server, admin, sealed.bytes(), opened));
        EXPECT_EQ(opened.bytes(), message);
        EXPECT_EQ(opened.second, nullptr);

        // The sender's own side cannot take its message for the peer's.
        SingleOutput reflected;
        EXPECT_FALSE(singleDecode(adminBase, admin, server, sealed.bytes(), reflected));
        EXPECT_EQ(reflected.data, nullptr);
    }
}

TEST_F(TalvekCodec, UnprotectedChannelMissingChannelAndBadInputFail) {
    writeChannelPair(adminBase, serverBase, admin, server, false, false);
    SingleOutput out;
    EXPECT_FALSE(singleEncode(adminBase, admin, server, message, out));
    EXPECT_FALSE(singleDecode(serverBase, server, admin, {'a', 'a', 'a', 'a'}, out));
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.length, 0u);

    writeChannelPair(adminBase, serverBase, admin, server, true, true);
    EXPECT_FALSE(singleEncode(adminBase, admin, cp("Другой"), message, out));
    EXPECT_FALSE(singleEncode(dir.file("missing"), admin, server, message, out));
    EXPECT_FALSE(singleEncode(adminBase, admin, server, {}, out));
    EXPECT_FALSE(singleDecode(serverBase, server, admin, {}, out));

    SingleOutput sealed;
    ASSERT_TRUE(singleEncode(adminBase, admin, server, message, sealed));
    auto tampered = sealed.bytes();
    tampered[tampered.size() / 2] ^= 0x01;
    EXPECT_FALSE(singleDecode(serverBase, server, admin, tampered, out));
    EXPECT_EQ(out.data, nullptr);

    SingleFree(nullptr);
}

TEST(InterfaceList, SplitsZeroTerminatedNames) {
    const std::vector<uint8_t> list = {'a', 'b', 0, 0, 0xCA, 0xE0, 0, 'z'};
    EXPECT_EQ(splitInterfaceList(list.data(), list.size()),
              (std::vector<std::string>{"ab", "\xCA\xE0", "z"}));
    EXPECT_TRUE(splitInterfaceList(nullptr, 0).empty());
    const std::vector<std::string> names = {"main", "\xCA\xE0\xF1\xF1\xE0"};
    const auto joined = joinInterfaceList(names);
    EXPECT_EQ(joined.size(), 4u + 1 + 5 + 1);
    EXPECT_EQ(splitInterfaceList(joined.data(), joined.size()), names);
}
