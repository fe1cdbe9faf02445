// Many channels in one command: all of them or none, whatever fails.

#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <string>
#include <vector>

#include "cli/keyexchange.h"
#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/clirun.h"
#include "support/lockwait.h"
#include "support/tempdir.h"

using namespace Talvek;
using TestSupport::CliOutcome;
using TestSupport::runCli;
using TestSupport::snapshot;
using TestSupport::TempDir;

namespace {

// A server base with channels for the users, each user's own key made from
// the server's part and the user's public part waiting to be imported.
struct Enrolment {
    TempDir dir;
    std::string base = dir.file("server.key_base");
    std::vector<std::string> users;
    std::vector<std::string> parts;  // the users' public parts, by user

    explicit Enrolment(std::vector<std::string> names) : users(std::move(names)) {
        std::vector<std::string> args = {"server-key", "--base", base, "--server", "Сервер",
                                         "--export-dir", dir.file("out"), "--sign", "512"};
        for (const auto& u : users) args.insert(args.end(), {"--user", u});
        const CliOutcome made = runCli(args);
        EXPECT_EQ(made.code, 0) << made.err;
        for (size_t i = 0; i < users.size(); ++i) {
            parts.push_back(dir.file("user" + std::to_string(i) + ".okp"));
            const CliOutcome r =
                runCli({"user-key", "--base", dir.file("user" + std::to_string(i) + ".bin"),
                        "--import", dir.file("out/" + users[i] + ".okp"), "--export", parts[i]});
            EXPECT_EQ(r.code, 0) << r.err;
        }
    }
    std::vector<std::string> importArgs(const std::vector<std::string>& files) const {
        std::vector<std::string> args = {"import-user", "--base", base};
        for (const auto& f : files) args.insert(args.end(), {"--import", f});
        return args;
    }
    // Whether the server's channel to user i holds the user's public key.
    bool completed(size_t i) const {
        KeyBase b;
        if (!b.loadBase(base)) return false;
        std::string local, remote;
        utf8ToCp1251("Сервер", local);
        utf8ToCp1251(users[i], remote);
        const SecureChannel* c = b.findChannel(local, remote);
        return c && c->hasSignPublic;
    }
};

}  // namespace

TEST(BatchCommands, ImportUserTakesAllPartsOrNone) {
    Enrolment e({"Анна", "Борис", "Вера"});
    const auto before = snapshot(e.dir);
    // A missing part and a part that completes nothing (the server's own
    // part) refuse the whole import, each listed with its cause.
    CliOutcome r = runCli(e.importArgs(
        {e.parts[0], e.dir.file("nothere.okp"), e.parts[1], e.dir.file("out/Вера.okp")}));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("talvekkey: " + e.dir.file("nothere.okp") +
                         ": Файла с импортом открытых ключей не существует или файл не является "
                         "базой с открытыми ключами! (no such file or directory)\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("talvekkey: " + e.dir.file("out/Вера.okp") +
                         ": База импорта открытых ключей не соответствует"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find(e.parts[0] + ":"), std::string::npos) << "a good part is not refused";
    EXPECT_NE(r.err.find("nothing imported: 2 of 4 public parts refused"), std::string::npos);
    EXPECT_EQ(snapshot(e.dir), before);

    // The same part twice completes one channel twice: refused as well.
    r = runCli(e.importArgs({e.parts[0], e.parts[0]}));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("another part of this import completes the same channel"),
              std::string::npos);
    EXPECT_EQ(snapshot(e.dir), before);

    r = runCli(e.importArgs(e.parts));
    ASSERT_EQ(r.code, 0) << r.err;
    // The next step is talvekkey's own upload, not the window's button.
    EXPECT_EQ(r.out.rfind("Открытая часть пользовательского ключа успешно\nимпортирована в "
                          "серверную базу ключей.\nЕе необходимо обновить на криптосервере "
                          "командой\n\"talvekkey upload\".\nКанал Сервер : ",
                          0),
              0u)
        << r.out;
    for (size_t i = 0; i < e.users.size(); ++i) {
        EXPECT_TRUE(e.completed(i)) << e.users[i];
        EXPECT_NE(r.out.find("Канал Сервер : " + e.users[i] + "\n"), std::string::npos);
        EXPECT_NE(r.out.find("Отпечатки ключей, импортированных из \"" + e.parts[i] + "\":"),
                  std::string::npos);
    }
    // Completed channels are not completed again.
    r = runCli(e.importArgs(e.parts));
    EXPECT_EQ(r.code, 1);
}

