// What the crypto server does for requests it has not yet seen proved, and
// how it holds up against many, hostile or unlucky connections.

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cryptoserver/cryptoserver.h"
#include "cryptoserver/serverlog.h"
#include "keystore/keybase.h"
#include "support/failingsavecalls.h"
#include "support/filesizelimit.h"
#include "support/protocolrequests.h"
#include "support/serverfixture.h"
#include "support/testkeys.h"
#include "support/threadfault.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

// A connection from a chosen loopback address, sending what it is given.
class Line {
public:
    explicit Line(uint16_t port, const char* from = "127.0.0.1",
                  const std::vector<uint8_t>& bytes = {}) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
        send(bytes);
    }
    ~Line() { ::close(fd_); }
    void send(const std::vector<uint8_t>& bytes) {
        if (bytes.empty()) return;
        EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // True when the server closed the line within ms (nothing to read but
    // the end).
    bool closedWithin(int ms) {
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        uint8_t byte;
        const ssize_t n = ::recv(fd_, &byte, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }
    // The status word of a reply, -1 when none came within ms.
    int64_t status(int ms = 3000) {
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        uint8_t reply[8];
        size_t got = 0;
        while (got < sizeof reply) {
            const ssize_t n = ::recv(fd_, reply + got, sizeof reply - got, 0);
            if (n <= 0) return -1;
            got += static_cast<size_t>(n);
        }
        return wordFrom(reply + 4);
    }

private:
    int fd_ = -1;
};

// Counts what happens to the files of a folder (and the folder itself).
class FolderWatch {
public:
    explicit FolderWatch(const std::string& folder) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(fd_, folder.c_str(),
                          IN_OPEN | IN_ACCESS | IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_ATTRIB);
    }
    ~FolderWatch() { ::close(fd_); }
    int events() {
        char buffer[4096];
        int count = 0;
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                ++count;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return count;
    }

private:
    int fd_ = -1;
};

class CryptoServerProof : public CryptoServerFixture {
protected:
    // A server of its own on the fixture's folder with these changes.
    std::unique_ptr<CryptoServer> startWith(const std::function<void(CryptoServerConfig&)>& change) {
        auto c = config;
        change(c);
        auto s = std::make_unique<CryptoServer>(c);
        EXPECT_TRUE(s->start());
        return s;
    }
};

}  // namespace

// Someone holding only public parts (here: keys of his own under the
// administrator's names) gets 107 for a list, a fetch and an upload, and
// the served folder is not even opened: no base is loaded or written.
TEST_F(CryptoServerProof, UnprovenRequestsCostNoBaseLoadAndWriteNothing) {
    const std::string strangerBase = dir.file("stranger.key_base");
    {
        KeyBase base;
        base.addChannel(completeChannel(adminName, serverName, true, true, 512, 11));
        ASSERT_TRUE(base.saveBase(strangerBase));
    }
    RequestSealer stranger(strangerBase, adminName, serverName);
    RequestSealer admin(adminBase, adminName, serverName);
    ASSERT_TRUE(stranger.ready());
    const auto base = readBytes(dir.file("server.key_base"));
    const std::vector<uint8_t> big(4 << 20, 'B');
    const struct {
        const char* what;
        std::vector<uint8_t> request;
    } cases[] = {
        {"list", requestBytes(100, adminName, stranger.block(freshStamp(100)))},
        {"fetch", requestBytes(101, adminName, stranger.block(freshStamp(101, "main")))},
        {"upload", requestBytes(102, adminName, stranger.uploadPayload(freshStamp(102, "main"), big))},
        {"fetch for the wrong code", requestBytes(101, adminName, admin.block(freshStamp(100)))},
    };
    FolderWatch watch(folder);
    for (const auto& c : cases) {
        Line line(service->port(), "127.0.0.1", c.request);
        EXPECT_EQ(line.status(), 107) << c.what;
    }
    EXPECT_EQ(watch.events(), 0);
    // The same watch sees a proved request.
    std::string message;
    ASSERT_TRUE(fetchKeyBase(paramsFor(dir.file("fetched")), &message)) << message;
    EXPECT_GT(watch.events(), 0);
}

TEST_F(CryptoServerProof, ARequestSeenBeforeARestartIsStillAReplay) {
    auto params = paramsFor();
    std::string message;
    ASSERT_TRUE(listInterfaces(params, &message)) << message;
    const auto captured = server->lastRequest();
    EXPECT_EQ(fileMode(folder + "/.nonces"), 0600u);

    server.reset();
    service->stop();
    service = std::make_unique<CryptoServer>(config);
    ASSERT_TRUE(service->start());
    Line replay(service->port(), "127.0.0.1", captured);
    EXPECT_EQ(replay.status(), ServerStatus::DecodeFailed);
    // A fresh request is served as ever.
    params.port = service->port();
    EXPECT_TRUE(listInterfaces(params, &message)) << message;
}

