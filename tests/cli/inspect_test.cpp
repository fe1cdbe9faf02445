#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/clirun.h"
#include "keystore/encoding.h"
#include "keystore/fingerprint.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/lockwait.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using nlohmann::json;
using TestSupport::RecordBytes;
using TestSupport::TempDir;

namespace {

using Outcome = TestSupport::CliOutcome;

Outcome inspect(std::vector<std::string> args) {
    args.insert(args.begin(), "inspect");
    return TestSupport::runCli(args);
}

json inspectJson(const std::string& path, bool withPrivate = false) {
    const Outcome run =
        withPrivate ? inspect({path, "--json", "--private"}) : inspect({path, "--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    return json::parse(run.out);
}

std::string hex(const BIGNUM* b) {
    return bigNumHex(b);
}

}  // namespace

TEST(InspectJson, BaseShowsNodesInOrderWithEmptyOnesAndEveryNumber) {
    TempDir dir;
    KeyBase base;
    base.name = "\xC1\xE0\xE7\xE0";  // "База" in Windows-1251
    base.addChannel(TestSupport::ownKeysChannel("a-empty", "x", true, false));
    base.addChannel(TestSupport::completeChannel("\xD1\xE5\xF0\xE2\xE5\xF0", "user", true, true));
    base.addChannel(TestSupport::ownKeysChannel("\xD1\xE5\xF0\xE2\xE5\xF0", "admin", false, true));
    base.deleteChannel("a-empty", "x");
    ASSERT_TRUE(base.saveBase(dir.file("b.key_base")));

    const json j = inspectJson(dir.file("b.key_base"), true);
    EXPECT_EQ(j["format"], 1);
    EXPECT_EQ(j["private"], true);
    EXPECT_EQ(j["kind"], "base");
    EXPECT_EQ(j["name"], "База");
    ASSERT_EQ(j["nodes"].size(), 2u);
    EXPECT_EQ(j["nodes"][0], json::parse(R"({"name": "", "channels": []})"));
    const json& node = j["nodes"][1];
    EXPECT_EQ(node["name"], "Сервер");
    ASSERT_EQ(node["channels"].size(), 2u);
    EXPECT_EQ(node["channels"][0]["remoteName"], "admin");
    EXPECT_EQ(node["channels"][0]["cryptPublicKey"], nullptr);
    EXPECT_EQ(node["channels"][0]["useCrypt"], 0);

    const json& c = node["channels"][1];
    const SecureChannel* source = base.findChannel("\xD1\xE5\xF0\xE2\xE5\xF0", "user");
    EXPECT_EQ(c["localName"], "Сервер");
    EXPECT_EQ(c["remoteName"], "user");
    for (const char* field : {"useCrypt", "useSign", "hasCryptPrivate", "hasCryptPublic",
                              "hasSignPrivate", "hasSignPublic"}) {
        EXPECT_EQ(c[field], 1) << field;
    }
    EXPECT_EQ(c["cryptSize"], 512);
    EXPECT_EQ(c["signSize"], 512);
    const RsaKeyRecord& own = *source->signPrivateKey;
    const json expectedOwn = {{"kind", 2},
                              {"name", "Сервер"},
                              {"fingerprint", publicKeyFingerprint(own)},
                              {"n", hex(own.n())},
                              {"e", "010001"},
                              {"d", hex(own.d())},
                              {"p", hex(own.p())},
                              {"q", hex(own.q())},
                              {"dmp1", hex(own.dmp1())},
                              {"dmq1", hex(own.dmq1())},
                              {"iqmp", hex(own.iqmp())}};
    EXPECT_EQ(c["signPrivateKey"], expectedOwn);
    const json& peer = c["cryptPublicKey"];
    EXPECT_EQ(peer["kind"], 1);
    EXPECT_EQ(peer["name"], "user");
    EXPECT_EQ(peer["n"], hex(source->cryptPublicKey->n()));
    EXPECT_EQ(peer["fingerprint"], publicKeyFingerprint(*source->cryptPublicKey));
    EXPECT_EQ(peer["d"], nullptr);
    EXPECT_EQ(peer["iqmp"], nullptr);

    // Without --private no secret number reaches standard output; the rest
    // of the document is the same.
    const Outcome plain = inspect({dir.file("b.key_base"), "--json"});
    ASSERT_EQ(plain.code, 0);
    for (const BIGNUM* secret : {own.d(), own.p(), own.q(), own.dmp1(), own.dmq1(), own.iqmp()})
        EXPECT_EQ(plain.out.find(hex(secret)), std::string::npos);
    json withoutSecrets = j;
    withoutSecrets["private"] = false;
    for (json& n : withoutSecrets["nodes"]) {
        for (json& ch : n["channels"]) {
            for (const char* slot :
                 {"cryptPublicKey", "cryptPrivateKey", "signPrivateKey", "signPublicKey"}) {
                if (ch[slot].is_null()) continue;
                for (const char* number : {"d", "p", "q", "dmp1", "dmq1", "iqmp"})
                    ch[slot].erase(number);
            }
        }
    }
    EXPECT_EQ(json::parse(plain.out), withoutSecrets);
    // The fields come in the documented order.
    const auto ordered =
        nlohmann::ordered_json::parse(inspect({dir.file("b.key_base"), "--json"}).out);
    std::vector<std::string> keys;
    for (const auto& item : ordered["nodes"][1]["channels"][1].items()) keys.push_back(item.key());
    EXPECT_EQ(keys.front(), "localName");
    EXPECT_EQ(keys.back(), "signPublicKey");
}

// A file that is no key base is read as one channel record; values are shown
// as read, odd flags and kinds included, and the old layout gets its sizes.
TEST(InspectJson, ChannelRecordShowsValuesAsRead) {
    TempDir dir;
    auto key = TestSupport::cachedPrivateKey(1024);
    key->setName("\xFF");
    RecordBytes odd;
    // Names are texts from the file: JSON's own characters in them are escaped.
    odd.magic("KCHA1").u8(3).u8(0).text("l\"\\\x01").text("r");
    odd.u8(0).u8(2).u8(1).u8(1).u32(7).u32(9);
    odd.magic("KRSK0").u32(7).text("\xFF").number(key->n());  // cut short: no exponent
    TestSupport::writeBytes(dir.file("odd.okp"), odd.bytes());
    json j = inspectJson(dir.file("odd.okp"));
    EXPECT_EQ(j["format"], 1);
    EXPECT_EQ(j["kind"], "channel");
    const json& c = j["channel"];
    EXPECT_EQ(c["localName"], "l\"\\\x01");
    EXPECT_EQ(c["useCrypt"], 3);
    EXPECT_EQ(c["hasCryptPublic"], 2);
    EXPECT_EQ(c["hasSignPrivate"], 1);
    EXPECT_EQ(c["cryptSize"], 7);
    EXPECT_EQ(c["signSize"], 9);
    EXPECT_EQ(c["cryptPrivateKey"], nullptr);
    EXPECT_EQ(c["signPrivateKey"], nullptr);  // the signing use is off
    EXPECT_EQ(c["cryptPublicKey"]["kind"], 7);
    EXPECT_EQ(c["cryptPublicKey"]["name"], "я");
    EXPECT_EQ(c["cryptPublicKey"]["n"], hex(key->n()));
    EXPECT_EQ(c["cryptPublicKey"]["e"], nullptr);
    EXPECT_EQ(c["cryptPublicKey"]["fingerprint"], nullptr);

    RecordBytes old;
    old.magic("KCHA0").u8(1).u8(0).text("u").text("s").publicKey(*key).privateKey(*key);
    TestSupport::writeBytes(dir.file("old.okp"), old.bytes());
    j = inspectJson(dir.file("old.okp"), true);
    EXPECT_EQ(j["channel"]["cryptSize"], 1024);
    EXPECT_EQ(j["channel"]["hasCryptPrivate"], 1);
    EXPECT_EQ(j["channel"]["cryptPrivateKey"]["kind"], 2);
}

// The dialogs' message, then one line with the file and why it failed, as
// the key store found it.
TEST(InspectErrors, FailuresNameTheFileAndTheCause) {
    TempDir dir;
    TestSupport::writeText(dir.file("text"), "not a key file");
    TestSupport::writeBytes(dir.file("empty-base"),
                            RecordBytes().magic("KNET0").u32(0).u32(0).bytes());
    KeyBase base;
    base.addChannel(TestSupport::ownKeysChannel("a", "b", true, false));
    ASSERT_TRUE(base.saveBase(dir.file("readonly")));
    chmod(dir.file("readonly").c_str(), 0444);
    ASSERT_TRUE(base.saveBase(dir.file("locked")));
    const int holder = open(dir.file("locked").c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    // Sparse: one byte more than a key file may have, without the disk space.
    ASSERT_TRUE(base.saveBase(dir.file("huge")));
    ASSERT_EQ(truncate(dir.file("huge").c_str(), (256 << 20) + 1), 0);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"text", "not a key file"},
        {"empty-base", "not a key file"},
        {"missing", "no such file or directory"},
        // Root may open it and is refused by the key store; others by the system.
        {"readonly", geteuid() == 0 ? "read-only file" : "permission denied"},
        {"locked", "locked by another program"},
        {"folder", "is a directory"},
        {"huge", "too large for a key file"},
    };
    const TestSupport::ScopedLockWait wait(std::chrono::milliseconds(50));
    for (const auto& [name, cause] : cases) {
        for (bool json : {false, true}) {
            SCOPED_TRACE(name + (json ? " --json" : ""));
            const Outcome run =
                json ? inspect({dir.file(name), "--json"}) : inspect({dir.file(name)});
            EXPECT_EQ(run.code, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "Ошибка открытия базы ключей!\ntalvekkey: " + dir.file(name) + ": " +
                                   cause + "\n");
        }
    }
    close(holder);
}

TEST(InspectErrors, UsageErrorsExitWithTwo) {
    const std::string kSynopsis =
        "inspect FILE [--match TEXT | --channel LOCAL REMOTE] [--json [--private]]";
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"a", "b"},
                                                                  {"--json"},
                                                                  {"--xml", "a"},
                                                                  {"a", "--json", "b"},
                                                                  {"a", "--private"},
                                                                  {"a", "--match"},
                                                                  {"a", "--channel", "x"}}) {
        const Outcome run = inspect(args);
        EXPECT_EQ(run.code, 2);
        EXPECT_NE(run.err.find(kSynopsis), std::string::npos);
    }
    const Outcome help = inspect({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find(kSynopsis), std::string::npos);
}

