#include "sealing/talvekcodec.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <tuple>

#include <gtest/gtest.h>

#include "fileio/filelock.h"
#include "keystore/base64.h"
#include "keystore/keybase.h"
#include "sealing/message.h"
#include "support/channelpair.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

class TalvekCodec : public ::testing::Test {
protected:
    void SetUp() override { writeChannelPair(adminBase, serverBase, admin, server, true, true); }

    // The channel localName -> remoteName of a base, kept loaded.
    const SecureChannel& channelOf(KeyBase& base, const std::string& path, const std::string& local,
                                   const std::string& remote) {
        if (!base.loadBase(path)) throw std::runtime_error("cannot load " + path);
        const SecureChannel* channel = base.findChannel(local, remote);
        if (!channel) throw std::runtime_error("no channel");
        return *channel;
    }

    TempDir dir;
    std::string adminBase = dir.file("admin.key_base");
    std::string serverBase = dir.file("server.key_base");
    std::string admin = cp("Администратор");
    std::string server = cp("Криптосервер");
    std::vector<uint8_t> message = {'k', 'e', 'y', 0, 's', 0xE0, 0xFF};
};

// Both outputs of one call, zero before it and released with SingleFree
// however the caller ends.
struct SingleOutput {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    uint8_t* second = nullptr;
    uint32_t secondLength = 0;

    SingleOutput() = default;
    SingleOutput(const SingleOutput&) = delete;
    SingleOutput& operator=(const SingleOutput&) = delete;
    ~SingleOutput() {
        SingleFree(&data);
        SingleFree(&second);
    }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(data, data + length); }
};

// The library's C calls, which the rest of the program does not use.
bool cEncode(const std::string& base, const std::string& local, const std::string& remote,
             const std::vector<uint8_t>& input, SingleOutput& out) {
    return SingleEncode(base.c_str(), local.c_str(), remote.c_str(), input.data(),
                        static_cast<uint32_t>(input.size()), &out.data, &out.length, &out.second,
                        &out.secondLength) != 0;
}

bool cDecode(const std::string& base, const std::string& local, const std::string& remote,
             const std::vector<uint8_t>& input, SingleOutput& out) {
    return SingleDecode(base.c_str(), local.c_str(), remote.c_str(), input.data(),
                        static_cast<uint32_t>(input.size()), &out.data, &out.length, &out.second,
                        &out.secondLength) != 0;
}

}  // namespace

TEST_F(TalvekCodec, EachSideOpensWhatTheOtherSealedAndNothingElse) {
    SingleOutput request;
    ASSERT_TRUE(cEncode(adminBase, admin, server, message, request));
    EXPECT_EQ(request.second, nullptr);
    EXPECT_EQ(request.secondLength, 0u);
    EXPECT_EQ(
        std::search(request.data, request.data + request.length, message.begin(), message.end()),
        request.data + request.length);

    SecretBytes opened;
    EnvelopeStamp stamp;
    ASSERT_TRUE(codecDecode(serverBase, server, admin, CodecSide::CryptoServer, request.bytes(),
                            opened, &stamp));
    EXPECT_EQ(std::vector<uint8_t>(opened.begin(), opened.end()), message);
    EXPECT_NEAR(static_cast<double>(stamp.time), static_cast<double>(wallClock()), 5);

    // Every block carries a nonce of its own.
    SingleOutput again;
    SecretBytes reopened;
    EnvelopeStamp secondStamp;
    ASSERT_TRUE(cEncode(adminBase, admin, server, message, again));
    ASSERT_TRUE(codecDecode(serverBase, server, admin, CodecSide::CryptoServer, again.bytes(),
                            reopened, &secondStamp));
    EXPECT_NE(stamp.nonce, secondStamp.nonce);

    // The reply way, empty data included (an empty interface list).
    for (const std::vector<uint8_t>& data : {message, std::vector<uint8_t>{}}) {
        std::vector<uint8_t> reply;
        SingleOutput read;
        ASSERT_TRUE(codecEncode(serverBase, server, admin, CodecSide::CryptoServer, data, reply));
        ASSERT_TRUE(cDecode(adminBase, admin, server, reply, read));
        EXPECT_EQ(read.bytes(), data);
    }

    // A block is never taken back by the side that sealed it.
    SingleOutput reflected;
    EXPECT_FALSE(cDecode(adminBase, admin, server, request.bytes(), reflected));
    EXPECT_EQ(reflected.data, nullptr);
}

