#include <gtest/gtest.h>

#include <cstdlib>
#include <chrono>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "support/clirun.h"
#include "support/recordbytes.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::readText;
using TestSupport::TempDir;

namespace {

using Outcome = TestSupport::CliOutcome;
using TestSupport::runCli;

// UTF-8 names on the command line, Windows-1251 in the files.
const std::string kServerUtf8 = "Сервер";
const std::string kServer1251 = "\xD1\xE5\xF0\xE2\xE5\xF0";
const std::string kUser = "ivan";

std::unique_ptr<RsaKeyRecord> publicOf(const RsaKeyRecord& key) {
    std::unique_ptr<RsaKeyRecord> out;
    EXPECT_TRUE(key.extractPublic(out));
    return out;
}

// The two bases of a completed exchange, and the server's public part.
struct Files {
    TempDir dir;
    std::string server = dir.file("server.key_base");
    std::string user = dir.file("userkey.bin");
    std::string serverPart = dir.file("openserv.okp");

    Files(bool crypt, bool sign) {
        auto s = TestSupport::ownKeysChannel(kServer1251, kUser, crypt, sign, 512, 0);
        auto u = TestSupport::ownKeysChannel(kUser, kServer1251, crypt, sign, 512, 1);
        EXPECT_TRUE(writePublicPart(*s, serverPart));
        if (crypt) {
            s->cryptPublicKey = publicOf(*u->cryptPrivateKey);
            u->cryptPublicKey = publicOf(*s->cryptPrivateKey);
            s->hasCryptPublic = u->hasCryptPublic = 1;
        }
        if (sign) {
            s->signPublicKey = publicOf(*u->signPrivateKey);
            u->signPublicKey = publicOf(*s->signPrivateKey);
            s->hasSignPublic = u->hasSignPublic = 1;
        }
        KeyBase a, b;
        a.addChannel(std::move(s));
        b.addChannel(std::move(u));
        EXPECT_TRUE(a.saveBase(server));
        EXPECT_TRUE(b.saveBase(user));
    }
};

// The source tree: from the test environment, else from this file's path.
std::string sourceDir() {
    if (const char* dir = std::getenv("TALVEK_TEST_SOURCE_DIR")) return dir;
    const std::string self = __FILE__;
    return self.substr(0, self.rfind("/tests/"));
}

std::string templatePath() {
    return sourceDir() + "/resources/template.htmt";
}

}  // namespace

TEST(SealOpenCommands, MessageCrossesTheChannelPair) {
    for (const auto& [crypt, sign] :
         {std::pair(true, false), std::pair(false, true), std::pair(true, true)}) {
        Files f(crypt, sign);
        const std::string data("binary\0data\xFF\n", 13);
        const Outcome sealed = runCli({"seal", f.user, kUser, kServerUtf8}, data);
        ASSERT_EQ(sealed.code, 0) << sealed.err;
        EXPECT_EQ(sealed.err, "");
        const Outcome opened = runCli({"open", f.server, kServerUtf8, kUser}, sealed.out);
        ASSERT_EQ(opened.code, 0) << opened.err;
        EXPECT_EQ(opened.out, data);

        std::string changed = sealed.out;
        changed[changed.size() / 2] ^= 0x02;
        const Outcome bad = runCli({"open", f.server, kServerUtf8, kUser}, changed);
        EXPECT_EQ(bad.code, 1);
        EXPECT_EQ(bad.out, "");
        EXPECT_NE(bad.err.find("Сообщение не открывается"), std::string::npos);
        // The sender's own side is the wrong channel to open it with.
        EXPECT_EQ(runCli({"open", f.user, kUser, kServerUtf8}, sealed.out).code, 1);
    }
}

TEST(SealOpenCommands, RefusalsAndWarnings) {
    Files f(true, true);
    EXPECT_EQ(runCli({"seal", f.user, kUser, kServerUtf8}, "").code, 1);
    EXPECT_EQ(runCli({"seal", f.user, kUser}).code, 2);
    const Outcome missing = runCli({"seal", f.user, "nobody", kServerUtf8}, "x");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("не найден"), std::string::npos);
    EXPECT_EQ(runCli({"seal", f.dir.file("none"), kUser, kServerUtf8}, "x").err,
              "Ошибка открытия базы ключей!\ntalvekkey: " + f.dir.file("none") +
                  ": no such file or directory\n");
    // The server's public part holds no private key: sealing with it would
    // protect nothing, which is refused unless clear text is asked for.
    const Outcome refused = runCli({"seal", f.serverPart, kServerUtf8, kUser}, "abc");
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "Канал не подписывает и не кодирует сообщения: данные не были бы защищены.\n"
              "Укажите --clear, если нужен открытый текст.\n");
    const Outcome plain = runCli({"seal", f.serverPart, kServerUtf8, kUser, "--clear"}, "abc");
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.out, "YWJj\n");
    EXPECT_NE(plain.err.find("не защищены"), std::string::npos);
}