TEST(InspectText, TreeLikeTheMaintenanceDialog) {
    TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::completeChannel("srv", "\xC8\xE2\xE0\xED", true, false));
    base.addChannel(TestSupport::ownKeysChannel("srv", "other", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("b")));
    // Options may come first; "--" ends them.
    Outcome run = inspect({"--", dir.file("b")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("База полных и приватных ключей.\n  2 секретных каналов."),
              std::string::npos);
    EXPECT_NE(run.out.find("  Узел: srv\n"), std::string::npos);
    const SecureChannel* complete = base.findChannel("srv", "\xC8\xE2\xE0\xED");
    const SecureChannel* signOnly = base.findChannel("srv", "other");
    EXPECT_NE(run.out.find("    srv : Иван\n      Имя локального ключа: srv\n"
                           "      Имя удаленного ключа: Иван\n      Кодирование\n"
                           "        Размер ключа: 512\n        Приватная часть ключа\n"
                           "          Отпечаток: " +
                           publicKeyFingerprint(*complete->cryptPrivateKey) +
                           "\n        Открытая часть ключа\n          Отпечаток: " +
                           publicKeyFingerprint(*complete->cryptPublicKey) + "\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("      Подпись (неполный)\n        Размер ключа: 512\n"
                           "        Приватная часть ключа\n          Отпечаток: " +
                           publicKeyFingerprint(*signOnly->signPrivateKey) + "\n"),
              std::string::npos);

    RecordBytes channel;
    channel.magic("KCHA1").u8(0).u8(1).text("a").text("b").u8(0).u8(0).u8(0).u8(1).u32(0).u32(512);
    channel.publicKey(*TestSupport::cachedPrivateKey(512));
    TestSupport::writeBytes(dir.file("p.okp"), channel.bytes());
    run = inspect({dir.file("p.okp")});
    ASSERT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("База импорта/экспорта открытых ключей.\n  a : b\n"), std::string::npos);
    EXPECT_NE(run.out.find("Подпись (неполный)\n      Размер ключа: 512\n      Открытая часть "
                           "ключа\n        Отпечаток: " +
                           publicKeyFingerprint(*TestSupport::cachedPrivateKey(512)) + "\n"),
              std::string::npos);
}

