// Output other tools read: the PEM keys of export-pem (read back by OpenSSL,
// also by the openssl program when it is installed, with the fingerprints
// inspect shows) and the --json documents of the changing commands, checked
// against the field lists of their schema document.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "keystore/base64.h"
#include "keystore/cp1251.h"
#include "keystore/fingerprint.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/clirun.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::runCli;
using Json = nlohmann::json;

namespace {

struct PemBlock {
    std::string comment;
    std::string pem;
};

// Every block with the comment line in front of it.
std::vector<PemBlock> pemBlocks(const std::string& text) {
    std::vector<PemBlock> blocks;
    std::string comment;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (line.rfind("# ", 0) == 0) {
            comment = line;
        } else if (line == "-----BEGIN PUBLIC KEY-----") {
            const std::string tail = "-----END PUBLIC KEY-----\n";
            const size_t stop = text.find(tail, at);
            if (stop == std::string::npos) break;
            blocks.push_back({comment, text.substr(at, stop + tail.size() - at)});
            comment.clear();
            end = stop + tail.size() - 1;
        }
        at = end + 1;
    }
    return blocks;
}

// What OpenSSL reads from the block, as the fingerprint inspect shows.
std::string fingerprintByOpenSsl(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!key) return "unreadable";
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    EVP_PKEY_free(key);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    std::string text = base64Encode(digest, digestLength);
    while (!text.empty() && text.back() == '=') text.pop_back();
    return "SHA256:" + text;
}

std::string shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '=')) out.pop_back();
    return out;
}

std::string cp1251(const std::string& utf8) {
    std::string out;
    EXPECT_TRUE(utf8ToCp1251(utf8, out));
    return out;
}

class MachineReadable : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir.file(name); }
    TestSupport::TempDir dir;
};

}  // namespace

TEST_F(MachineReadable, ExportPemIsReadByOpenSslWithInspectsFingerprints) {
    KeyBase base;
    ASSERT_TRUE(base.addChannel(
        TestSupport::completeChannel(cp1251("Центр"), cp1251("Иванов"), true, true, 512)));
    ASSERT_TRUE(base.saveBase(path("server.key_base")));
    const SecureChannel* channel = base.findChannel(cp1251("Центр"), cp1251("Иванов"));
    ASSERT_NE(channel, nullptr);
    // Own keys first, then the peer's; each with its use, owner and fingerprint.
    const std::vector<std::pair<const RsaKeyRecord*, std::string>> expected = {
        {channel->cryptPrivateKey.get(), "# encryption key of \"Центр\", 512 bits, "},
        {channel->cryptPublicKey.get(), "# encryption key of \"Иванов\", 512 bits, "},
        {channel->signPrivateKey.get(), "# signature key of \"Центр\", 512 bits, "},
        {channel->signPublicKey.get(), "# signature key of \"Иванов\", 512 bits, "},
    };

    const auto toStdout = runCli({"export-pem", path("server.key_base"), "Центр", "Иванов"});
    ASSERT_EQ(toStdout.code, 0) << toStdout.err;
    const auto toFile =
        runCli({"export-pem", path("server.key_base"), "Центр", "Иванов", path("keys.pem")});
    ASSERT_EQ(toFile.code, 0) << toFile.err;
    EXPECT_EQ(toFile.out, "");
    EXPECT_EQ(TestSupport::readText(path("keys.pem")), toStdout.out);

    const std::vector<PemBlock> blocks = pemBlocks(toStdout.out);
    ASSERT_EQ(blocks.size(), expected.size()) << toStdout.out;
    const bool haveOpenssl = std::system("openssl version >/dev/null 2>&1") == 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(blocks[i].comment);
        const std::string fingerprint = publicKeyFingerprint(*expected[i].first);
        EXPECT_EQ(blocks[i].comment, expected[i].second + fingerprint);
        EXPECT_EQ(fingerprintByOpenSsl(blocks[i].pem), fingerprint);
        if (!haveOpenssl) continue;
        const std::string one = path("one.pem");
        TestSupport::writeText(one, blocks[i].pem);
        EXPECT_EQ("SHA256:" + shell("openssl pkey -pubin -in '" + one +
                                    "' -outform DER | openssl dgst -sha256 -binary | base64"),
                  fingerprint);
        // The whole file too: openssl reads the first block past the comment.
        if (i == 0) {
            EXPECT_EQ("SHA256:" + shell("openssl pkey -pubin -in '" + path("keys.pem") +
                                        "' -outform DER | openssl dgst -sha256 -binary | base64"),
                      fingerprint);
        }
    }
    if (!haveOpenssl) std::fprintf(stderr, "openssl is not installed: read back by libcrypto only\n");

    // A public-part file holds its sender's keys, named after its local key.
    ASSERT_TRUE(writePublicPart(
        *TestSupport::ownKeysChannel(cp1251("Центр"), cp1251("Касса"), false, true, 512),
        path("openserv.okp")));
    const auto part = runCli({"export-pem", path("openserv.okp"), "Центр", "Касса"});
    ASSERT_EQ(part.code, 0) << part.err;
    const std::vector<PemBlock> partBlocks = pemBlocks(part.out);
    ASSERT_EQ(partBlocks.size(), 1u);
    EXPECT_EQ(partBlocks[0].comment.rfind("# signature key of \"Центр\", 512 bits, SHA256:", 0), 0u);

    // Wrong use of the command.
    EXPECT_EQ(runCli({"export-pem", path("server.key_base"), "Центр"}).code, 2);
    const auto missing = runCli({"export-pem", path("server.key_base"), "Центр", "Никто"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out, "");
    const auto itself = runCli(
        {"export-pem", path("server.key_base"), "Центр", "Иванов", path("server.key_base")});
    EXPECT_EQ(itself.code, 1);
    KeyBase still;
    EXPECT_TRUE(still.loadBase(path("server.key_base")));
}