TEST_F(TalvekCodec, OnlyAChannelThatSignsAndEncryptsWithCompleteKeysIsUsed) {
    std::vector<uint8_t> reply;
    ASSERT_TRUE(codecEncode(serverBase, server, admin, CodecSide::CryptoServer, message, reply));

    const std::vector<std::pair<const char*, std::function<void()>>> weakenings = {
        {"sign only", [&] { writeChannelPair(adminBase, serverBase, admin, server, false, true); }},
        {"encrypt only",
         [&] { writeChannelPair(adminBase, serverBase, admin, server, true, false); }},
        {"neither", [&] { writeChannelPair(adminBase, serverBase, admin, server, false, false); }},
        {"cut short",
         [&] {
             // The file ends inside the last key's numbers.
             auto bytes = readBytes(adminBase);
             bytes.erase(bytes.end() - 20, bytes.end());
             writeBytes(adminBase, bytes);
         }},
        {"peer's public key missing",
         [&] {
             KeyBase base;
             ASSERT_TRUE(base.loadBase(adminBase));
             SecureChannel* c = base.findChannel(admin, server);
             c->cryptPublicKey.reset();
             c->hasCryptPublic = 0;
             ASSERT_TRUE(base.saveBase(adminBase));
         }},
    };
    for (const auto& [what, weaken] : weakenings) {
        writeChannelPair(adminBase, serverBase, admin, server, true, true);
        weaken();
        KeyBase base;
        ASSERT_TRUE(base.loadBase(adminBase)) << what;
        EXPECT_FALSE(codecAccepts(*base.findChannel(admin, server))) << what;
        SingleOutput out;
        EXPECT_FALSE(cEncode(adminBase, admin, server, message, out)) << what;
        EXPECT_FALSE(cDecode(adminBase, admin, server, reply, out)) << what;
        EXPECT_EQ(out.data, nullptr) << what;
    }
    writeChannelPair(adminBase, serverBase, admin, server, true, true);
    SingleOutput out;
    EXPECT_FALSE(cEncode(adminBase, admin, cp("Другой"), message, out));
    EXPECT_FALSE(cEncode(dir.file("missing"), admin, server, message, out));
}