// Every file of the fuzzing corpus (damaged and hostile key files) either
// prints one JSON object or fails with the message; nothing else happens.
TEST(InspectJson, DamagedFilesGiveJsonOrTheMessage) {
    const char* source = std::getenv("TALVEK_TEST_SOURCE_DIR");
    const std::filesystem::path corpus =
        source ? std::filesystem::path(source) / "tests/fuzz/corpus/fuzz_keyfile"
               : std::filesystem::path(__FILE__).parent_path().parent_path() /
                     "fuzz/corpus/fuzz_keyfile";
    ASSERT_TRUE(std::filesystem::is_directory(corpus));
    TempDir dir;
    int shown = 0, refused = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        SCOPED_TRACE(entry.path().string());
        TestSupport::writeBytes(dir.file("f"), TestSupport::readBytes(entry.path().string()));
        const Outcome run = inspect({dir.file("f"), "--json"});
        if (run.code == 0) {
            ++shown;
            const auto j = nlohmann::ordered_json::parse(run.out);
            EXPECT_TRUE(j["kind"] == "base" || j["kind"] == "channel");
            // Exactly the library's own indented form, however it was written.
            EXPECT_EQ(j.dump(2) + "\n", run.out);
        } else {
            ++refused;
            EXPECT_EQ(run.code, 1);
            EXPECT_EQ(run.err, "Ошибка открытия базы ключей!\ntalvekkey: " + dir.file("f") +
                                   ": not a key file\n");
        }
    }
    EXPECT_GT(shown, 0);
    EXPECT_GT(refused, 0);
}