namespace {

// The field names each table of a section of the schema document lists.
std::set<std::string> documentedFields(const std::string& document, const std::string& heading) {
    const size_t start = document.find("\n" + heading + "\n");
    EXPECT_NE(start, std::string::npos) << heading;
    if (start == std::string::npos) return {};
    size_t end = document.find("\n#", start + heading.size() + 2);
    if (end == std::string::npos) end = document.size();
    const std::string section = document.substr(start, end - start);
    // A table row whose first cell starts with a back-quoted name: every
    // back-quoted word of letters and digits in that cell is a field.
    std::set<std::string> fields;
    for (size_t at = section.find("\n| `"); at != std::string::npos;
         at = section.find("\n| `", at + 1)) {
        const size_t cellEnd = section.find(" |", at + 3);
        if (cellEnd == std::string::npos) break;
        const std::string cell = section.substr(at + 3, cellEnd - at - 3);
        for (size_t open = cell.find('`'); open != std::string::npos;) {
            const size_t close = cell.find('`', open + 1);
            if (close == std::string::npos) break;
            const std::string word = cell.substr(open + 1, close - open - 1);
            if (!word.empty() && std::isalpha(static_cast<unsigned char>(word[0])) &&
                std::all_of(word.begin(), word.end(),
                            [](unsigned char c) { return std::isalnum(c) != 0; }))
                fields.insert(word);
            open = cell.find('`', close + 1);
        }
    }
    return fields;
}

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

}  // namespace