// A request whose nonce cannot be recorded is not served: after a restart
// it could be taken again. Its log line says why, and once the disk takes
// writes again the refused request counts as seen, across a restart too.
TEST_F(CryptoServerProof, ARequestWhoseNonceCannotBeRecordedIsNotServedAndTheLogSaysWhy) {
    const std::string nonces = folder + "/.nonces";
    const struct {
        const char* what;
        // Makes writing the nonces fail until the result goes.
        std::function<std::shared_ptr<void>()> fault;
        const char* cause;
    } cases[] = {
        {"a full disk",
         [&nonces] {
             return std::make_shared<FileSizeLimit>(std::filesystem::file_size(nonces) + 10);
         },
         "File too large"},
        {"a failing sync",
         [] { return std::make_shared<FailingSaveCalls>(FailingSaveCalls::Call::Fsync, EIO); },
         "Input/output error"},
    };
    RequestSealer admin(adminBase, adminName, serverName);
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 3);
    const auto served = readBytes(interfaceFile("main"));
    for (const auto& c : cases) {
        std::ostringstream log;
        const auto logging = [&log](CryptoServerConfig& config) { config.log = &log; };
        auto running = startWith(logging);
        const auto upload = requestBytes(
            102, adminName, admin.uploadPayload(freshStamp(102, "main"), readBytes(local)));
        {
            const auto fault = c.fault();
            Line line(running->port(), "127.0.0.1", upload);
            EXPECT_EQ(line.status(), ServerStatus::Failure) << c.what;
        }
        EXPECT_EQ(readBytes(interfaceFile("main")), served) << c.what;
        auto params = paramsFor();
        params.port = running->port();
        std::string message;
        EXPECT_TRUE(listInterfaces(params, &message)) << c.what << ": " << message;

        running->stop();
        auto restarted = startWith(logging);
        Line replay(restarted->port(), "127.0.0.1", upload);
        EXPECT_EQ(replay.status(), ServerStatus::DecodeFailed) << c.what;
        EXPECT_EQ(readBytes(interfaceFile("main")), served) << c.what;
        restarted->stop();
        EXPECT_NE(log.str().find(" request=upload interface=main status=101 cause=" + nonces +
                                 ": " + c.cause + "\n"),
                  std::string::npos)
            << log.str();
    }
}

