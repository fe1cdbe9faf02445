#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <map>
#include <string>
#include <vector>

#include "support/clirun.h"
#include "cli/commandtable.h"
#include "fileio/filelock.h"
#include "keystore/fingerprint.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/exchangefiles.h"
#include "support/filesizelimit.h"
#include "support/lockwait.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::readBytes;
using TestSupport::TempDir;

namespace {

using Outcome = TestSupport::CliOutcome;

Outcome talvekkey(const std::vector<std::string>& args) {
    return TestSupport::runCli(args);
}

// "Сервер" and "Пользователь" as typed and as stored.
const std::string kServer = "Сервер";
const std::string kUser = "Пользователь";
const std::string kServer1251 = "\xD1\xE5\xF0\xE2\xE5\xF0";
const std::string kUser1251 = "\xCF\xEE\xEB\xFC\xE7\xEE\xE2\xE0\xF2\xE5\xEB\xFC";

const std::string kWeakKeyWarning =
    "talvekkey: warning: a 512-bit key is factored cheaply today; use 2048 bits or more\n";

// The fingerprint lines the commands print for a public-part file, from the
// keys the file holds.
std::string fingerprintBlock(const std::string& heading, const std::string& publicPart) {
    SecureChannel part;
    if (!readChannelFile(part, publicPart)) return "unreadable " + publicPart;
    return heading + " \"" + publicPart +
           "\":\n  Кодирование: " + publicKeyFingerprint(*part.cryptPublicKey) +
           "\n  Подпись:     " + publicKeyFingerprint(*part.signPublicKey) + "\n";
}

struct Exchange : TestSupport::ExchangeFiles {
    std::vector<std::string> serverKeyArgs(const std::vector<std::string>& uses,
                                           const std::string& server = kServer,
                                           const std::string& user = kUser) const {
        std::vector<std::string> args = {"server-key", "--base", serverBase, "--export", servPart,
                                         "--server",   server,   "--user",   user};
        args.insert(args.end(), uses.begin(), uses.end());
        return args;
    }
    std::vector<std::string> userKeyArgs(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> args = {"user-key", "--base",   userBase, "--import",
                                         servPart,   "--export", userPart};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    Outcome serverKey(const std::vector<std::string>& uses) {
        return talvekkey(serverKeyArgs(uses));
    }
    Outcome userKey(const std::vector<std::string>& extra = {}) {
        return talvekkey(userKeyArgs(extra));
    }
    Outcome importUser() {
        return talvekkey({"import-user", "--base", serverBase, "--import", userPart});
    }
};

}  // namespace

TEST(KeyExchangeCommands, WholeExchangeStoresWindows1251Names) {
    Exchange x;
    Outcome r = x.serverKey({"--crypt", "512", "--sign", "512"});
    ASSERT_EQ(r.code, 0) << r.err;
    // Each side sees the fingerprints of the part it sends and of the part it
    // received, so the two can compare them over the telephone.
    const std::string written = "Отпечатки ключей, записанных в";
    const std::string imported = "Отпечатки ключей, импортированных из";
    EXPECT_EQ(r.out, "Серверный приватный ключ создан.\nФайл \"" + x.servPart +
                         "\" с открытой частью серверного ключа успешно создан.\nЕго необходимо "
                         "отправить пользователю.\n" +
                         fingerprintBlock(written, x.servPart));
    EXPECT_EQ(r.err, kWeakKeyWarning);
    r = x.userKey();
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Файл \"" + x.userBase + "\" успешно создан.\nФайл \"" + x.userPart +
                         "\" с открытой частью пользовательского ключа успешно создан,\nего "
                         "необходимо отправить в центр.\n" +
                         fingerprintBlock(imported, x.servPart) +
                         fingerprintBlock(written, x.userPart));
    r = x.importUser();
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "Открытая часть пользовательского ключа успешно\nимпортирована в серверную базу "
              "ключей.\nЕе необходимо обновить на криптосервере командой\n"
              "\"talvekkey upload\".\n" +
                  fingerprintBlock(imported, x.userPart));

    KeyBase server, user;
    ASSERT_TRUE(server.loadBase(x.serverBase));
    ASSERT_TRUE(user.loadBase(x.userBase));
    const SecureChannel* s = server.findChannel(kServer1251, kUser1251);
    const SecureChannel* u = user.findChannel(kUser1251, kServer1251);
    ASSERT_TRUE(s && u);
    EXPECT_TRUE(s->hasCryptPublic && s->hasSignPublic);

    // The typed names are encoded before they are looked up in the base.
    const auto done = snapshot(x.dir);
    r = x.serverKey({"--sign", "512"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Ключи с такими названиями уже существуют!\n");
    EXPECT_EQ(snapshot(x.dir), done);
}

// An administrator deletes the only channel, then adds a channel for a new
// user to the same base.
TEST(KeyExchangeCommands, DeletingTheLastChannelLeavesAUsableBase) {
    Exchange x;
    ASSERT_EQ(x.serverKey({"--sign", "512"}).code, 0);
    Outcome r = talvekkey({"delete", x.serverBase, kServer, kUser});
    ASSERT_EQ(r.code, 0) << r.err;

    r = talvekkey(x.serverKeyArgs({"--sign", "512"}, kServer, "Анна"));
    ASSERT_EQ(r.code, 0) << r.err;
    KeyBase server;
    ASSERT_TRUE(server.loadBase(x.serverBase));
    EXPECT_EQ(server.channelCount(), 1);
    EXPECT_NE(server.findChannel(kServer1251, "\xC0\xED\xED\xE0"), nullptr);
    // The deleted pair is free again too.
    EXPECT_EQ(x.serverKey({"--sign", "512"}).code, 0);
    ASSERT_TRUE(server.loadBase(x.serverBase));
    EXPECT_EQ(server.channelCount(), 2);
}

TEST(KeyExchangeCommands, SignOnlyUserKeyWithJavaFile) {
    Exchange x;
    ASSERT_EQ(x.serverKey({"--sign", "512"}).code, 0);
    const std::string java = x.dir.file("client.bin");
    const Outcome r = x.userKey({"--java", java});
    ASSERT_EQ(r.code, 0) << r.err;
    // The file named is the one written, not the wizard's "javaclient.bin".
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "Файлы \"" + x.userBase + "\" и \"" + java + "\" успешно созданы.");

    // The maintenance export of the same channel gives the same file.
    Outcome again = talvekkey({"java", x.userBase, kUser, kServer, x.dir.file("again.bin")});
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(again.out, "\"Java\" канал успешно экспортирован!\n");
    EXPECT_EQ(readBytes(java), readBytes(x.dir.file("again.bin")));
}