// Every document parses, holds exactly the documented fields, and says what
// was written with the fingerprints the files really hold.
TEST_F(MachineReadable, JsonOfTheChangingCommandsFollowsItsSchema) {
    const char* source = std::getenv("TALVEK_TEST_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string schema =
        TestSupport::readText(std::string(source) + "/docs/talvekkey-json.md");
    const std::set<std::string> topFields = documentedFields(schema, "### Action: top level");
    const std::set<std::string> fileFields = documentedFields(schema, "### Action: file");
    const std::set<std::string> channelFields =
        documentedFields(schema, "### Action: channel outcome");
    const std::set<std::string> printFields = documentedFields(schema, "### Action: fingerprints");
    ASSERT_EQ(topFields, (std::set<std::string>{"format", "command", "files", "channels"}));

    std::map<std::string, Json> documents;
    const auto run = [&](const std::vector<std::string>& args) {
        const auto outcome = runCli(args);
        EXPECT_EQ(outcome.code, 0) << outcome.err;
        Json document = Json::parse(outcome.out, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << outcome.out;
        EXPECT_EQ(keysOf(document), topFields);
        EXPECT_EQ(document.value("format", 0), 1);
        EXPECT_EQ(document.value("command", ""), args[0]);
        for (const Json& file : document["files"]) EXPECT_EQ(keysOf(file), fileFields);
        for (const Json& channel : document["channels"]) {
            EXPECT_EQ(keysOf(channel), channelFields);
            for (const char* side : {"exported", "imported"}) {
                if (!channel[side].is_null()) {
                    EXPECT_EQ(keysOf(channel[side]), printFields);
                }
            }
        }
        documents[args[0]] = document;
        return document;
    };

    const Json server = run({"server-key", "--json", "--base", path("server.key_base"),
                             "--export", path("openserv.okp"), "--server", "Центр", "--user",
                             "Иванов", "--sign", "512"});
    EXPECT_EQ(server["files"], Json::parse(R"([{"path":")" + path("server.key_base") +
                                           R"(","role":"base"},{"path":")" +
                                           path("openserv.okp") + R"(","role":"publicPart"}])"));
    const Json& made = server["channels"][0];
    EXPECT_EQ(made["localName"], "Центр");
    EXPECT_EQ(made["remoteName"], "Иванов");
    EXPECT_EQ(made["action"], "created");
    EXPECT_TRUE(made["imported"].is_null());
    EXPECT_TRUE(made["exported"]["crypt"].is_null());
    SecureChannel part;
    ASSERT_TRUE(readChannelFile(part, path("openserv.okp")));
    EXPECT_EQ(made["exported"]["sign"], publicKeyFingerprint(*part.signPublicKey));

    const Json user = run({"user-key", "--base", path("userkey.bin"), "--import",
                           path("openserv.okp"), "--export", path("openuser.okp"), "--json",
                           "--java", path("javaclient.bin")});
    EXPECT_EQ(user["files"].size(), 3u);
    EXPECT_EQ(user["files"][2]["role"], "java");
    EXPECT_EQ(user["channels"][0]["localName"], "Иванов");
    EXPECT_EQ(user["channels"][0]["imported"]["sign"], made["exported"]["sign"]);
    SecureChannel back;
    ASSERT_TRUE(readChannelFile(back, path("openuser.okp")));
    EXPECT_EQ(user["channels"][0]["exported"]["sign"], publicKeyFingerprint(*back.signPublicKey));

    const Json imported = run({"import-user", "--base", path("server.key_base"), "--import",
                               path("openuser.okp"), "--json"});
    EXPECT_EQ(imported["channels"][0]["action"], "imported");
    EXPECT_EQ(imported["channels"][0]["imported"], user["channels"][0]["exported"]);
    EXPECT_TRUE(imported["channels"][0]["exported"].is_null());

    const Json deleted =
        run({"delete", path("server.key_base"), "Центр", "Иванов", "--json"});
    EXPECT_EQ(deleted["channels"][0]["action"], "deleted");
    EXPECT_EQ(deleted["files"][0]["role"], "base");

    // A failure prints its messages on stderr and no document.
    const auto failed = runCli({"delete", path("server.key_base"), "Центр", "Иванов", "--json"});
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(failed.out, "");
}