TEST_F(CryptoServerProof, UnprovenConnectionsAreBoundedPerSourceAndInAll) {
    // Four from one address wait for their proof; a fifth from there is
    // closed at once, while another address is served.
    {
        std::vector<std::unique_ptr<Line>> waiting;
        for (int i = 0; i < 4; ++i)
            waiting.push_back(std::make_unique<Line>(service->port(), "127.0.0.2"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Line fifth(service->port(), "127.0.0.2");
        EXPECT_TRUE(fifth.closedWithin(1000));
        std::string message;
        auto params = paramsFor();
        EXPECT_TRUE(listInterfaces(params, &message)) << message;
        for (auto& line : waiting) EXPECT_FALSE(line->closedWithin(50));
    }

    // In all: a proved upload whose body is still coming no longer counts.
    auto tight = startWith([](CryptoServerConfig& c) {
        c.maxUnprovenPerSource = 100;
        c.maxUnproven = c.earlyDropFrom = 3;
    });
    RequestSealer admin(adminBase, adminName, serverName);
    const auto payload = admin.uploadPayload(freshStamp(102, "main"), std::vector<uint8_t>(1000));
    const uint32_t headEnd = 4 + wordFrom(payload.data());
    auto head = requestHead(102, adminName, static_cast<uint32_t>(payload.size()));
    head.insert(head.end(), payload.begin(), payload.begin() + headEnd);
    Line proved(tight->port(), "127.0.0.1", head);
    Line first(tight->port(), "127.0.0.3"), second(tight->port(), "127.0.0.4");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto params = paramsFor();
    params.port = tight->port();
    std::string message;
    EXPECT_TRUE(listInterfaces(params, &message)) << message;
    Line third(tight->port(), "127.0.0.5");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Line fourth(tight->port(), "127.0.0.6");
    EXPECT_TRUE(fourth.closedWithin(1000));
    proved.send({payload.begin() + headEnd, payload.end()});
    EXPECT_EQ(proved.status(), 0);
}

TEST_F(CryptoServerProof, FromSixteenUnprovenOnNewOnesAreDroppedAtRandom) {
    auto flooded = startWith([](CryptoServerConfig& c) { c.maxUnprovenPerSource = 100; });
    std::vector<std::unique_ptr<Line>> lines;
    for (int i = 0; i < 16; ++i)
        lines.push_back(std::make_unique<Line>(flooded->port(), "127.0.0.2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (auto& line : lines) EXPECT_FALSE(line->closedWithin(20));
    // Sixteen more: the first may be taken, and a flood of them is not.
    int dropped = 0;
    for (int i = 0; i < 16; ++i) {
        lines.push_back(std::make_unique<Line>(flooded->port(), "127.0.0.2"));
        if (lines.back()->closedWithin(300)) ++dropped;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_LT(dropped, 16 + 1);
    EXPECT_LE(flooded->activeConnections(), 32);
}

TEST_F(CryptoServerProof, AThreadThatCannotBeHadRefusesOneConnection) {
    std::ostringstream log;
    auto logged = startWith([&log](CryptoServerConfig& c) { c.log = &log; });
    failThreadStarts(1);
    Line refused(logged->port());
    EXPECT_TRUE(refused.closedWithin(2000));
    failThreadStarts(0);
    auto params = paramsFor();
    params.port = logged->port();
    std::string message;
    EXPECT_TRUE(listInterfaces(params, &message)) << message;
    logged->stop();
    EXPECT_NE(log.str().find("status=refused"), std::string::npos) << log.str();
}

// A refused administrator uploading 4 MiB reads his refusal, not a reset.
TEST_F(CryptoServerProof, TheStatusArrivesBeforeTheClose) {
    const std::string local = dir.file("big.key_base");
    writeInterfaceBase(local, "main", 1);
    auto bytes = readBytes(local);
    bytes.resize(4 << 20, 0);
    writeBytes(local, bytes);
    auto params = paramsFor(local);
    params.port = service->port();
    params.adminKeyName = cp("Чужой");
    params.adminKeyBase = dir.file("stranger-admin.key_base");
    writeChannelPair(params.adminKeyBase, dir.file("stranger-server.key_base"), params.adminKeyName,
                     serverName, true, true);
    for (int i = 0; i < 5; ++i) {
        std::string message;
        EXPECT_FALSE(uploadKeyBase(params, &message));
        EXPECT_EQ(message, "Сервер сообщил об ошибке:\n" + serverErrorText(100) + "!") << i;
    }
}

TEST_F(CryptoServerProof, TemporariesOfAKilledServerGoAtStart) {
    writeBytes(folder + "/.main.key_base.tvk-Ab3dE9.tmp", {1, 2, 3});
    writeBytes(folder + "/.nonces.tvk-Zz0000.tmp", {4});
    writeBytes(folder + "/.keep", {5});
    writeBytes(folder + "/notes.tvk-Ab3dE9.tmp", {6});
    auto restarted = startWith([](CryptoServerConfig&) {});
    EXPECT_EQ(temporariesIn(folder), std::vector<std::string>{});
    EXPECT_TRUE(std::filesystem::exists(folder + "/.keep"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/notes.tvk-Ab3dE9.tmp"));
}

TEST_F(CryptoServerProof, AHistoryThatIsALinkIsRefused) {
    const std::string elsewhere = dir.file("elsewhere");
    std::filesystem::create_directory(elsewhere);
    ::chmod(elsewhere.c_str(), 0755);
    std::filesystem::create_directory_symlink(elsewhere, folder + "/.history");
    const auto served = readBytes(interfaceFile("main"));
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 4);
    std::string message;
    EXPECT_FALSE(uploadKeyBase(paramsFor(local), &message));
    EXPECT_EQ(message, "Сервер сообщил об ошибке:\n" + serverErrorText(105) + "!");
    EXPECT_EQ(readBytes(interfaceFile("main")), served);
    EXPECT_EQ(listDir(elsewhere), std::vector<std::string>{});
    EXPECT_EQ(fileMode(elsewhere), 0755u);
    EXPECT_EQ(temporariesIn(folder), std::vector<std::string>{});
}

TEST(RequestLog, FieldsShowBytesThatCouldForgeOrHideAsEscapes) {
    EXPECT_EQ(logField(""), "-");
    EXPECT_EQ(logField("\xCA\xE0\xF1\xF1\xE0"), "Касса");
    EXPECT_EQ(logField("a b"), "a b");
    EXPECT_EQ(logField("admin\xA0status=0"), "admin\\xA0status=0");
    EXPECT_EQ(logField("x\ny\x1B[2J\x7F"), "x\\x0Ay\\x1B[2J\\x7F");
    EXPECT_EQ(logField("a\\x41"), "a\\x5Cx41");
}

// A file's name in a cause: UTF-8 kept, but no space of any kind, no
// control character and no broken sequence, so nothing in it reads as a
// field; a failure of no file has no cause.
TEST(RequestLog, ACauseNamesItsFileWithoutASpace) {
    EXPECT_EQ(logCause({"/srv/a b\xC2\xA0status=0\\x\n.key_base", FileFault::System, ENOSPC}),
              "/srv/a\\x20b\\xC2\\xA0status=0\\x5Cx\\x0A.key_base: No space left on device");
    EXPECT_EQ(logCause({"/srv/\xFF\xD0\x9A\xE2\x80\xA8.key_base", FileFault::Locked}),
              "/srv/\\xFFК\\xE2\\x80\\xA8.key_base: held by another program");
    EXPECT_EQ(logCause({}), "");
}