// INPUT names a file or, as - or left out, stdin; the key file may then come
// through stdin instead. Both are read whole under a key file's cap, and each
// failure names what could not be read.
TEST(SealOpenCommands, InputAndKeyFileFromAFileOrStdin) {
    Files f(true, true);
    const std::string data("file\0data\xFF", 10);
    const std::string input = f.dir.file("data.bin");
    TestSupport::writeText(input, data);
    const std::string userBase = readText(f.user);
    const std::string serverBase = readText(f.server);

    const Outcome sealed = runCli({"seal", f.user, kUser, kServerUtf8, input});
    ASSERT_EQ(sealed.code, 0) << sealed.err;
    const Outcome sealedFromStdinKey = runCli({"seal", "-", kUser, kServerUtf8, input}, userBase);
    ASSERT_EQ(sealedFromStdinKey.code, 0) << sealedFromStdinKey.err;
    const std::string message = f.dir.file("message.txt");
    TestSupport::writeText(message, sealed.out);
    const std::string message2 = f.dir.file("message2.txt");
    TestSupport::writeText(message2, sealedFromStdinKey.out);
    const struct {
        std::vector<std::string> args;
        std::string in;
    } opens[] = {
        {{"open", f.server, kServerUtf8, kUser, message}, ""},
        {{"open", f.server, kServerUtf8, kUser, "-"}, sealed.out},
        {{"open", f.server, kServerUtf8, kUser}, sealedFromStdinKey.out},
        {{"open", "-", kServerUtf8, kUser, message2}, serverBase},
    };
    for (const auto& o : opens) {
        SCOPED_TRACE(o.args[1] + " " + o.args.back());
        const Outcome opened = runCli(o.args, o.in);
        EXPECT_EQ(opened.code, 0) << opened.err;
        EXPECT_EQ(opened.out, data);
    }

    const std::string missing = f.dir.file("missing");
    const std::string huge = f.dir.file("huge");
    TestSupport::writeText(huge, "x");
    ASSERT_EQ(truncate(huge.c_str(), (256 << 20) + 1), 0);
    const std::string sealFailed = "Ошибка защиты сообщения!\n";
    const std::string openFailed =
        "Сообщение не открывается: оно повреждено, подделано или защищено для другого канала.\n";
    const std::string noKeys = "Ошибка открытия базы ключей!\ntalvekkey: stdin: not a key file\n";
    const struct {
        std::vector<std::string> args;
        std::string in;
        int code;
        std::string err;
    } refusals[] = {
        {{"seal", "-", kUser, kServerUtf8}, userBase, 2,
         "talvekkey: FILE and INPUT cannot both be stdin\n"
         "Usage: talvekkey seal FILE LOCAL REMOTE [INPUT] [--clear]\n"},
        {{"open", "-", kServerUtf8, kUser, "-"}, serverBase, 2,
         "talvekkey: FILE and INPUT cannot both be stdin\n"
         "Usage: talvekkey open FILE LOCAL REMOTE [INPUT]\n"},
        {{"open", f.server, kServerUtf8, kUser, message, "x"}, "", 2,
         "talvekkey: expected FILE LOCAL REMOTE [INPUT]\n"
         "Usage: talvekkey open FILE LOCAL REMOTE [INPUT]\n"},
        {{"open", f.server, kServerUtf8, kUser, "--clear"}, "", 2,
         "talvekkey: unknown option --clear\nUsage: talvekkey open FILE LOCAL REMOTE [INPUT]\n"},
        {{"seal", f.user, kUser, kServerUtf8, "--input=x"}, "", 2,
         "talvekkey: unknown option --input=x\n"
         "Usage: talvekkey seal FILE LOCAL REMOTE [INPUT] [--clear]\n"},
        {{"seal", f.user, kUser, kServerUtf8, missing}, "", 1,
         sealFailed + "talvekkey: " + missing + ": no such file or directory\n"},
        {{"open", f.server, kServerUtf8, kUser, f.dir.path()}, "", 1,
         openFailed + "talvekkey: " + f.dir.path() + ": is a directory\n"},
        {{"seal", f.user, kUser, kServerUtf8, huge}, "", 1,
         sealFailed + "talvekkey: " + huge + ": more than 256 MiB of input\n"},
        // Not a regular file: read until the cap, not judged by a size.
        {{"open", f.server, kServerUtf8, kUser, "/dev/zero"}, "", 1,
         openFailed + "talvekkey: /dev/zero: more than 256 MiB of input\n"},
        {{"seal", "-", kUser, kServerUtf8, input}, "not a key file", 1, noKeys},
        {{"open", "-", kServerUtf8, kUser, message}, "", 1, noKeys},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.args[0] + " " + r.args[1] + " " + r.args.back());
        const Outcome run = runCli(r.args, r.in);
        EXPECT_EQ(run.code, r.code);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, r.err);
    }
}