// inspect's documents hold exactly the fields their schema lists, each
// optional one exactly when its condition holds, for a key base and a channel
// record, filtered or not, with and without the private numbers.
TEST_F(MachineReadable, JsonOfInspectFollowsItsSchema) {
    const char* source = std::getenv("TALVEK_TEST_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string schema =
        TestSupport::readText(std::string(source) + "/docs/talvekkey-json.md");
    const std::set<std::string> baseFields = documentedFields(schema, "### Top level: key base");
    const std::set<std::string> recordFields =
        documentedFields(schema, "### Top level: channel record");
    const std::set<std::string> nodeFields = documentedFields(schema, "## Node");
    const std::set<std::string> channelFields = documentedFields(schema, "## Channel");
    const std::set<std::string> keyFields = documentedFields(schema, "## Key");
    const std::set<std::string> counts{"channelCount", "shownCount"};
    const std::set<std::string> secrets{"d", "p", "q", "dmp1", "dmq1", "iqmp"};
    ASSERT_TRUE(std::includes(baseFields.begin(), baseFields.end(), counts.begin(), counts.end()));
    ASSERT_TRUE(
        std::includes(recordFields.begin(), recordFields.end(), counts.begin(), counts.end()));
    ASSERT_TRUE(std::includes(keyFields.begin(), keyFields.end(), secrets.begin(), secrets.end()));
    auto without = [](std::set<std::string> all, const std::set<std::string>& left) {
        for (const std::string& name : left) all.erase(name);
        return all;
    };

    KeyBase base;
    base.addChannel(TestSupport::completeChannel(cp1251("Центр"), "user", true, true));
    base.addChannel(TestSupport::ownKeysChannel("admin", "root", false, true));
    ASSERT_TRUE(base.saveBase(path("b.key_base")));
    ASSERT_TRUE(writePublicPart(*base.findChannel("admin", "root"), path("part.okp")));

    const std::vector<std::vector<std::string>> filters = {
        {}, {"--match", "ЦЕН"}, {"--match", "nobody"}, {"--channel", "admin", "root"}};
    size_t nullChannels = 0;
    for (const std::string file : {"b.key_base", "part.okp"}) {
        for (const auto& filter : filters) {
            for (const bool withPrivate : {false, true}) {
                std::vector<std::string> args{"inspect", path(file), "--json"};
                if (withPrivate) args.push_back("--private");
                args.insert(args.end(), filter.begin(), filter.end());
                SCOPED_TRACE(testing::PrintToString(args));
                const auto outcome = runCli(args);
                const bool isRecord = file == "part.okp";
                ASSERT_EQ(outcome.code, 0) << outcome.err;
                const Json document = Json::parse(outcome.out, nullptr, false);
                ASSERT_FALSE(document.is_discarded()) << outcome.out;
                const std::set<std::string>& top = isRecord ? recordFields : baseFields;
                EXPECT_EQ(keysOf(document), filter.empty() ? without(top, counts) : top);

                std::vector<Json> channels;
                if (isRecord) {
                    if (document["channel"].is_null()) {
                        ++nullChannels;
                        EXPECT_EQ(document["shownCount"], 0);
                    } else {
                        channels.push_back(document["channel"]);
                    }
                } else {
                    for (const Json& node : document["nodes"]) {
                        EXPECT_EQ(keysOf(node), nodeFields);
                        for (const Json& c : node["channels"]) channels.push_back(c);
                    }
                }
                if (!filter.empty()) {
                    EXPECT_EQ(document["shownCount"], channels.size());
                }
                for (const Json& c : channels) {
                    EXPECT_EQ(keysOf(c), channelFields);
                    for (const char* part : {"cryptPublicKey", "cryptPrivateKey",
                                             "signPrivateKey", "signPublicKey"}) {
                        if (c[part].is_null()) continue;
                        EXPECT_EQ(keysOf(c[part]),
                                  withPrivate ? keyFields : without(keyFields, secrets))
                            << part;
                    }
                }
            }
        }
    }
    // The record ("admin : root") hidden by both --match texts, with and
    // without --private.
    EXPECT_EQ(nullChannels, 4u);
}
