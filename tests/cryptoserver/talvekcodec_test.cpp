#include "cryptoserver/talvekcodec.h"

#include <gtest/gtest.h>

#include "cryptoserver/serverfixture.h"
#include "keystore/keybase.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

// One call's outputs, zeroed before the call as the client does.
struct Outputs {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    uint8_t* second = nullptr;
    uint32_t secondLength = 0;
    ~Outputs() {
        SingleFree(&data);
        SingleFree(&second);
    }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(data, data + length); }
};

int32_t encode(const std::string& base, const std::string& local, const std::string& remote,
               const std::vector<uint8_t>& input, Outputs& out) {
    return SingleEncode(base.c_str(), local.c_str(), remote.c_str(), input.data(),
                        static_cast<uint32_t>(input.size()), &out.data, &out.length, &out.second,
                        &out.secondLength);
}

int32_t decode(const std::string& base, const std::string& local, const std::string& remote,
               const std::vector<uint8_t>& input, Outputs& out) {
    return SingleDecode(base.c_str(), local.c_str(), remote.c_str(), input.data(),
                        static_cast<uint32_t>(input.size()), &out.data, &out.length, &out.second,
                        &out.secondLength);
}

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
        Outputs sealed;
        ASSERT_NE(encode(adminBase, admin, server, message, sealed), 0);
        EXPECT_EQ(sealed.second, nullptr);
        EXPECT_EQ(sealed.secondLength, 0u);
        if (crypt) {
            EXPECT_EQ(std::search(sealed.data, sealed.data + sealed.length, message.begin(),
                                  message.end()),
                      sealed.data + sealed.length);
        }
        Outputs opened;
        ASSERT_NE(decode(serverBase, server, admin, sealed.bytes(), opened), 0);
        EXPECT_EQ(opened.bytes(), message);
        EXPECT_EQ(opened.second, nullptr);

        // The sender's own side cannot take its message for the peer's.
        Outputs reflected;
        EXPECT_EQ(decode(adminBase, admin, server, sealed.bytes(), reflected), 0);
        EXPECT_EQ(reflected.data, nullptr);
    }
}

TEST_F(TalvekCodec, UnprotectedChannelMissingChannelAndBadInputFail) {
    writeChannelPair(adminBase, serverBase, admin, server, false, false);
    Outputs out;
    EXPECT_EQ(encode(adminBase, admin, server, message, out), 0);
    EXPECT_EQ(decode(serverBase, server, admin, {'a', 'a', 'a', 'a'}, out), 0);
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.length, 0u);

    writeChannelPair(adminBase, serverBase, admin, server, true, true);
    EXPECT_EQ(encode(adminBase, admin, cp("Другой"), message, out), 0);
    EXPECT_EQ(encode(dir.file("missing"), admin, server, message, out), 0);
    EXPECT_EQ(encode(adminBase, admin, server, {}, out), 0);
    EXPECT_EQ(decode(serverBase, server, admin, {}, out), 0);

    Outputs sealed;
    ASSERT_NE(encode(adminBase, admin, server, message, sealed), 0);
    auto tampered = sealed.bytes();
    tampered[tampered.size() / 2] ^= 0x01;
    EXPECT_EQ(decode(serverBase, server, admin, tampered, out), 0);
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