TEST_F(TalvekCodec, BlocksThatAreStaleMisdirectedForgedOrNotEnvelopesAreRefused) {
    KeyBase serverKeys, adminKeys, strangerKeys;
    const SecureChannel& serverSide = channelOf(serverKeys, serverBase, server, admin);
    const SecureChannel& adminSide = channelOf(adminKeys, adminBase, admin, server);
    // Somebody else's pair under the same names: what a forger could seal with.
    const std::string strangerBase = dir.file("stranger.key_base");
    {
        KeyBase base;
        base.addChannel(completeChannel(server, admin, true, true, 512, 7));
        ASSERT_TRUE(base.saveBase(strangerBase));
    }
    const SecureChannel& stranger = channelOf(strangerKeys, strangerBase, server, admin);

    const int64_t now = wallClock();
    const auto envelope = [&](const SecureChannel& by, CodecSide side, int64_t time) {
        std::string sealed;
        EXPECT_TRUE(sealEnvelope(by, side, message.data(), message.size(), sealed, time));
        return sealed;
    };
    // Sealed with the channel but without the envelope's frame.
    const auto raw = [&](std::vector<uint8_t> plain) {
        std::string sealed;
        EXPECT_TRUE(sealMessage(serverSide, plain.data(), plain.size(), sealed));
        return sealed;
    };
    std::vector<uint8_t> oldMagic(Envelope::HeaderSize, 0);
    std::memcpy(oldMagic.data(), "TVK1", 4);
    oldMagic[4] = Envelope::FromCryptoServer;
    auto previousMagic = oldMagic;
    std::memcpy(previousMagic.data(), "TVK2", 4);

    const struct {
        const char* what;
        std::string sealed;
        bool opens;
    } cases[] = {
        {"fresh", envelope(serverSide, CodecSide::CryptoServer, now), true},
        {"300 s old", envelope(serverSide, CodecSide::CryptoServer, now - 300), true},
        {"300 s ahead", envelope(serverSide, CodecSide::CryptoServer, now + 300), true},
        {"301 s old", envelope(serverSide, CodecSide::CryptoServer, now - 301), false},
        {"301 s ahead", envelope(serverSide, CodecSide::CryptoServer, now + 301), false},
        {"the receiver's own direction", envelope(serverSide, CodecSide::Administrator, now),
         false},
        {"forged", envelope(stranger, CodecSide::CryptoServer, now), false},
        {"another magic", raw(oldMagic), false},
        {"the previous version's magic", raw(previousMagic), false},
        {"shorter than the frame", raw({'T', 'V', 'K', '2', 2}), false},
        {"the earliest time", envelope(serverSide, CodecSide::CryptoServer, INT64_MIN), false},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> data = {'o', 'l', 'd'};
        EnvelopeStamp stamp;
        const bool opened = openEnvelope(adminSide, CodecSide::Administrator, c.sealed.data(),
                                         c.sealed.size(), data, &stamp, now);
        EXPECT_EQ(opened, c.opens) << c.what;
        EXPECT_EQ(data, c.opens ? message : std::vector<uint8_t>{}) << c.what;

        // The same verdict for a block opened a character at a time, its
        // input handed on as it opens.
        EnvelopeOpener opener;
        std::vector<uint8_t> handed;
        ASSERT_TRUE(opener.start(adminSide, CodecSide::Administrator, 0,
                                 [&handed](const uint8_t* d, size_t n) {
                                     handed.insert(handed.end(), d, d + n);
                                     return true;
                                 }));
        bool fed = true;
        for (const char ch : c.sealed) fed = opener.feed(&ch, 1) && fed;
        EXPECT_EQ(fed && opener.finish(nullptr, now), c.opens) << c.what;
        if (c.opens) {
            EXPECT_EQ(handed, message) << c.what;
        }
        EXPECT_EQ(opener.size(), 0u) << c.what;
    }
}