// A base whose count ended the read early shows what was read, as ever, and
// warns how much of the file was not read.
TEST(InspectText, WarnsOfBytesTheReadLeftBehind) {
    TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::ownKeysChannel("srv", "a", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("b")));
    auto bytes = TestSupport::readBytes(dir.file("b"));
    const std::vector<uint8_t> extra(123, 'x');
    bytes.insert(bytes.end(), extra.begin(), extra.end());
    TestSupport::writeBytes(dir.file("b"), bytes);
    for (const bool json : {false, true}) {
        const Outcome run = json ? inspect({dir.file("b"), "--json"}) : inspect({dir.file("b")});
        EXPECT_EQ(run.code, 0);
        EXPECT_NE(run.out.find("srv"), std::string::npos);
        EXPECT_EQ(run.err, "talvekkey: warning: " + dir.file("b") +
                               ": the file holds 123 bytes after the last node that were not "
                               "read\n");
    }
}

// --match finds names ignoring case (Cyrillic too), --channel one channel by
// its full names; both in the tree and in JSON.
TEST(InspectFilters, MatchAndChannelShowOnlyWhatWasAskedFor) {
    TempDir dir;
    KeyBase base;
    const std::string server = "\xD1\xC5\xD0\xC2\xC5\xD0";  // "СЕРВЕР"
    base.addChannel(TestSupport::ownKeysChannel(server, "\xB8\xE6\xE8\xEA", false, true));  // ёжик
    base.addChannel(TestSupport::ownKeysChannel(server, "Anna", false, true));
    base.addChannel(TestSupport::ownKeysChannel("admin", "root", false, true));
    const std::string path = dir.file("b.key_base");
    ASSERT_TRUE(base.saveBase(path));

    struct Case {
        std::vector<std::string> filter;
        std::vector<std::string> shown;  // remote names, in order
    };
    for (const Case& c : std::vector<Case>{{{"--match", "ЁЖ"}, {"ёжик"}},
                                           {{"--match", "сервер"}, {"Anna", "ёжик"}},
                                           {{"--match", "ANN"}, {"Anna"}},
                                           {{"--match", "O"}, {"root"}},
                                           {{"--match", ""}, {"root", "Anna", "ёжик"}},
                                           {{"--match", "nobody"}, {}},
                                           {{"--match", "€uro✓"}, {}},
                                           {{"--channel", "СЕРВЕР", "Anna"}, {"Anna"}},
                                           // The value joined to its option by "=".
                                           {{"--match=ann"}, {"Anna"}},
                                           {{"--match="}, {"root", "Anna", "ёжик"}},
                                           {{"--channel=СЕРВЕР", "Anna"}, {"Anna"}}}) {
        SCOPED_TRACE(c.filter.back());
        std::vector<std::string> args = {path, "--json"};
        args.insert(args.end(), c.filter.begin(), c.filter.end());
        const Outcome run = inspect(args);
        ASSERT_EQ(run.code, 0) << run.err;
        const json j = json::parse(run.out);
        std::vector<std::string> shown;
        for (const json& node : j["nodes"]) {
            EXPECT_FALSE(node["channels"].empty()) << "a node without a channel shown";
            for (const json& channel : node["channels"]) shown.push_back(channel["remoteName"]);
        }
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(j["shownCount"], c.shown.size());
        EXPECT_EQ(j["channelCount"], 3);

        args.erase(args.begin() + 1);  // the tree
        const Outcome tree = inspect(args);
        EXPECT_NE(tree.out.find("  Показано " + std::to_string(c.shown.size()) +
                                " из 3 секретных каналов.\n"),
                  std::string::npos);
        for (const std::string remote : {"ёжик", "Anna", "root"}) {
            const bool listed = tree.out.find(" : " + std::string(remote) + "\n") != std::string::npos;
            EXPECT_EQ(listed, std::find(c.shown.begin(), c.shown.end(), remote) != c.shown.end())
                << remote;
        }
    }
    const Outcome missing = inspect({path, "--channel", "СЕРВЕР", "anna"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "talvekkey: no channel СЕРВЕР : anna in " + path + "\n");
    EXPECT_EQ(inspect({path, "--match", "a", "--channel", "b", "c"}).code, 2);
    EXPECT_EQ(inspect({path, "--channel=b"}).code, 2);
    EXPECT_EQ(inspect({path, "--json=1"}).code, 2);
}

// Names read from a file reach the terminal escaped: an escape sequence in a
// name cannot retitle the window or forge lines of the listing.
TEST(InspectText, NamesFromTheFileAreEscaped) {
    TempDir dir;
    KeyBase base;
    base.name = "base\r\n";
    base.addChannel(
        TestSupport::ownKeysChannel("srv\x1B]0;owned\x07", "usr\n  Узел: x", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("b")));
    const Outcome run = inspect({dir.file("b")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out.find('\x1B'), std::string::npos);
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    EXPECT_NE(run.out.find("    srv\\x1B]0;owned\\x07 : usr\\x0A  \xD0"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Имя базы: base\\x0D\\x0A\n"), std::string::npos) << run.out;
}

// "-" reads the key file from stdin into memory: whatever inspect shows or
// refuses for a file it shows or refuses for the same bytes on stdin, the
// file then named "stdin".
TEST(InspectStdin, TheKeyFileOnStdinGivesWhatTheFileGives) {
    TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::completeChannel("\xD1\xE5\xF0\xE2\xE5\xF0", "user", true, true));
    base.addChannel(TestSupport::ownKeysChannel("srv", "a b", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("base")));
    ASSERT_TRUE(writePublicPart(*base.findChannel("srv", "a b"), dir.file("part.okp")));
    // Bytes after the last node: the warning names the input too.
    auto bytes = TestSupport::readBytes(dir.file("base"));
    bytes.insert(bytes.end(), 7, 'x');
    TestSupport::writeBytes(dir.file("tail"), bytes);
    TestSupport::writeText(dir.file("text"), "not a key file");
    TestSupport::writeText(dir.file("empty"), "");

    const std::vector<std::vector<std::string>> optionSets = {
        {},
        {"--json"},
        {"--json", "--private"},
        {"--match", "СЕР"},
        {"--match", "nothing", "--json"},
        {"--channel", "srv", "a b", "--json"},
        {"--channel", "no", "such"},
    };
    auto named = [](std::string text, const std::string& from, const std::string& to) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
            text.replace(at, from.size(), to);
            at += to.size();
        }
        return text;
    };
    for (const char* name : {"base", "part.okp", "tail", "text", "empty"}) {
        const std::string path = dir.file(name);
        for (const auto& options : optionSets) {
            std::vector<std::string> fromFile{"inspect", path};
            std::vector<std::string> fromStdin{"inspect", "-"};
            fromFile.insert(fromFile.end(), options.begin(), options.end());
            fromStdin.insert(fromStdin.end(), options.begin(), options.end());
            SCOPED_TRACE(std::string(name) + " " + testing::PrintToString(options));
            const Outcome file = TestSupport::runCli(fromFile);
            const Outcome piped = TestSupport::runCli(fromStdin, TestSupport::readText(path));
            EXPECT_EQ(piped.code, file.code);
            EXPECT_EQ(piped.out, named(file.out, path, "stdin"));
            EXPECT_EQ(piped.err, named(file.err, path, "stdin"));
        }
    }
    // Not a trivial equality: the listing and the refusals did happen.
    EXPECT_NE(TestSupport::runCli({"inspect", "-"}, TestSupport::readText(dir.file("tail"))).err,
              "");
    EXPECT_EQ(TestSupport::runCli({"inspect", "-"}, "").err,
              "Ошибка открытия базы ключей!\ntalvekkey: stdin: not a key file\n");
}

// Stdin that cannot be read, or would never end, is refused with its cause.
TEST(InspectStdin, TheProgramNamesAnUnreadableOrEndlessStdin) {
    if (!TestSupport::talvekkeyBuilt()) GTEST_SKIP() << "talvekkey is not built";
    const struct {
        const char* input;
        const char* cause;
    } cases[] = {{"/", "is a directory"}, {"/dev/zero", "more than 256 MiB of input"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const Outcome run = TestSupport::runBuiltWithInput(c.input, {"inspect", "-", "--json"});
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.err,
                  std::string("Ошибка открытия базы ключей!\ntalvekkey: stdin: ") + c.cause + "\n");
    }
}