// Spelt differently, one file is still one file: nothing is made.
TEST(KeyExchangeCommands, OneFileInTwoRolesIsRefused) {
    Exchange x;
    const std::string spelt = x.dir.path() + "/./server.key_base";
    Outcome r = talvekkey({"server-key", "--base", x.serverBase, "--export", spelt, "--server",
                           kServer, "--user", kUser, "--sign", "512"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Имена файлов с открытыми и\nприватными ключами не должны совпадать!\n");
    EXPECT_TRUE(snapshot(x.dir).empty());

    ASSERT_EQ(x.serverKey({"--sign", "512"}).code, 0);
    const auto before = snapshot(x.dir);
    r = x.userKey({"--java", x.dir.path() + "/./userkey.bin"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(snapshot(x.dir), before);
}

TEST(KeyExchangeCommands, JavaFileOnlyForSignOnlyChannels) {
    Exchange x;
    ASSERT_EQ(x.serverKey({"--crypt", "512", "--sign", "512"}).code, 0);
    const auto before = snapshot(x.dir);
    Outcome r = x.userKey({"--java", x.dir.file("client.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "Секретный канал содержит ключи кодирования.\nДля \"Java\" канала должна "
              "присутствовать\nтолько подпись!\n");
    EXPECT_EQ(snapshot(x.dir), before);
    r = x.userKey({"--java", x.userBase});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(snapshot(x.dir), before);
}

TEST(KeyExchangeCommands, ServerKeyWarnsAboutAForeignBaseAndGoesOn) {
    Exchange x;
    TestSupport::writeText(x.serverBase, "not a key base");
    const Outcome r = x.serverKey({"--sign", "512"});
    EXPECT_EQ(r.code, 1);
    // The warning, then the names check that cannot read the base either.
    const std::string cause = "talvekkey: " + x.serverBase + ": not a key file\n";
    EXPECT_EQ(r.err, "Данный файл не является базой с приватными ключами!\n" + cause +
                         "Ключи с такими названиями уже существуют!\n" + cause);
    EXPECT_EQ(TestSupport::readText(x.serverBase), "not a key base");
    EXPECT_FALSE(TestSupport::exists(x.servPart));
}

// A failure that a file caused names the file and the cause after the
// message; one that no file caused adds nothing.
TEST(KeyExchangeCommands, FailuresNameTheFileAtFault) {
    Exchange x;
    const std::string noFolder = x.dir.file("gone/openserv.okp");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {x.userKeyArgs(),
         "Файла с импортом открытых ключей не существует\nили файл не является базой с открытыми "
         "ключами!\ntalvekkey: " +
             x.servPart + ": no such file or directory\n"},
        {{"server-key", "--base", x.serverBase, "--export", noFolder, "--server", kServer, "--user",
          kUser, "--sign", "1024"},
         "Ошибка выполненния операции!\ntalvekkey: " + noFolder + ": no such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const Outcome r = talvekkey(c.args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_TRUE(TestSupport::listDir(x.dir.path()).empty());
}

TEST(KeyExchangeCommands, InputRefusals) {
    Exchange x;
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;  // exact, or empty for a usage error
    };
    const std::vector<std::string> sign512 = {"--sign", "512"};
    const std::vector<Case> cases = {
        // No use at all is a missing option, for one user and for several.
        {x.serverKeyArgs({}), 2,
         "talvekkey: option --crypt or --sign is required\nUsage: talvekkey " +
             std::string(Cli::serverKeyCommand().synopsis) + "\n"},
        {{"server-key", "--base", x.serverBase, "--server", kServer, "--user", "a", "--user", "b",
          "--export-dir", x.dir.file("parts")},
         2, ""},
        {x.serverKeyArgs(sign512, kServer, "snow\xE2\x98\x83"), 1,
         "Ключевое имя \"snow\xE2\x98\x83\" нельзя записать в кодировке Windows-1251!\n"},
        {x.serverKeyArgs({"--sign", "1000"}), 2, ""},
        {{"server-key", "--base", x.serverBase, "--server", kServer, "--user", kUser}, 2, ""},
        {{"import-user", "--base", x.serverBase, "--import"}, 2, ""},
        {{"import-user", "--base", x.serverBase, "--import", x.userPart, "--base", "b"}, 2, ""},
        {x.userKeyArgs({"stray"}), 2, ""},
        {{"java", x.userBase, kUser, kServer}, 2, ""},
        {{"delete", x.userBase, kUser}, 2, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        const Outcome r = talvekkey(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << " " << r.err;
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err);
        }
        if (c.code == 2) {
            EXPECT_NE(r.err.find("Usage: talvekkey"), std::string::npos);
        }
        EXPECT_TRUE(TestSupport::listDir(x.dir.path()).empty()) << r.err;
    }
}

TEST(KeyExchangeCommands, LargerKeySizesForAdministrators) {
    Exchange x;
    const Outcome r = x.serverKey({"--sign", "2048"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no warning from 1024 bits up
    KeyBase server;
    ASSERT_TRUE(server.loadBase(x.serverBase));
    const SecureChannel* s = server.findChannel(kServer1251, kUser1251);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->signSize, 2048u);
    EXPECT_EQ(BN_num_bits(s->signPrivateKey->n()), 2048);
}

TEST(MaintenanceCommands, JavaRefusals) {
    TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::completeChannel("both", "peer", true, true));
    base.addChannel(TestSupport::ownKeysChannel("half", "peer", false, true));
    auto none = std::make_unique<SecureChannel>();
    none->localName = "none";
    none->remoteName = "peer";
    base.addChannel(std::move(none));
    ASSERT_TRUE(base.saveBase(dir.file("b.key_base")));
    auto part = TestSupport::ownKeysChannel("sign", "peer", false, true);
    ASSERT_TRUE(writePublicPart(*part, dir.file("p.okp")));
    const auto before = snapshot(dir);
    const std::string out = dir.file("j.bin");

    const std::string onlyOneSide =
        "Секретный канал содержит только приватные ключи\nили только открытые ключи.\nДля "
        "\"Java\" канала допускаются только полные ключи!\n";
    const struct {
        std::string file;
        const char* local;
        std::string err;
    } refusals[] = {
        {"b.key_base", "both",
         "Секретный канал содержит ключи кодирования.\nДля \"Java\" канала должна "
         "присутствовать\nтолько подпись!\n"},
        {"b.key_base", "none",
         "Секретный канал не содержит ключей подписи.Для \"Java\" канала должна "
         "присутствовать\nтолько подпись!\n"},
        {"b.key_base", "half", onlyOneSide},
        {"p.okp", "sign", onlyOneSide},
        {"b.key_base", "missing", "Ошибка экспорта \"Java\" канала!\n"},
        {"none.bin", "both",
         "Ошибка открытия базы ключей!\ntalvekkey: " + dir.file("none.bin") +
             ": no such file or directory\n"},
    };
    for (const auto& row : refusals) {
        SCOPED_TRACE(row.file + " " + row.local);
        const Outcome r = talvekkey({"java", dir.file(row.file), row.local, "peer", out});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, row.err);
    }
    EXPECT_EQ(snapshot(dir), before);
}

TEST(MaintenanceCommands, DeleteWithoutQuestion) {
    TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::completeChannel("a", "b", false, true));
    base.addChannel(TestSupport::completeChannel("a", "c", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("b.key_base")));
    auto part = TestSupport::ownKeysChannel("a", "b", false, true);
    ASSERT_TRUE(writePublicPart(*part, dir.file("p.okp")));
    const auto before = snapshot(dir);

    Outcome r = talvekkey({"delete", dir.file("p.okp"), "a", "b"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Нельзя удалять каналы из баз импорта/экспорта\n");
    r = talvekkey({"delete", dir.file("b.key_base"), "a", "x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Ошибка удаления канала!\n");
    EXPECT_EQ(snapshot(dir), before);

    r = talvekkey({"delete", dir.file("b.key_base"), "a", "b"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Канал успешно удален!\n");
    KeyBase after;
    ASSERT_TRUE(after.loadBase(dir.file("b.key_base")));
    EXPECT_EQ(after.findChannel("a", "b"), nullptr);
    EXPECT_NE(after.findChannel("a", "c"), nullptr);
}

namespace {

}  // namespace

TEST(KeyExchangeCommands, FullDiskFailsCleanly) {
    if (!TestSupport::talvekkeyBuilt()) GTEST_SKIP() << "talvekkey is not built";
    Exchange x;
    ASSERT_EQ(x.serverKey({"--sign", "512"}).code, 0);
    const auto before = snapshot(x.dir);
    const Outcome r = TestSupport::runBuiltWithFileLimit(0, x.userKeyArgs());
    EXPECT_EQ(r.code, 1);
    // The first file the operation writes is the one that cannot grow.
    EXPECT_EQ(r.err, kWeakKeyWarning + "Ошибка выполненния операции!\ntalvekkey: " + x.userBase +
                         ": file too large\n");
    EXPECT_EQ(snapshot(x.dir), before);
}

TEST(KeyExchangeCommands, NamesTheWizardCouldNotHoldAreRefused) {
    Exchange x;
    for (const auto& [name, message] :
         {std::pair{std::string(260, 'n'), "Название ключа длиннее 259 символов!\n"},
          std::pair{std::string("   "), "Название ключа не может состоять из одних пробелов!\n"},
          std::pair{std::string("a\nb"),
                    "Название ключа не может содержать управляющие символы!\n"}}) {
        const Outcome r = talvekkey(x.serverKeyArgs({"--sign", "512"}, kServer, name));
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, message);
    }
    EXPECT_TRUE(snapshot(x.dir).empty());
}

// A base another program holds fails the step with its own message, and a
// line says the lock was the cause.
TEST(KeyExchangeCommands, ALockedBaseIsNamedAsTheCause) {
    Exchange x;
    ASSERT_EQ(x.serverKey({"--sign", "512"}).code, 0);
    const auto before = snapshot(x.dir);
    int fd = open(x.serverBase.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const TestSupport::ScopedLockWait wait(std::chrono::milliseconds(300));
    // One wait per action, however many checks read the base.
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = talvekkey(x.serverKeyArgs({"--sign", "512"}, kServer, "Другой"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));
    const Outcome i = talvekkey({"import-user", "--base", x.serverBase, "--import", x.servPart});
    const Outcome d = talvekkey({"delete", x.serverBase, kServer, kUser});
    close(fd);
    const std::string cause = "talvekkey: " + x.serverBase + ": locked by another program";
    for (const Outcome& o : {r, i}) {
        EXPECT_EQ(o.code, 1);
        EXPECT_EQ(o.err, "Ошибка выполненния операции!\n" + cause + "\n");
    }
    EXPECT_EQ(d.code, 1);
    EXPECT_NE(d.err.find(cause), std::string::npos) << d.err;
    EXPECT_EQ(snapshot(x.dir), before);

    // A reader waits for a writer too, and names the lock, not the content.
    ASSERT_EQ(flock(fd = open(x.serverBase.c_str(), O_RDONLY), LOCK_EX), 0);
    const Outcome shown = talvekkey({"inspect", x.serverBase});
    close(fd);
    EXPECT_EQ(shown.code, 1);
    EXPECT_NE(shown.err.find(cause), std::string::npos) << shown.err;

    // Every command, whichever of its files is held: the base, a file it
    // imports, a file it writes. The step that could not have the file says
    // so with its own message, and the file and the lock are named once.
    ASSERT_EQ(x.userKey().code, 0);
    const std::string out = x.dir.file("out");
    const std::string part = x.dir.file("again.okp");
    const std::string templ = x.dir.file("template.htmt");
    TestSupport::writeText(out, "");
    TestSupport::writeBytes(part, readBytes(x.userPart));
    TestSupport::writeText(templ, "#NAME#");
    const std::string openFailed = "Ошибка открытия базы ключей!\n";
    const std::string failed = "Ошибка выполненния операции!\n";
    const std::string noImport =
        "Файла с импортом открытых ключей не существует\n"
        "или файл не является базой с открытыми ключами!\n";
    const std::string& s = x.serverBase;
    const std::string& u = x.userBase;
    struct Held {
        std::string file;
        std::vector<std::string> args;
        std::string message;  // what comes before the cause line
    };
    const std::vector<Held> table = {
        {s, {"inspect", s}, openFailed},
        {s, {"inspect", s, "--json"}, openFailed},
        {s, {"export-pem", s, kServer, kUser}, openFailed},
        {out, {"export-pem", s, kServer, kUser, out}, "Ошибка экспорта канала!\n"},
        {s, {"export-public", s, kServer, kUser, x.dir.file("p.okp")}, openFailed},
        {out, {"export-public", s, kServer, kUser, out}, "Ошибка записи открытой части ключа!\n"},
        {u, {"java", u, kUser, kServer, x.dir.file("j.bin")}, openFailed},
        {out, {"java", u, kUser, kServer, out}, "Ошибка экспорта \"Java\" канала!\n"},
        {s, {"dump", s, kServer, kUser, x.dir.file("d.txt")}, openFailed},
        {out, {"dump", s, kServer, kUser, out}, "Ошибка выгрузки канала!\n"},
        {s, {"export-html", s, kServer, kUser, x.dir.file("r.html"), "--template", templ},
         openFailed},
        {out, {"export-html", s, kServer, kUser, out, "--template", templ},
         "Ошибка экспорта канала!\n"},
        {templ, {"export-html", s, kServer, kUser, x.dir.file("r.html"), "--template", templ},
         "Ошибка экспорта канала!\n"},
        {s, {"delete", s, kServer, kUser}, openFailed},
        {s, {"delete", s, kServer, kUser, kServer, "Другой", "--json"}, openFailed},
        {out,
         {"server-key", "--base", s, "--export", out, "--server", kServer, "--user", "Другой",
          "--sign", "512"},
         failed},
        {s,
         {"server-key", "--base", s, "--server", kServer, "--user", "А", "--user", "Б",
          "--export-dir", x.dir.file("more"), "--sign", "512"},
         kWeakKeyWarning + failed},
        {x.userPart, {"import-user", "--base", s, "--import", x.userPart}, noImport},
        {s, {"import-user", "--base", s, "--import", x.userPart, "--import", part}, failed},
        {u, {"user-key", "--base", u, "--import", x.servPart, "--export", x.dir.file("p.okp")},
         failed},
        {x.servPart,
         {"user-key", "--base", x.dir.file("new.bin"), "--import", x.servPart, "--export",
          x.dir.file("p.okp")},
         noImport},
        {out, {"user-key", "--base", x.dir.file("new.bin"), "--import", x.servPart, "--export", out},
         failed},
        {out,
         {"user-key", "--base", x.dir.file("new.bin"), "--import", x.servPart, "--export",
          x.dir.file("p.okp"), "--java", out},
         failed},
        {u, {"seal", u, kUser, kServer, out}, openFailed},
        {s, {"open", s, kServer, kUser, out}, openFailed},
    };
    const TestSupport::ScopedLockWait shortWait(std::chrono::milliseconds(50));
    const auto unchanged = snapshot(x.dir);
    for (const Held& h : table) {
        SCOPED_TRACE(h.args[0] + " while " + h.file + " is held");
        const TestSupport::HeldElsewhere held(h.file, LOCK_EX);
        ASSERT_TRUE(held.held());
        const Outcome o = talvekkey(h.args);
        EXPECT_EQ(o.code, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, h.message + "talvekkey: " + h.file + ": locked by another program\n");
        EXPECT_EQ(snapshot(x.dir), unchanged);
    }
}
