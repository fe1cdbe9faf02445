#include <sstream>

#include <gtest/gtest.h>

#include "cli/command.h"
#include "support/lockwait.h"
#include "support/protocolrequests.h"
#include "support/serverfixture.h"
#include "support/tempdir.h"

using namespace TestSupport;

namespace {

struct CommandRun {
    int code;
    std::string out;
    std::string err;
};

class CryptoServerCommands : public CryptoServerFixture {
protected:
    CommandRun talvekkey(std::vector<std::string> args) {
        std::istringstream in;
        std::ostringstream out, err;
        Talvek::Cli::Io io{in, out, err};
        const int code = Talvek::Cli::runTalvekkey(args, io);
        return {code, out.str(), err.str()};
    }

    std::vector<std::string> connection(const std::string& command) {
        return {
            command,        "--host",  "127.0.0.1", "--port",        std::to_string(server->port()),
            "--admin-base", adminBase, "--admin",   "Администратор", "--server",
            "Криптосервер"};
    }
};

}  // namespace

TEST_F(CryptoServerCommands, ListFetchAndUploadPrintTheProgramsMessages) {
    CommandRun r = talvekkey(connection("interfaces"));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "main\nКасса\n");

    auto fetch = connection("fetch");
    const std::string local = dir.file("kassa.key_base");
    fetch.insert(fetch.end(), {"--interface", "Касса", "--file", local});
    r = talvekkey(fetch);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "База ключей сервера сохранена как\n\"" + local + "\"\n");
    EXPECT_EQ(readBytes(local), readBytes(interfaceFile("Касса")));

    auto upload = connection("upload");
    upload.insert(upload.end(), {"--interface", "main", "--file", local});
    r = talvekkey(upload);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Новая база ключей установлена на сервере как\n\"main.key_base\"\n");
    EXPECT_EQ(readBytes(interfaceFile("main")), readBytes(local));
}

TEST_F(CryptoServerCommands, FailuresExitOneAndUsageErrorsTwo) {
    auto fetch = connection("fetch");
    fetch.insert(fetch.end(), {"--interface", "absent", "--file", dir.file("x")});
    CommandRun r = talvekkey(fetch);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "Сервер сообщил об ошибке:\nСообщение сервера:\n\nНе найден интерфейс, или "
              "для него не была определена база ключей!\n");
    EXPECT_FALSE(exists(dir.file("x")));

    // The local file's cause follows the message.
    const std::string unreachable = dir.file("no/such/folder/x");
    fetch = connection("fetch");
    fetch.insert(fetch.end(), {"--interface", "main", "--file", unreachable});
    r = talvekkey(fetch);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Ошибка создания файла для получения!\ntalvekkey: " + unreachable +
                         ": no such file or directory\n");
    // A file another program holds is named once, and stays as it was.
    const std::string held = dir.file("held.key_base");
    writeText(held, "kept");
    {
        const ScopedLockWait shortWait(std::chrono::milliseconds(50));
        const HeldElsewhere lock(held, LOCK_EX);
        ASSERT_TRUE(lock.held());
        fetch = connection("fetch");
        fetch.insert(fetch.end(), {"--interface", "main", "--file", held});
        r = talvekkey(fetch);
    }
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Ошибка создания файла для получения!\ntalvekkey: " + held +
                         ": locked by another program\n");
    EXPECT_EQ(readText(held), "kept");
    // So is the administrator's base, when another program holds it.
    {
        const ScopedLockWait shortWait(std::chrono::milliseconds(50));
        const HeldElsewhere lock(adminBase, LOCK_EX);
        ASSERT_TRUE(lock.held());
        r = talvekkey(connection("interfaces"));
    }
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "Файла с приватными ключами не существует\nили файл не является базой с "
              "приватными ключами!\ntalvekkey: " +
                  adminBase + ": locked by another program\n");

    auto list = connection("interfaces");
    list[4] = std::string(1, '0');  // port 0: the option is refused
    EXPECT_EQ(talvekkey(list).code, 2);
    list[4] = std::to_string(server->port());
    EXPECT_EQ(talvekkey({"upload", "--host", "127.0.0.1"}).code, 2);
}

TEST_F(CryptoServerCommands, LocalChecksComeBeforeAnyRequest) {
    // The administrator's base must hold the channel.
    auto list = connection("interfaces");
    list.back() = "Чужой";
    CommandRun r = talvekkey(list);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "В базе " + adminBase + " нет секретного канала \"Администратор : Чужой\"!\n");

    // An upload of something that is no key base would replace the
    // interface's base on the server with it.
    const std::string junk = dir.file("notes.txt");
    writeBytes(junk, {'n', 'o', 't', 'e', 's'});
    const auto served = readBytes(interfaceFile("main"));
    auto upload = connection("upload");
    upload.insert(upload.end(), {"--interface", "main", "--file", junk});
    r = talvekkey(upload);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Файла базы ключей не существует\nили файл не является базой с ключами!\n"
                     "talvekkey: " + junk + ": not a key file\n");

    // A fetch into the administrator's own base would lose his key.
    const auto adminKey = readBytes(adminBase);
    auto fetch = connection("fetch");
    fetch.insert(fetch.end(), {"--interface", "main", "--file", adminBase});
    r = talvekkey(fetch);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "Нельзя получать базу сервера в файл базы ключей администратора:\nключ "
              "администратора был бы потерян!\n");

    EXPECT_EQ(server->requestCount(), 0);
    EXPECT_EQ(readBytes(interfaceFile("main")), served);
    EXPECT_EQ(readBytes(adminBase), adminKey);
}

TEST_F(CryptoServerCommands, AChannelThatDoesNotBothSignAndEncryptIsRefusedBeforeAnyRequest) {
    const std::string refusal =
        "Секретный канал \"Администратор : Криптосервер\" должен и подписывать, и шифровать!\n";
    for (const auto& [crypt, sign] : {std::pair{true, false}, {false, true}}) {
        writeChannelPair(adminBase, serverBase, adminName, serverName, crypt, sign);
        for (const char* command : {"interfaces", "fetch", "upload"}) {
            auto args = connection(command);
            if (std::string(command) != "interfaces")
                args.insert(args.end(), {"--interface", "main", "--file", interfaceFile("main")});
            const CommandRun r = talvekkey(args);
            EXPECT_EQ(r.code, 1) << command;
            EXPECT_EQ(r.err, refusal) << command;
        }
    }
    EXPECT_EQ(server->requestCount(), 0);
}

// A server may name interfaces with bytes a terminal would obey: they are
// printed as \xNN, the rest decoded from Windows-1251.
TEST_F(CryptoServerCommands, InterfaceNamesArePrintedSafely) {
    server->answerWith([this](const std::vector<uint8_t>& request) {
        RequestSealer serverSide(serverBase, serverName, adminName,
                                 Talvek::CodecSide::CryptoServer);
        return sealedReply(serverSide, openFirstBlock(serverSide, request).stamp,
                           Talvek::joinInterfaceList({"a\x1B[2Jb", "bell\a\r\n", cp("Касса")}));
    });
    const CommandRun r = talvekkey(connection("interfaces"));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "a\\x1B[2Jb\nbell\\x07\\x0D\\x0A\nКасса\n");
}