// The real program: core dumps are off from its start (read back while it
// waits for its input), and input from stdin is capped like a file, so
// endless input ends the command with a cause instead of an abort.
// Every command that writes a channel out takes its key file from stdin as
// well, and writes exactly what it writes from the file.
TEST(ChannelCommands, TheKeyFileMayComeThroughStdin) {
    Files f(false, true);  // signs only: the Java client's kind of channel
    const std::string userBase = readText(f.user);
    const std::string report = f.dir.file("report.htmt");
    TestSupport::writeText(report, "#LOCAL#|#REMOTE#|#SIGN#");
    for (const std::string command : {"export-pem", "export-public", "java", "dump", "export-html"}) {
        SCOPED_TRACE(command);
        auto run = [&](const std::string& file, const std::string& output, const std::string& in) {
            std::vector<std::string> args{command, file, kUser, kServerUtf8, output};
            if (command == "export-html") args.insert(args.end(), {"--template", report});
            return runCli(args, in);
        };
        const std::string fromFile = f.dir.file(command + ".file");
        const std::string fromStdin = f.dir.file(command + ".stdin");
        const Outcome a = run(f.user, fromFile, "");
        ASSERT_EQ(a.code, 0) << a.err;
        const Outcome b = run("-", fromStdin, userBase);
        ASSERT_EQ(b.code, 0) << b.err;
        EXPECT_FALSE(readText(fromFile).empty());
        EXPECT_EQ(readText(fromStdin), readText(fromFile));
        // What is no key file is named as stdin, and nothing is written.
        const std::string none = f.dir.file(command + ".none");
        const Outcome c = run("-", none, "not a key file");
        EXPECT_EQ(c.code, 1);
        EXPECT_NE(c.err.find("talvekkey: stdin: not a key file\n"), std::string::npos) << c.err;
        EXPECT_FALSE(TestSupport::exists(none));
    }
}