TEST_F(TalvekCodec, ExchangesReadTheAdministratorsBaseTogetherButNotDuringASave) {
    const auto oldWait = lockWait();
    setLockWait(std::chrono::milliseconds(50));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(codecEncode(serverBase, server, admin, CodecSide::CryptoServer, message, reply));

    // Another exchange reading the same base at this moment.
    FileLock reader;
    ASSERT_EQ(reader.acquire(adminBase, FileLock::Kind::Shared, false), FileLock::Result::Locked);
    SingleOutput sealed, opened;
    EXPECT_TRUE(cEncode(adminBase, admin, server, message, sealed));
    EXPECT_TRUE(cDecode(adminBase, admin, server, reply, opened));
    EXPECT_EQ(opened.bytes(), message);

    // A program saving the base holds it alone: the codec waits, then fails.
    reader.release();
    FileLock writer;
    ASSERT_EQ(writer.acquire(adminBase, FileLock::Kind::Exclusive, true), FileLock::Result::Locked);
    SingleOutput blocked;
    EXPECT_FALSE(cEncode(adminBase, admin, server, message, blocked));
    EXPECT_EQ(blocked.data, nullptr);
    writer.release();
    setLockWait(oldWait);
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

// A message key that does not decrypt must not end the opening early: a
// timing difference between a bad padding and a bad digest is an oracle on
// the message key. Both blocks are opened to their last byte and refused
// alike.
TEST_F(TalvekCodec, ABadKeyIsOpenedToTheEndLikeABadDigest) {
    KeyBase adminKeys, serverKeys;
    const SecureChannel& adminSide = channelOf(adminKeys, adminBase, admin, server);
    const SecureChannel& serverSide = channelOf(serverKeys, serverBase, server, admin);
    std::vector<uint8_t> data(64 << 10);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    std::string sealed;
    ASSERT_TRUE(sealMessage(serverSide, data.data(), data.size(), sealed));
    std::vector<uint8_t> raw;
    ASSERT_TRUE(base64Decode(sealed, raw));
    const size_t signSize = static_cast<size_t>(serverSide.signPrivateKey->sizeBytes());
    const size_t keyAt = signSize + 16;
    const size_t keySize = static_cast<size_t>(adminSide.cryptPrivateKey->sizeBytes());

    auto badPadding = raw;
    for (size_t i = 0; i < keySize; ++i) badPadding[keyAt + i] = static_cast<uint8_t>(i * 31 + 5);
    auto badDigest = raw;
    badDigest[signSize] ^= 0x01;

    const auto openCounting = [&](const std::vector<uint8_t>& bytes) {
        const std::string text = base64Encode(bytes.data(), bytes.size());
        MessageOpener opener;
        size_t handed = 0;
        EXPECT_TRUE(opener.start(adminSide, text.size(), [&handed](const uint8_t*, size_t n) {
            handed += n;
            return true;
        }));
        const bool fed = opener.feed(text.data(), text.size());
        SecretBytes out;
        const bool opened = opener.finish(out);
        return std::tuple{fed, opened, handed};
    };
    EXPECT_EQ(openCounting(raw), std::tuple(true, true, data.size()));
    EXPECT_EQ(openCounting(badPadding), std::tuple(true, false, data.size()));
    EXPECT_EQ(openCounting(badDigest), std::tuple(true, false, data.size()));
}

// Each field of the envelope is carried as sealed, and a reply counts for a
// request only with its code, nonce and interface.
TEST_F(TalvekCodec, TheEnvelopeCarriesTheRequestItBelongsTo) {
    KeyBase adminKeys, serverKeys;
    const SecureChannel& adminSide = channelOf(adminKeys, adminBase, admin, server);
    const SecureChannel& serverSide = channelOf(serverKeys, serverBase, server, admin);
    const auto request = EnvelopeStamp::fresh(101, std::string(70, 'k'));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->interfaceName(), std::string(63, 'k'));  // cut to its field, zero kept
    std::string sealed;
    const int64_t now = wallClock();
    ASSERT_TRUE(sealEnvelope(serverSide, CodecSide::CryptoServer, *request, message.data(),
                             message.size(), sealed, now - 7));
    std::vector<uint8_t> data;
    EnvelopeStamp got;
    ASSERT_TRUE(openEnvelope(adminSide, CodecSide::Administrator, sealed.data(), sealed.size(),
                             data, &got, now));
    EXPECT_EQ(data, message);
    EXPECT_EQ(got.code, 101);
    EXPECT_EQ(got.time, now - 7);
    EXPECT_EQ(got.nonce, request->nonce);
    EXPECT_EQ(got.interfaceField, request->interfaceField);
    EXPECT_TRUE(got.sameRequest(*request));

    const std::function<void(EnvelopeStamp&)> changes[] = {
        [](EnvelopeStamp& s) { s.code = 102; },
        [](EnvelopeStamp& s) { s.nonce[15] ^= 0x80; },
        [](EnvelopeStamp& s) { s.interfaceField[62] = 0; },
    };
    for (const auto& change : changes) {
        EnvelopeStamp other = *request;
        change(other);
        EXPECT_FALSE(got.sameRequest(other));
    }
    // Without a stamp: no request, a nonce of its own each time.
    std::string first, second;
    ASSERT_TRUE(sealEnvelope(serverSide, CodecSide::CryptoServer, message.data(), message.size(),
                             first));
    ASSERT_TRUE(sealEnvelope(serverSide, CodecSide::CryptoServer, message.data(), message.size(),
                             second));
    EnvelopeStamp a, b;
    ASSERT_TRUE(openEnvelope(adminSide, CodecSide::Administrator, first.data(), first.size(), data,
                             &a));
    ASSERT_TRUE(openEnvelope(adminSide, CodecSide::Administrator, second.data(), second.size(),
                             data, &b));
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(a.interfaceName(), "");
    EXPECT_NE(a.nonce, b.nonce);
}