TEST(BatchCommands, NothingChangesWhenTheBaseCannotBeWrittenOrIsLocked) {
    Enrolment e({"Анна", "Борис"});
    const auto before = snapshot(e.dir);
    const std::vector<std::vector<std::string>> commands = {
        e.importArgs(e.parts),
        {"delete", e.base, "Сервер", "Анна"},
        {"server-key", "--base", e.base, "--server", "Сервер", "--user", "Галина", "--user",
         "Дмитрий", "--export-dir", e.dir.file("more"), "--sign", "512"}};
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0]);
        {
            const TestSupport::ScopedLockWait shortWait(std::chrono::milliseconds(100));
            const TestSupport::HeldElsewhere held(e.base, LOCK_EX);
            ASSERT_TRUE(held.held());
            const CliOutcome r = runCli(args);
            EXPECT_EQ(r.code, 1);
            EXPECT_NE(r.err.find(e.base + ": locked by another program"), std::string::npos)
                << r.err;
        }
        EXPECT_EQ(snapshot(e.dir), before);
        EXPECT_FALSE(TestSupport::exists(e.dir.file("more")));
        if (TestSupport::talvekkeyBuilt()) {
            // A file size limit far below the base's size: the first write fails.
            const CliOutcome r = TestSupport::runBuiltWithFileLimit(64, args);
            EXPECT_EQ(r.code, 1) << r.err;
            EXPECT_NE(r.err.find("file too large"), std::string::npos) << r.err;
            EXPECT_EQ(snapshot(e.dir), before);
            EXPECT_TRUE(TestSupport::temporariesIn(e.dir.path()).empty());
            EXPECT_FALSE(TestSupport::exists(e.dir.file("more")));
        }
    }
}

TEST(BatchCommands, DeleteTakesAllPairsOrNone) {
    Enrolment e({"Анна", "Борис", "Вера"});
    const auto before = snapshot(e.dir);
    CliOutcome r = runCli({"delete", e.base, "Сервер", "Анна", "Сервер", "Никто"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Ошибка удаления канала!\ntalvekkey: no channel Сервер : Никто in " +
                         e.base + "\n");
    EXPECT_EQ(snapshot(e.dir), before);
    r = runCli({"delete", e.base, "Сервер", "Анна", "Сервер"});
    EXPECT_EQ(r.code, 2);

    r = runCli({"delete", e.base, "Сервер", "Анна", "Сервер", "Вера"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Канал успешно удален!\n");
    KeyBase b;
    ASSERT_TRUE(b.loadBase(e.base));
    EXPECT_EQ(b.channelCount(), 1);
}

TEST(BatchCommands, ServerKeyWritesOnePartPerUserIntoTheFolder) {
    TempDir dir;
    const std::string base = dir.file("server.key_base");
    const std::string out = dir.file("parts/new");
    auto serverKey = [&](const std::vector<std::string>& users) {
        std::vector<std::string> args = {"server-key", "--base", base, "--server", "Сервер",
                                         "--export-dir", out, "--crypt", "512", "--sign", "512"};
        for (const auto& u : users) args.insert(args.end(), {"--user", u});
        return runCli(args);
    };
    // Two users giving one file name: refused before the folder or a key is made.
    CliOutcome r = serverKey({"Анна", "a/b", "a_b"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "talvekkey: users \"a/b\" and \"a_b\" would both be written to \"a_b.okp\"\n");
    EXPECT_TRUE(TestSupport::listDir(dir.path()).empty());

    r = serverKey({"Анна", "a/b", "Ёлка"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(TestSupport::listDir(out),
              (std::vector<std::string>{"a_b.okp", "Ёлка.okp", "Анна.okp"}));
    KeyBase b;
    ASSERT_TRUE(b.loadBase(base));
    EXPECT_EQ(b.channelCount(), 3);
    SecureChannel part;
    ASSERT_TRUE(readChannelFile(part, out + "/a_b.okp"));
    EXPECT_EQ(part.remoteName, "a/b");
    EXPECT_FALSE(part.hasSignPrivate);

    // One name already taken refuses every user; nothing is added.
    const auto before = snapshot(dir);
    r = serverKey({"Борис", "Анна"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("talvekkey: Анна: Ключи с такими названиями уже существуют!\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_FALSE(TestSupport::exists(out + "/Борис.okp"));

    // --export is for one user; several need the folder.
    r = runCli({"server-key", "--base", base, "--server", "Сервер", "--user", "x", "--user", "y",
                "--export", dir.file("x.okp"), "--sign", "512"});
    EXPECT_EQ(r.code, 2);
}

TEST(BatchCommands, PublicPartFileNames) {
    for (const auto& [user, file] : {std::pair{"Анна", "Анна.okp"}, std::pair{"a/b/c", "a_b_c.okp"},
                                     std::pair{"..", "...okp"}, std::pair{"a b:c", "a b:c.okp"}}) {
        EXPECT_EQ(Cli::publicPartFileName(user), file);
    }
}