TEST(SealOpenCommands, TheProgramRunsWithoutCoreDumpsAndCapsItsInput) {
    const char* build = std::getenv("TALVEK_BUILD_DIR");
    const std::string program = std::string(build ? build : "") + "/src/cli/talvekkey";
    if (!build || access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "talvekkey is not built";
    Files f(true, true);
    auto start = [&](const std::string& command, int input, int output) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(input, 0);
            dup2(output, 1);
            dup2(output, 2);
            const std::string local = command == "seal" ? kUser : kServerUtf8;
            const std::string remote = command == "seal" ? kServerUtf8 : kUser;
            execl(program.c_str(), program.c_str(), command.c_str(),
                  (command == "seal" ? f.user : f.server).c_str(), local.c_str(), remote.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    auto finish = [](pid_t pid, int readEnd) {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(readEnd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
        close(readEnd);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, text);
    };

    int in[2], out[2];
    // Close-on-exec, so the program holds no end of its own pipes.
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t waiting = start("seal", in[0], out[1]);
    close(in[0]);
    close(out[1]);
    // The limits are read until the program has lowered them, which it does
    // first thing in main; a slow start (a sanitizer's runtime) only delays it.
    std::string soft, hard;
    for (int i = 0; i < 500 && !(soft == "0" && hard == "0"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string limits = readText("/proc/" + std::to_string(waiting) + "/limits");
        const size_t line = limits.find("Max core file size");
        ASSERT_NE(line, std::string::npos);
        std::istringstream fields(limits.substr(line + 18, limits.find('\n', line) - line - 18));
        fields >> soft >> hard;
    }
    EXPECT_EQ(soft, "0");
    EXPECT_EQ(hard, "0");
    close(in[1]);
    EXPECT_EQ(finish(waiting, out[0]).first, 1);  // no data

    for (const std::string command : {"seal", "open"}) {
        SCOPED_TRACE(command);
        const int zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        const pid_t endless = start(command, zero, out[1]);
        close(zero);
        close(out[1]);
        const auto [code, text] = finish(endless, out[0]);
        EXPECT_EQ(code, 1);
        EXPECT_NE(text.find("talvekkey: stdin: more than 256 MiB of input\n"), std::string::npos)
            << text;
    }
}

// A public part written again from the base is the same bytes the exchange
// wrote, also once the channel is complete; only a key base can give one.
TEST(ExportPublicCommand, WritesThePublicPartTheExchangeWrote) {
    Files f(true, true);
    const std::string again = f.dir.file("again.okp");
    const Outcome done = runCli({"export-public", f.server, kServerUtf8, kUser, again});
    ASSERT_EQ(done.code, 0) << done.err;
    EXPECT_EQ(done.out, "Файл \"" + again + "\" с открытой частью ключа успешно создан.\n");
    EXPECT_EQ(TestSupport::readBytes(again), TestSupport::readBytes(f.serverPart));
    EXPECT_EQ(TestSupport::fileMode(again) & 0600, 0600u);

    const struct {
        std::vector<std::string> args;
        int code;
    } refusals[] = {
        {{"export-public", f.serverPart, kServerUtf8, kUser, f.dir.file("x.okp")}, 1},
        {{"export-public", f.server, "nobody", kUser, f.dir.file("x.okp")}, 1},
        {{"export-public", f.server, kServerUtf8, kUser, f.dir.path() + "/./server.key_base"}, 1},
        {{"export-public", f.server, kServerUtf8, kUser}, 2},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.args[1] + " " + r.args[2]);
        const auto before = TestSupport::snapshot(f.dir);
        EXPECT_EQ(runCli(r.args).code, r.code);
        EXPECT_EQ(TestSupport::snapshot(f.dir), before);
    }
}

TEST(SealOpenCommands, ACutShortSigningKeyNeverSealsInClear) {
    Files f(false, true);
    // The user base ends right after the magic of its last key record (the
    // server's signing key), which then reads as a key of no kind.
    std::vector<uint8_t> base = TestSupport::readBytes(f.user);
    const std::string text(base.begin(), base.end());
    const size_t last = text.rfind("KRSK0");
    ASSERT_NE(last, std::string::npos);
    base.resize(last + 5);
    TestSupport::writeBytes(f.user, base);

    const Outcome sealed = runCli({"seal", f.user, kUser, kServerUtf8}, "secret");
    EXPECT_EQ(sealed.code, 1);
    EXPECT_EQ(sealed.out, "");
    EXPECT_EQ(sealed.err, "Ошибка защиты сообщения!\n");
}

TEST(ExportHtmlCommand, KeyBaseAndPublicPartFile) {
    Files f(true, true);
    const std::string out = f.dir.file("Export.html");
    const Outcome r =
        runCli({"export-html", f.server, kServerUtf8, kUser, out, "--template", templatePath()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Информация о канале успешно экспортирована!\n");
    const std::string html = readText(out);
    EXPECT_NE(html.find(kServer1251), std::string::npos);
    EXPECT_EQ(html.find("#CRYPT"), std::string::npos);
    EXPECT_EQ(html.find("\xCD/\xC4"), std::string::npos);  // complete: no "Н/Д"

    // A public-part file reports the channel it holds, names as the sender wrote them.
    const std::string part = f.dir.file("part.html");
    ASSERT_EQ(runCli({"export-html", f.serverPart, kServerUtf8, kUser, part,
                      "--template=" + templatePath()})
                  .code,
              0);
    EXPECT_NE(readText(part).find("\xCD/\xC4"), std::string::npos);
}

TEST(ExportHtmlCommand, Failures) {
    Files f(true, false);
    const std::string out = f.dir.file("r.html");
    const Outcome noTemplate = runCli(
        {"export-html", f.server, kServerUtf8, kUser, out, "--template", f.dir.file("none")});
    EXPECT_EQ(noTemplate.code, 1);
    EXPECT_EQ(noTemplate.err, "Ошибка экспорта канала!\ntalvekkey: " + f.dir.file("none") +
                                  ": no such file or directory\n");
    EXPECT_FALSE(TestSupport::exists(out));
    // A channel the file lacks fails the export with its one message.
    const Outcome missing =
        runCli({"export-html", f.server, kUser, kServerUtf8, out, "--template", templatePath()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "Ошибка экспорта канала!\n");
    EXPECT_EQ(runCli({"export-html", f.dir.file("none"), kServerUtf8, kUser, out}).err,
              "Ошибка открытия базы ключей!\ntalvekkey: " + f.dir.file("none") +
                  ": no such file or directory\n");
    // Neither the key file nor the template is ever the output, however spelt.
    const std::string templ = f.dir.file("template.htmt");
    TestSupport::writeText(templ, readText(templatePath()));
    const auto baseBefore = TestSupport::readBytes(f.server);
    for (const auto& [output, templateArg] :
         {std::pair{f.dir.path() + "/./" + f.server.substr(f.dir.path().size() + 1), templ},
          std::pair{f.dir.path() + "/./template.htmt", templ}}) {
        const Outcome same = runCli(
            {"export-html", f.server, kServerUtf8, kUser, output, "--template", templateArg});
        EXPECT_EQ(same.code, 1);
        EXPECT_EQ(same.err,
                  "Имена файлов с открытыми и\nприватными ключами не должны совпадать!\n");
    }
    EXPECT_EQ(TestSupport::readBytes(f.server), baseBefore);
    EXPECT_EQ(readText(templ), readText(templatePath()));
    EXPECT_EQ(runCli({"export-html", f.server, kServerUtf8, kUser, out, "--template"}).code, 2);
    EXPECT_EQ(runCli({"export-html", f.server, kServerUtf8, kUser, out, "--bogus"}).code, 2);
    // A name Windows-1251 cannot hold is refused, not altered.
    EXPECT_EQ(runCli({"export-html", f.server, "\xE2\x82\xAC\xF0\x9F\x98\x80", kUser, out}).code,
              1);
}

// A key whose numbers are absent is reported no more than it is dumped: both
// fail with their message and write nothing.
TEST(ExportHtmlCommand, IncompleteKeyIsRefusedLikeTheDump) {
    TempDir dir;
    auto key = TestSupport::cachedPrivateKey(512);
    TestSupport::RecordBytes part;
    part.magic("KCHA1").u8(0).u8(1).text(kServer1251).text(kUser).u8(0).u8(0).u8(0).u8(1);
    part.u32(0).u32(512).magic("KRSK0").u32(1).text(kServer1251).number(key->n()).u32(0);
    const std::string file = dir.file("cut.okp");
    TestSupport::writeBytes(file, part.bytes());

    const Outcome html = runCli({"export-html", file, kServerUtf8, kUser, dir.file("r.html"),
                                 "--template", templatePath()});
    EXPECT_EQ(html.code, 1);
    EXPECT_EQ(html.err, "Ошибка экспорта канала!\n");
    const Outcome dump = runCli({"dump", file, kServerUtf8, kUser, dir.file("d.txt")});
    EXPECT_EQ(dump.code, 1);
    EXPECT_EQ(dump.err, "Ошибка выгрузки канала!\n");
    EXPECT_FALSE(TestSupport::exists(dir.file("r.html")));
}

TEST(DumpCommand, WritesTheChannelText) {
    Files f(false, true);
    const std::string out = f.dir.file("dump.txt");
    const Outcome r = runCli({"dump", f.user, kUser, kServerUtf8, out});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string text = readText(out);
    EXPECT_EQ(
        text.rfind(kUser + ":" + kServer1251 + "\r\n\r\nSigning:\r\nPrivate owner: ivan\r\n", 0),
        0u);
    EXPECT_NE(text.find("Public owner: " + kServer1251 + "\r\n"), std::string::npos);
    EXPECT_EQ(TestSupport::fileMode(out), 0600u);
    EXPECT_EQ(runCli({"dump", f.user, kUser, kServerUtf8}).code, 2);
    const Outcome missing = runCli({"dump", f.user, kUser, "x", out});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "Ошибка выгрузки канала!\n");
}
