#include "keystore/keyops.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

#include "keystore/keybase.h"
#include "support/exchangefiles.h"
#include "fileio/fileresult.h"
#include "support/filesizelimit.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::readBytes;
using TestSupport::TempDir;

namespace {

// An independent reader of a public-part file: the channel header, then
// key records that must all be public ones. Fails the test on any surprise.
struct PublicPartFile {
    uint8_t useCrypt = 0, useSign = 0;
    std::string localName, remoteName;
    uint8_t presence[4] = {};
    uint32_t cryptSize = 0, signSize = 0;
    std::vector<std::vector<uint8_t>> moduli;
    std::vector<std::vector<uint8_t>> exponents;
};

class Cursor {
public:
    explicit Cursor(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::vector<uint8_t> take(size_t n) {
        EXPECT_LE(pos_ + n, bytes_.size());
        if (pos_ + n > bytes_.size()) return {};
        std::vector<uint8_t> out(bytes_.begin() + pos_, bytes_.begin() + pos_ + n);
        pos_ += n;
        return out;
    }
    uint32_t u32() {
        auto b = take(4);
        return b.size() == 4 ? b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24 : 0;
    }
    uint8_t u8() {
        auto b = take(1);
        return b.empty() ? 0 : b[0];
    }
    std::vector<uint8_t> field() { return take(u32()); }
    bool atEnd() const { return pos_ == bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

std::string str(const std::vector<uint8_t>& b) {
    return std::string(b.begin(), b.end());
}

PublicPartFile parsePublicPart(const std::string& path) {
    PublicPartFile f;
    Cursor c(readBytes(path));
    EXPECT_EQ(str(c.take(5)), "KCHA1");
    f.useCrypt = c.u8();
    f.useSign = c.u8();
    f.localName = str(c.field());
    f.remoteName = str(c.field());
    for (auto& p : f.presence) p = c.u8();
    f.cryptSize = c.u32();
    f.signSize = c.u32();
    const int keys = (f.useCrypt ? 1 : 0) + (f.useSign ? 1 : 0);
    for (int i = 0; i < keys; ++i) {
        EXPECT_EQ(str(c.take(5)), "KRSK0");
        EXPECT_EQ(c.u32(), 1u) << "a public-part file holds public records only";
        c.field();  // owner name
        f.moduli.push_back(c.field());
        f.exponents.push_back(c.field());
    }
    EXPECT_TRUE(c.atEnd()) << "bytes after the last public record";
    return f;
}

std::vector<uint8_t> bnBytes(const BIGNUM* n) {
    std::vector<uint8_t> out(BN_num_bytes(n));
    BN_bn2bin(n, out.data());
    return out;
}

bool contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

struct Exchange : TestSupport::ExchangeFiles {
    KeyWizardData serverKey(const std::string& server, const std::string& user, bool crypt,
                            bool sign, uint32_t bits) const {
        KeyWizardData d;
        d.mode = NewUserServerKey;
        d.baseFile = serverBase;
        d.exportFile = servPart;
        d.serverKeyName = server;
        d.userKeyName = user;
        d.useCrypt = crypt;
        d.useSign = sign;
        d.cryptSize = crypt ? bits : 0;
        d.signSize = sign ? bits : 0;
        return d;
    }
    // Mode 2 or 1 data as the file page fills it from the import.
    KeyWizardData imported(KeyCreationMode mode) const {
        KeyWizardData d;
        d.mode = mode;
        d.baseFile = mode == CreateUserKey ? userBase : serverBase;
        d.importFile = mode == CreateUserKey ? servPart : userPart;
        d.exportFile = mode == CreateUserKey ? userPart : std::string();
        EXPECT_TRUE(readImportedChannel(d));
        return d;
    }
};

SecureChannel loadChannel(const std::string& base, const std::string& local,
                          const std::string& remote) {
    KeyBase b;
    EXPECT_TRUE(b.loadBase(base));
    SecureChannel out;
    SecureChannel* c = b.findChannel(local, remote);
    EXPECT_NE(c, nullptr);
    if (!c) return out;
    out.useCrypt = c->useCrypt;
    out.useSign = c->useSign;
    out.hasCryptPrivate = c->hasCryptPrivate;
    out.hasCryptPublic = c->hasCryptPublic;
    out.hasSignPrivate = c->hasSignPrivate;
    out.hasSignPublic = c->hasSignPublic;
    out.cryptSize = c->cryptSize;
    out.signSize = c->signSize;
    out.cryptPublicKey = std::move(c->cryptPublicKey);
    out.cryptPrivateKey = std::move(c->cryptPrivateKey);
    out.signPrivateKey = std::move(c->signPrivateKey);
    out.signPublicKey = std::move(c->signPublicKey);
    return out;
}

}  // namespace

TEST(KeyExchange, ThreeStepsWithBothUsesAt1024BitsPairTheKeys) {
    Exchange x;
    ASSERT_TRUE(createServerKey(x.serverKey("server", "user", true, true, 1024)));
    KeyWizardData user = x.imported(CreateUserKey);
    EXPECT_EQ(user.serverKeyName, "server");
    EXPECT_EQ(user.userKeyName, "user");
    EXPECT_TRUE(user.useCrypt && user.useSign);
    EXPECT_EQ(user.cryptSize, 1024u);
    ASSERT_TRUE(checkImportNotInBase(user));
    ASSERT_TRUE(createUserKey(user, x.java));
    EXPECT_FALSE(TestSupport::exists(x.java));
    KeyWizardData import = x.imported(ImportUserPart);
    EXPECT_EQ(import.userKeyName, "user");
    ASSERT_TRUE(importUserPublicPart(import));

    SecureChannel s = loadChannel(x.serverBase, "server", "user");
    SecureChannel u = loadChannel(x.userBase, "user", "server");
    for (const SecureChannel* c : {&s, &u}) {
        EXPECT_TRUE(c->hasCryptPrivate && c->hasCryptPublic && c->hasSignPrivate &&
                    c->hasSignPublic);
        EXPECT_TRUE(c->cryptPrivateKey->hasCompletePrivate());
        EXPECT_TRUE(c->signPrivateKey->hasCompletePrivate());
        EXPECT_EQ(BN_num_bits(c->cryptPrivateKey->n()), 1024);
    }
    EXPECT_EQ(BN_cmp(s.cryptPublicKey->n(), u.cryptPrivateKey->n()), 0);
    EXPECT_EQ(BN_cmp(s.signPublicKey->n(), u.signPrivateKey->n()), 0);
    EXPECT_EQ(BN_cmp(u.signPublicKey->n(), s.signPrivateKey->n()), 0);
    EXPECT_EQ(BN_cmp(u.cryptPublicKey->n(), s.cryptPrivateKey->n()), 0);
    // The copied key keeps its sender's name.
    EXPECT_EQ(s.cryptPublicKey->name(), "user");

    // Neither public part carries a private number of its sender.
    for (auto [path, own] : {std::pair{x.servPart, &s}, std::pair{x.userPart, &u}}) {
        const PublicPartFile f = parsePublicPart(path);
        EXPECT_EQ(f.presence[0] + f.presence[2], 0);
        const auto bytes = readBytes(path);
        for (const RsaKeyRecord* k : {own->cryptPrivateKey.get(), own->signPrivateKey.get()}) {
            for (const BIGNUM* secret : {k->d(), k->p(), k->q(), k->dmp1(), k->dmq1(), k->iqmp()})
                EXPECT_FALSE(contains(bytes, bnBytes(secret)));
        }
        ASSERT_EQ(f.moduli.size(), 2u);
        EXPECT_EQ(f.moduli[0], bnBytes(own->cryptPrivateKey->n()));
        EXPECT_EQ(f.moduli[1], bnBytes(own->signPrivateKey->n()));
    }
    EXPECT_EQ(TestSupport::fileMode(x.serverBase), 0600u);
    EXPECT_EQ(TestSupport::fileMode(x.userBase), 0600u);
    EXPECT_NE(TestSupport::fileMode(x.servPart) & 0044u, 0u) << "public parts are for sending";
}

TEST(KeyExchange, SignOnlyUserKeyWritesTheJavaFile) {
    Exchange x;
    ASSERT_TRUE(createServerKey(x.serverKey("srv", "usr", false, true, 512)));
    const PublicPartFile part = parsePublicPart(x.servPart);
    EXPECT_EQ(part.moduli.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(part.presence, part.presence + 4),
              (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(part.cryptSize, 0u);
    EXPECT_EQ(part.signSize, 512u);

    KeyWizardData user = x.imported(CreateUserKey);
    user.javaClient = true;
    ASSERT_TRUE(createUserKey(user, x.java));
    EXPECT_EQ(TestSupport::fileMode(x.java), 0600u);

    const std::string text = TestSupport::readText(x.java);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    EXPECT_EQ(start, text.size()) << "every line ends with a line feed";
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].size(), 128u);
    EXPECT_LE(lines[1].size(), 128u);
    EXPECT_EQ(lines[2].size(), 128u);
    EXPECT_EQ(lines[3], "010001");

    SecureChannel u = loadChannel(x.userBase, "usr", "srv");
    auto hex = [](const BIGNUM* n) {
        char* h = BN_bn2hex(n);
        std::string s(h);
        OPENSSL_free(h);
        return s;
    };
    EXPECT_EQ(lines[0], hex(u.signPrivateKey->n()));
    EXPECT_EQ(lines[1], hex(u.signPrivateKey->d()));
    EXPECT_EQ(lines[2], hex(u.signPublicKey->n()));
    EXPECT_FALSE(u.useCrypt);
}

TEST(KeyExchange, ImportRefusalsWriteNothing) {
    Exchange x;
    ASSERT_TRUE(createServerKey(x.serverKey("srv", "usr", true, true, 512)));
    KeyWizardData user = x.imported(CreateUserKey);
    ASSERT_TRUE(createUserKey(user, x.java));
    const auto before = snapshot(x.dir);

    // The user base already holds the channel to this server.
    EXPECT_FALSE(checkImportNotInBase(user));
    user.exportFile = x.dir.file("again.okp");
    EXPECT_FALSE(createUserKey(user, x.java));

    // Swapped names: the server's own part offered as the user's.
    KeyWizardData swapped;
    swapped.mode = ImportUserPart;
    swapped.baseFile = x.serverBase;
    swapped.importFile = x.servPart;
    EXPECT_FALSE(readImportedChannel(swapped));
    // ...is recognised as the base's own keys coming back, in both modes.
    EXPECT_TRUE(importIsOwnPart(swapped));
    swapped.serverKeyName = "srv";
    swapped.userKeyName = "usr";
    EXPECT_FALSE(importUserPublicPart(swapped));
    KeyWizardData ownUserPart;
    ownUserPart.mode = CreateUserKey;
    ownUserPart.baseFile = x.userBase;
    ownUserPart.importFile = x.userPart;
    ownUserPart.exportFile = x.dir.file("swapped.okp");
    EXPECT_TRUE(importIsOwnPart(ownUserPart));
    ASSERT_TRUE(readImportedChannel(ownUserPart));
    EXPECT_FALSE(createUserKey(ownUserPart, x.java));
    EXPECT_FALSE(importIsOwnPart(user));
    EXPECT_EQ(snapshot(x.dir), before);

    // Import once; a second import is refused by the check and the operation.
    KeyWizardData import = x.imported(ImportUserPart);
    ASSERT_TRUE(importUserPublicPart(import));
    const auto completed = snapshot(x.dir);
    EXPECT_FALSE(readImportedChannel(import));
    EXPECT_FALSE(importUserPublicPart(import));
    EXPECT_EQ(snapshot(x.dir), completed);
}

TEST(KeyExchange, ImportsOnlyTheKeysWhoseFingerprintsWereShown) {
    Exchange x;
    PublicPartFingerprints serverWritten;
    ASSERT_TRUE(createServerKey(x.serverKey("srv", "usr", true, true, 512), &serverWritten));
    KeyWizardData user = x.imported(CreateUserKey);
    // What the server side saw written is what the user side is shown.
    EXPECT_FALSE(serverWritten.crypt.empty());
    EXPECT_NE(serverWritten.crypt, serverWritten.sign);
    EXPECT_EQ(user.imported, serverWritten);

    // Another server part with the same names and sizes replaces the file
    // between the check and Finish: nothing is made from it.
    const auto shown = readBytes(x.servPart);
    auto forged = TestSupport::ownKeysChannel("srv", "usr", true, true, 512, 1);
    ASSERT_TRUE(writePublicPart(*forged, x.servPart));
    const auto before = snapshot(x.dir);
    EXPECT_FALSE(createUserKey(user, x.java));
    EXPECT_EQ(snapshot(x.dir), before);

    TestSupport::writeBytes(x.servPart, shown);
    PublicPartFingerprints userWritten;
    ASSERT_TRUE(createUserKey(user, x.java, &userWritten));
    KeyWizardData import = x.imported(ImportUserPart);
    EXPECT_EQ(import.imported, userWritten);
    import.imported.sign = serverWritten.sign;
    EXPECT_FALSE(importUserPublicPart(import));
    import.imported = userWritten;
    EXPECT_TRUE(importUserPublicPart(import));
}

TEST(KeyExchange, ImportOfDifferentSizesOrUsesIsRefused) {
    Exchange x;
    // The server's channel at 512 bits, the user's part claiming 768.
    ASSERT_TRUE(createServerKey(x.serverKey("srv", "usr", false, true, 512)));
    auto userSide = TestSupport::ownKeysChannel("usr", "srv", false, true, 768);
    ASSERT_TRUE(writePublicPart(*userSide, x.userPart));
    const auto before = snapshot(x.dir);
    KeyWizardData d;
    d.mode = ImportUserPart;
    d.baseFile = x.serverBase;
    d.importFile = x.userPart;
    EXPECT_FALSE(readImportedChannel(d));
    EXPECT_FALSE(importUserPublicPart(d));

    // Same size, but the user's part also claims encryption.
    auto both = TestSupport::ownKeysChannel("usr", "srv", true, true, 512);
    ASSERT_TRUE(writePublicPart(*both, x.userPart));
    EXPECT_FALSE(readImportedChannel(d));
    EXPECT_EQ(snapshot(x.dir).at("server.key_base"), before.at("server.key_base"));
}

TEST(KeyExchange, LongKeyNamesWorkInEveryMode) {
    Exchange x;
    const std::string server(40, 's');
    const std::string user = std::string(35, 'u') + " with blanks";
    ASSERT_TRUE(createServerKey(x.serverKey(server, user, true, false, 512)));
    ASSERT_TRUE(createUserKey(x.imported(CreateUserKey), x.java));
    KeyWizardData import = x.imported(ImportUserPart);
    EXPECT_EQ(import.userKeyName, user);
    ASSERT_TRUE(importUserPublicPart(import));
    EXPECT_TRUE(loadChannel(x.serverBase, server, user).hasCryptPublic);
    KeyBase base;
    ASSERT_TRUE(base.loadBase(x.serverBase));
    EXPECT_EQ(base.findChannel(user, server), nullptr);
}

TEST(KeyChecks, NamesUnusedLooksBothWaysAndAtEmptyBases) {
    TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::ownKeysChannel("a", "b", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("s.key_base")));
    KeyWizardData d;
    d.baseFile = dir.file("s.key_base");
    for (auto [server, user, unused] :
         {std::tuple{"a", "b", false}, {"b", "a", false}, {"a", "c", true}, {"c", "a", true}}) {
        d.serverKeyName = server;
        d.userKeyName = user;
        EXPECT_EQ(checkNamesUnused(d).ok(), unused) << server << "->" << user;
    }
    // A base whose channels were all deleted holds no names, not all of them;
    // a file that is no key base still counts as taken.
    ASSERT_TRUE(base.deleteChannel("a", "b"));
    ASSERT_TRUE(base.saveBase(dir.file("s.key_base")));
    EXPECT_TRUE(checkNamesUnused(d));
    d.serverKeyName = "b";
    d.userKeyName = "a";
    EXPECT_TRUE(checkNamesUnused(d));
    TestSupport::writeText(d.baseFile, "KNET0");
    EXPECT_FALSE(checkNamesUnused(d));
}

// Deleting the last channel and adding a new one: the base takes it and
// lists only the new channel.
TEST(KeyExchange, EmptiedBaseTakesNewChannels) {
    Exchange x;
    ASSERT_TRUE(createServerKey(x.serverKey("srv", "old", false, true, 512)));
    KeyBase base;
    ASSERT_TRUE(base.loadBase(x.serverBase));
    ASSERT_TRUE(base.deleteChannel("srv", "old"));
    ASSERT_TRUE(base.saveBase(x.serverBase));

    const KeyWizardData d = x.serverKey("srv", "new", false, true, 512);
    ASSERT_TRUE(checkNamesUnused(d));
    ASSERT_TRUE(createServerKey(d));
    KeyBaseSummary header;
    std::vector<ChannelSummary> listed;
    ASSERT_TRUE(base.loadBase(x.serverBase));
    ASSERT_TRUE(base.listChannels(header, listed));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_STREQ(listed[0].remoteName, "new");
}

TEST(KeyChecks, FileChecks) {
    TempDir dir;
    auto channel = TestSupport::ownKeysChannel("srv", "usr", false, true);
    ASSERT_TRUE(writePublicPart(*channel, dir.file("part.okp")));
    KeyBase base;
    base.addChannel(TestSupport::ownKeysChannel("srv", "usr", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("s.key_base")));
    TestSupport::writeText(dir.file("junk"), "not a key file");

    EXPECT_TRUE(isPublicPartFile(dir.file("part.okp")));
    EXPECT_FALSE(isPublicPartFile(dir.file("junk")));
    EXPECT_FALSE(isPublicPartFile(dir.file("missing")));
    EXPECT_FALSE(isPublicPartFile(dir.path()));
    EXPECT_TRUE(isPrivateBase(dir.file("missing"), false));
    EXPECT_FALSE(isPrivateBase(dir.file("missing"), true));
    EXPECT_FALSE(isPrivateBase(dir.file("junk"), false));
    EXPECT_TRUE(isPrivateBase(dir.file("s.key_base"), true));
    EXPECT_FALSE(isPrivateBase(dir.file("part.okp"), true));

    // A file carrying an own private key is no public part, though it reads.
    FileWriter f;
    ASSERT_TRUE(f.create(dir.file("private.okp")));
    ASSERT_TRUE(channel->writeChannel(f));
    ASSERT_TRUE(f.close());
    EXPECT_TRUE(isPublicPartFile(dir.file("private.okp")));
    KeyWizardData d;
    d.mode = CreateUserKey;
    d.importFile = dir.file("private.okp");
    EXPECT_FALSE(readImportedChannel(d));
    d.importFile = dir.file("part.okp");
    EXPECT_TRUE(readImportedChannel(d));

    // A user base that does not load lets the check pass; the operation
    // refuses it later.
    d.baseFile = dir.file("junk");
    EXPECT_TRUE(checkImportNotInBase(d));
    d.baseFile = dir.file("s.key_base");  // holds srv -> usr, the import's own order
    EXPECT_FALSE(checkImportNotInBase(d));
}

namespace {

// A public-part file of one signing key with the given numbers, written
// byte by byte so any number can be planted.
void writeSigningPart(const std::string& path, const BIGNUM* n, const BIGNUM* e,
                      uint32_t declaredBits) {
    std::vector<uint8_t> b;
    auto raw = [&](const std::string& s) { b.insert(b.end(), s.begin(), s.end()); };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    };
    auto text = [&](const std::string& s) { u32(uint32_t(s.size())), raw(s); };
    auto num = [&](const BIGNUM* v) {
        auto bytes = bnBytes(v);
        u32(uint32_t(bytes.size()));
        b.insert(b.end(), bytes.begin(), bytes.end());
    };
    raw("KCHA1");
    b.push_back(0);
    b.push_back(1);
    text("srv");
    text("usr");
    for (uint8_t p : {0, 0, 0, 1}) b.push_back(p);
    u32(0);
    u32(declaredBits);
    raw("KRSK0");
    u32(1);
    text("srv");
    num(n);
    num(e);
    TestSupport::writeBytes(path, b);
}

}  // namespace

TEST(KeyChecks, ImplausiblePeerKeysAreRefusedAndWriteNothing) {
    TempDir dir;
    auto real = TestSupport::cachedPrivateKey(512);
    BignumPtr even(BN_dup(real->n()));
    BN_clear_bit(even.get(), 0);
    BignumPtr one(BN_new());
    BN_one(one.get());
    BignumPtr evenE(BN_new());
    BN_set_word(evenE.get(), 65536);
    // Odd moduli of sizes no user is offered: too small to be a key, or so
    // large that generating the own half would hold the program for minutes.
    auto oddOfBits = [](int bits) {
        BignumPtr n(BN_new());
        BN_rand(n.get(), bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD);
        return n;
    };
    const BignumPtr n511 = oddOfBits(511), n4097 = oddOfBits(4097), n16392 = oddOfBits(16392);

    struct Case {
        const char* what;
        const BIGNUM* n;
        const BIGNUM* e;
        uint32_t bits;
    };
    for (const Case& c : {Case{"sound", real->n(), real->e(), 512},
                          Case{"even modulus", even.get(), real->e(), 512},
                          Case{"exponent 1", real->n(), one.get(), 512},
                          Case{"even exponent", real->n(), evenE.get(), 512},
                          Case{"other size", real->n(), real->e(), 768},
                          Case{"511 bits", n511.get(), real->e(), 511},
                          Case{"4097 bits", n4097.get(), real->e(), 4097},
                          Case{"16392 bits", n16392.get(), real->e(), 16392}}) {
        SCOPED_TRACE(c.what);
        const bool sound = std::string(c.what) == "sound";
        writeSigningPart(dir.file("openserv.okp"), c.n, c.e, c.bits);
        KeyWizardData d;
        d.mode = CreateUserKey;
        d.baseFile = dir.file("userkey.bin");
        d.importFile = dir.file("openserv.okp");
        d.exportFile = dir.file("openuser.okp");
        EXPECT_EQ(readImportedChannel(d).ok(), sound);
        d.serverKeyName = "srv";
        d.userKeyName = "usr";
        d.useSign = true;
        d.signSize = c.bits;  // as the file declares it
        EXPECT_EQ(createUserKey(d, dir.file("java.bin")).ok(), sound);
        EXPECT_EQ(TestSupport::exists(dir.file("openuser.okp")), sound);
        EXPECT_EQ(TestSupport::exists(dir.file("userkey.bin")), sound);
        std::remove(dir.file("openuser.okp").c_str());
        std::remove(dir.file("userkey.bin").c_str());
    }
}

TEST(KeyOperations, FailedKeyGenerationWritesNothing) {
    TempDir dir;
    EXPECT_EQ(newLocalChannel("a", "b", true, false, 0, 0), nullptr);
    EXPECT_EQ(newLocalChannel("a", "b", false, true, 0, 1), nullptr);

    KeyBase base;
    base.addChannel(TestSupport::ownKeysChannel("old", "peer", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("s.key_base")));
    TestSupport::writeText(dir.file("openserv.okp"), "previous part");
    const auto before = snapshot(dir);
    KeyWizardData d;
    d.baseFile = dir.file("s.key_base");
    d.exportFile = dir.file("openserv.okp");
    d.serverKeyName = "srv";
    d.userKeyName = "usr";
    d.useSign = true;
    d.signSize = 1;  // OpenSSL refuses to make such a key
    EXPECT_FALSE(createServerKey(d));
    EXPECT_EQ(snapshot(dir), before);
}

TEST(KeyOperations, CreateUserKeyNeverReplacesABaseItCannotRead) {
    Exchange x;
    ASSERT_TRUE(createServerKey(x.serverKey("srv", "usr", false, true, 512)));
    KeyWizardData user = x.imported(CreateUserKey);
    // A damaged base: the start of a real one, cut short.
    KeyBase other;
    other.addChannel(TestSupport::completeChannel("me", "bank", false, true));
    ASSERT_TRUE(other.saveBase(x.userBase));
    auto bytes = readBytes(x.userBase);
    bytes[0] ^= 0xFF;
    TestSupport::writeBytes(x.userBase, bytes);
    const auto before = snapshot(x.dir);
    EXPECT_FALSE(createUserKey(user, x.java));
    EXPECT_EQ(snapshot(x.dir), before);
}

TEST(KeyOperations, ChannelsWithoutTheirKeysWriteNoFile) {
    TempDir dir;
    SecureChannel empty;
    empty.useSign = 1;
    empty.useCrypt = 1;
    EXPECT_FALSE(writePublicPart(empty, dir.file("p.okp")));
    EXPECT_FALSE(writeJavaKeyFile(empty, dir.file("j.bin")));
    auto ownOnly = TestSupport::ownKeysChannel("a", "b", false, true);
    EXPECT_FALSE(writeJavaKeyFile(*ownOnly, dir.file("j.bin")));
    EXPECT_FALSE(completeWithPublicPart(*ownOnly, nullptr));
    EXPECT_FALSE(completeWithPublicPart(*ownOnly, &empty));
    EXPECT_FALSE(ownOnly->hasSignPublic);
    EXPECT_TRUE(TestSupport::listDir(dir.path()).empty());
}

TEST(KeyOperations, FullDiskFailsCleanly) {
    Exchange x;
    KeyBase base;
    for (int i = 0; i < 4; ++i)
        base.addChannel(TestSupport::completeChannel("srv", "old" + std::to_string(i), true, true));
    ASSERT_TRUE(base.saveBase(x.serverBase));
    TestSupport::writeText(x.servPart, "previous part");
    const auto before = snapshot(x.dir);

    // Not even the public part fits: nothing changes.
    {
        TestSupport::FileSizeLimit full(64);
        EXPECT_FALSE(createServerKey(x.serverKey("srv", "usr", false, true, 512)));
    }
    EXPECT_EQ(snapshot(x.dir), before);

    // The public part fits, the larger base does not: the base stays as it
    // was and no temporary file is left behind.
    {
        TestSupport::FileSizeLimit full(400);
        EXPECT_FALSE(createServerKey(x.serverKey("srv", "usr", false, true, 512)));
    }
    auto after = snapshot(x.dir);
    EXPECT_EQ(after.at("server.key_base"), before.at("server.key_base"));
    EXPECT_EQ(after.size(), before.size());

    // The user side: nothing fits, nothing is made.
    ASSERT_TRUE(createServerKey(x.serverKey("srv", "usr", false, true, 512)));
    KeyWizardData user = x.imported(CreateUserKey);
    // Room for the user's public part only: the user base is not made.
    {
        TestSupport::FileSizeLimit full(300);
        EXPECT_FALSE(createUserKey(user, x.java));
    }
    EXPECT_FALSE(TestSupport::exists(x.userBase));
    std::remove(x.userPart.c_str());
    user.javaClient = true;
    {
        TestSupport::FileSizeLimit full(64);
        EXPECT_FALSE(createUserKey(user, x.java));
    }
    EXPECT_FALSE(TestSupport::exists(x.userBase));
    EXPECT_FALSE(TestSupport::exists(x.java));
}

// A base whose damaged count ended its read before its last byte loads what
// was read, as ever; but no change saves it back over itself, which would
// drop the channels the read never reached. The fault says how many bytes.
TEST(KeyOperations, ABaseReadInPartIsNeverSavedOverItself) {
    Exchange x;
    auto a = TestSupport::ownKeysChannel("srv", "a", false, true);
    auto b = TestSupport::ownKeysChannel("srv", "b", false, true, 512, 1);
    auto c = TestSupport::ownKeysChannel("other", "c", false, true);
    auto bytesOf = [](const SecureChannel& channel) {
        return TestSupport::bytesWrittenBy([&](FileWriter& f) { return channel.writeChannel(f); });
    };
    TestSupport::RecordBytes otherNode;
    otherNode.magic("KNOD0").text("other").u32(1).raw(bytesOf(*c));
    const struct {
        const char* what;
        TestSupport::RecordBytes bytes;
        uint64_t unread;
    } cases[] = {
        {"node count 1 of 2",
         TestSupport::RecordBytes().magic("KNET0").u32(0).u32(1).magic("KNOD0").text("srv").u32(
             2).raw(bytesOf(*a)).raw(bytesOf(*b)).raw(otherNode.bytes()),
         otherNode.bytes().size()},
        {"channel count 1 of 2",
         TestSupport::RecordBytes().magic("KNET0").u32(0).u32(1).magic("KNOD0").text("srv").u32(
             1).raw(bytesOf(*a)).raw(bytesOf(*b)),
         bytesOf(*b).size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestSupport::writeBytes(x.serverBase, c.bytes.bytes());
        KeyBase base;
        ASSERT_TRUE(base.loadBase(x.serverBase));
        EXPECT_EQ(base.unreadBytes(), c.unread);
        const auto before = snapshot(x.dir);
        const RemoveResult removal = removeChannelFrom(x.serverBase, "srv", "a");
        EXPECT_EQ(removal.outcome, RemoveOutcome::SaveFailed);
        EXPECT_EQ(removal.cause.fault, FileFault::NotReadWhole);
        EXPECT_EQ(removal.cause.count, c.unread);
        const FileResult created = createServerKey(x.serverKey("srv", "new", false, true, 512));
        EXPECT_FALSE(created);
        EXPECT_EQ(created.failure().fault, FileFault::NotReadWhole);
        EXPECT_EQ(created.failure().count, c.unread);
        EXPECT_EQ(snapshot(x.dir), before);
    }
}

// Names read from a peer's public part follow the rules of typed names: a
// name nobody could type came from a damaged or hostile file.
TEST(KeyChecks, ImportedNamesFollowTheTypedNameRules) {
    const struct {
        std::string name;
        bool plausible;
    } cases[] = {
        {"usr", true},
        {"\xCF\xEE\xEB\xFC\xE7\xEE\xE2\xE0\xF2\xE5\xEB\xFC", true},
        {"a b", true},
        {std::string(259, 'n'), true},
        {std::string(260, 'n'), false},
        {std::string(5000, 'n'), false},
        {"   ", false},
        {" \xA0 ", false},
        {"esc\x1B[31m", false},
        {"osc\x1B]0;title\x07", false},
        {"cr\r", false},
        {"del\x7F", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40));
        EXPECT_EQ(isPlausibleKeyName(c.name), c.plausible);
        Exchange x;
        auto server = TestSupport::ownKeysChannel(c.name, "usr", false, true);
        ASSERT_TRUE(writePublicPart(*server, x.servPart));
        KeyWizardData d;
        d.mode = CreateUserKey;
        d.baseFile = x.userBase;
        d.importFile = x.servPart;
        d.exportFile = x.userPart;
        EXPECT_EQ(readImportedChannel(d).ok(), c.plausible);
    }
}
