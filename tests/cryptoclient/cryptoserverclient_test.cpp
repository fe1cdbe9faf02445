#include "cryptoclient/cryptoserverclient.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <chrono>
#include <thread>
#include <functional>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "checks/servermessages.h"
#include "keystore/keybase.h"
#include "support/serverfixture.h"
#include "support/protocolrequests.h"
#include "support/silentserver.h"
#include "support/testkeys.h"
#include "sealing/talvekcodec.h"
#include "cryptoclient/tcpsocket.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out;
    for (uint32_t v : values) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(v >> shift));
    }
    return out;
}

std::vector<uint8_t> nameField(const std::string& name) {
    std::vector<uint8_t> field(256, 0);
    std::copy(name.begin(), name.end(), field.begin());
    return field;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::string kReceiveReset = "Ошибка получения ответа: Connection reset by peer !";

struct Opened {
    EnvelopeStamp stamp;
    std::vector<uint8_t> data;
};

class CryptoServerClient : public CryptoServerFixture {
protected:
    // A block of the request as the server opens it.
    Opened openedByServer(const std::vector<uint8_t>& block) {
        RequestSealer serverSide(serverBase, serverName, adminName, CodecSide::CryptoServer);
        Opened opened;
        EXPECT_TRUE(openEnvelope(serverSide.channel(), CodecSide::CryptoServer,
                                 reinterpret_cast<const char*>(block.data()), block.size(),
                                 opened.data, &opened.stamp));
        return opened;
    }
    // A reply sealed by the server's side for the request's stamp, changed
    // as the function likes, with the data it gives.
    std::vector<uint8_t> sealedReply(
        const std::vector<uint8_t>& request,
        const std::function<std::vector<uint8_t>(EnvelopeStamp&)>& make) {
        RequestSealer serverSide(serverBase, serverName, adminName, CodecSide::CryptoServer);
        EnvelopeStamp stamp = openFirstBlock(serverSide, request).stamp;
        const auto data = make(stamp);
        return TestSupport::sealedReply(serverSide, stamp, data);
    }

    // A fetch expected to fail: its message, and how long it took in ms.
    std::pair<std::string, long long> timedFailingFetch(const CryptoServerParams& params) {
        std::string message;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(fetchKeyBase(params, &message));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        return {message, ms};
    }
};

}  // namespace

TEST(ServerRequest, NewIsZeroAndTheNameFieldKeepsItsZero) {
    ServerRequest r;
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.word, 0u);
    r.setName(std::string(300, 'n'));
    EXPECT_EQ(r.name[254], 'n');
    EXPECT_EQ(r.name[255], 0);
    r.setName("ab");
    EXPECT_EQ(std::vector<uint8_t>(r.name, r.name + 256), nameField("ab"));
}

TEST_F(CryptoServerClient, ListSendsTheExactRequestAndDecodesTheNames) {
    auto params = paramsFor();
    params.interfaceList = {1, 2, 3};
    std::string message = "old";
    ASSERT_TRUE(listInterfaces(params, &message)) << message;
    EXPECT_EQ(message, "");
    const auto names = splitInterfaceList(params.interfaceList.data(), params.interfaceList.size());
    EXPECT_EQ(names, (std::vector<std::string>{"main", cp("Касса")}));

    // code, version 3, the name field, the length, and one sealed block that
    // names the list request, no interface and no data.
    const auto request = server->lastRequest();
    ASSERT_GT(request.size(), kRequestHeadSize);
    const std::vector<uint8_t> payload(request.begin() + kRequestHeadSize, request.end());
    EXPECT_EQ(std::vector<uint8_t>(request.begin(), request.begin() + kRequestHeadSize),
              concat({{100}, words({3}), nameField(adminName),
                      words({static_cast<uint32_t>(payload.size())})}));
    const auto opened = openedByServer(payload);
    EXPECT_EQ(opened.stamp.code, 100);
    EXPECT_EQ(opened.stamp.interfaceName(), "");
    EXPECT_EQ(opened.data, std::vector<uint8_t>{});
}

TEST_F(CryptoServerClient, FetchWritesTheBaseOwnerOnlyAndSaysWhere) {
    const std::string local = dir.file("fetched.key_base");
    auto params = paramsFor(local);
    params.interfaceName = cp("Касса");
    std::string message;
    ASSERT_TRUE(fetchKeyBase(params, &message)) << message;
    EXPECT_EQ(message, "База ключей сервера сохранена как\n\"" + local + "\"");
    EXPECT_EQ(readBytes(local), readBytes(interfaceFile("Касса")));
    EXPECT_EQ(fileMode(local), 0600u);

    const auto request = server->lastRequest();
    ASSERT_GT(request.size(), kRequestHeadSize);
    EXPECT_EQ(request[0], 101);
    const auto opened =
        openedByServer(std::vector<uint8_t>(request.begin() + kRequestHeadSize, request.end()));
    EXPECT_EQ(opened.stamp.code, 101);
    EXPECT_EQ(opened.stamp.interfaceName(), cp("Касса"));
    EXPECT_EQ(opened.data, std::vector<uint8_t>{});
}

TEST_F(CryptoServerClient, UploadReplacesTheServersBaseAndNamesIt) {
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 3);
    const auto before = readBytes(local);
    auto params = paramsFor(local);
    std::string message;
    ASSERT_TRUE(uploadKeyBase(params, &message)) << message;
    EXPECT_EQ(message, "Новая база ключей установлена на сервере как\n\"main.key_base\"");
    EXPECT_EQ(readBytes(interfaceFile("main")), before);
    EXPECT_EQ(readBytes(local), before);
    EXPECT_EQ(fileMode(interfaceFile("main")), 0600u);
}

TEST_F(CryptoServerClient, AnUploadIsAHeadWithTheLengthThenTheBodyUnderOneStamp) {
    const std::string local = dir.file("empty");
    writeBytes(local, {});
    std::string message;
    ASSERT_TRUE(uploadKeyBase(paramsFor(local), &message)) << message;

    const auto request = server->lastRequest();
    ASSERT_GT(request.size(), kRequestHeadSize + 4);
    EXPECT_EQ(request[0], 102);
    EXPECT_EQ(std::vector<uint8_t>(request.begin() + 1, request.begin() + 5), words({3}));
    const std::vector<uint8_t> payload(request.begin() + kRequestHeadSize, request.end());
    EXPECT_EQ(std::vector<uint8_t>(request.begin() + 261, request.begin() + 265),
              words({static_cast<uint32_t>(payload.size())}));
    const uint32_t headLength = wordFrom(payload.data());
    ASSERT_LT(4 + headLength, payload.size());
    const auto head = openedByServer({payload.begin() + 4, payload.begin() + 4 + headLength});
    const auto body = openedByServer({payload.begin() + 4 + headLength, payload.end()});
    EXPECT_EQ(head.data, std::vector<uint8_t>(8, 0));  // an empty base
    EXPECT_EQ(head.stamp.code, 102);
    EXPECT_EQ(head.stamp.interfaceName(), "main");
    EXPECT_TRUE(body.stamp.sameRequest(head.stamp));
    EXPECT_EQ(body.data, std::vector<uint8_t>{});
}

TEST_F(CryptoServerClient, ServerRefusalsReadAsServerMessages) {
    const std::string local = dir.file("never");
    auto params = paramsFor(local);
    std::string message;

    params.interfaceName = "absent";
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, "Сервер сообщил об ошибке:\n" + serverErrorText(103) + "!");

    params.interfaceName = "../server";
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, "Сервер сообщил об ошибке:\n" + serverErrorText(103) + "!");

    // An administrator with a channel of his own the server does not know.
    params.adminKeyName = cp("Чужой");
    params.adminKeyBase = dir.file("stranger-admin.key_base");
    writeChannelPair(params.adminKeyBase, dir.file("stranger-server.key_base"), params.adminKeyName,
                     serverName, true, true);
    EXPECT_FALSE(listInterfaces(params, &message));
    EXPECT_EQ(message,
              "Сервер сообщил об ошибке:\nСообщение сервера:\n\nУ вас нет прав для "
              "администрирования!");
    EXPECT_FALSE(exists(local));
}

TEST_F(CryptoServerClient, StatusEndsTheReplyAndOtherCodesShowByNumber) {
    // Bytes after a refusal are never read as data.
    server->misbehave(Misbehaviour::Raw, concat({words({0, 101, 5}), {'h', 'e', 'l', 'l', 'o'}}));
    auto params = paramsFor();
    ServerRequest request;
    request.code = 101;
    request.word = 1;
    ServerReply reply;
    std::string message;
    EXPECT_FALSE(exchange(params, request, reply, &message));
    EXPECT_EQ(message, "Сервер сообщил об ошибке:\nСообщение сервера:\n\nОшибка 101!");
    EXPECT_EQ(reply.status, 101u);
    EXPECT_TRUE(reply.data.empty());
}

TEST_F(CryptoServerClient, ReadOnlyInterfaceBaseGivesRewriteFailed) {
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 1);
    const auto old = readBytes(interfaceFile("main"));
    chmod(interfaceFile("main").c_str(), 0444);
    std::string message;
    EXPECT_FALSE(uploadKeyBase(paramsFor(local), &message));
    EXPECT_EQ(message, "Сервер сообщил об ошибке:\n" + serverErrorText(105) + "!");
    EXPECT_EQ(readBytes(interfaceFile("main")), old);
}

TEST_F(CryptoServerClient, ServerAnswersRequestsByTheirKind) {
    const auto statusOf = [&](uint8_t code, const std::string& admin,
                              const std::vector<uint8_t>& payload, uint32_t version = 3) {
        ServerRequest request;
        request.code = code;
        request.word = version;
        request.setName(admin);
        request.payload = payload;
        ServerReply reply;
        Talvek::exchange(paramsFor(), request, reply);
        return reply.status;
    };
    RequestSealer admin(adminBase, adminName, serverName);
    ASSERT_TRUE(admin.ready());
    const auto list = admin.block(freshStamp(100));
    EXPECT_EQ(statusOf(100, adminName, list), 0u);
    EXPECT_EQ(statusOf(100, "", list), 100u);
    EXPECT_EQ(statusOf(99, adminName, list), 104u);
    EXPECT_EQ(statusOf(100, adminName, list, 1), 104u);  // the earlier protocol
    // A block that does not open, and one for another request code.
    EXPECT_EQ(statusOf(100, adminName, {'x', 'y'}), 107u);
    EXPECT_EQ(statusOf(101, adminName, admin.block(freshStamp(100))), 107u);
    // An upload's head length that leaves no room for a body.
    EXPECT_EQ(statusOf(102, adminName, concat({words({100}), std::vector<uint8_t>(100, 'A')})),
              104u);
}

TEST_F(CryptoServerClient, EmptyRepliesFailAndWriteNothing) {
    const std::string local = dir.file("fetched");
    auto params = paramsFor(local);
    std::string message;
    server->misbehave(Misbehaviour::Raw, words({0, 0, 0}));
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, "Неверный размер файла для получения!");
    EXPECT_FALSE(exists(local));

    // An empty list goes to the decoder, which refuses it.
    params.interfaceList = {'x'};
    EXPECT_FALSE(listInterfaces(params, &message));
    EXPECT_EQ(message, "Ошибка декодирования списка интерфейсов сервера!");
    EXPECT_TRUE(params.interfaceList.empty());

    server->misbehave(Misbehaviour::Raw, concat({words({0, 0, 5}), {'h', 'e', 'l', 'l', 'o'}}));
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, "Ошибка декодирования полученного файла!");
    EXPECT_FALSE(exists(local));
}

TEST_F(CryptoServerClient, BrokenRepliesEndInTheReceiveMessageWithNothingWritten) {
    const std::string local = dir.file("fetched");
    writeBytes(local, {'o', 'l', 'd'});
    auto params = paramsFor(local);
    std::string message;

    // Closed before the status is complete.
    server->misbehave(Misbehaviour::Raw, {0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, kReceiveReset);

    // Closed in the middle of the announced data.
    server->misbehave(Misbehaviour::Raw, concat({words({0, 0, 100}), std::vector<uint8_t>(10)}));
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, kReceiveReset);

    // A length no base has: refused before anything is allocated.
    server->misbehave(Misbehaviour::RawThenStall, words({0, 0, 0xFFFFFFF0u}));
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, "Ошибка получения ответа: Message too long !");

    // The cap is the caller's to set: here below the size of a real base.
    server->misbehave(Misbehaviour::None);
    params.fetchReplyMax = 64;
    EXPECT_FALSE(fetchKeyBase(params, &message));
    EXPECT_EQ(message, "Ошибка получения ответа: Message too long !");

    EXPECT_EQ(readBytes(local), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
}

// A server that holds the client, silent or a byte at a time, keeps it no
// longer than its limits: the fetch ends timed out and writes nothing.
TEST_F(CryptoServerClient, AServerThatHoldsTheClientEndsAtItsLimit) {
    std::vector<uint8_t> drip = words({0, 0, 64});
    drip.resize(drip.size() + 64, 'x');
    const struct {
        const char* what;
        std::function<void(CryptoServerParams&)> limit;
        Misbehaviour mode;
        std::vector<uint8_t> raw;
        int32_t dripMs;
        long long atLeastMs, belowMs;
    } cases[] = {
        {"stalled, at the idle limit", [](auto& p) { p.idleLimitMs = 500; },
         Misbehaviour::RawThenStall, words({0}), 100, 450, 5000},
        // Each byte comes well within the idle limit.
        {"dripping, at the exchange time", [](auto& p) { p.exchangeTimeMs = 1000; },
         Misbehaviour::Drip, drip, 50, 900, 2500},
    };
    const std::string local = dir.file("fetched");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto params = paramsFor(local);
        c.limit(params);
        server->misbehave(c.mode, c.raw, c.dripMs);
        const auto [message, ms] = timedFailingFetch(params);
        EXPECT_EQ(message, "Ошибка получения ответа: Connection timed out !");
        EXPECT_GE(ms, c.atLeastMs);
        EXPECT_LT(ms, c.belowMs);
        EXPECT_FALSE(exists(local));
    }
}

// The result carries the socket's own code, whatever the thread's current
// socket error said before.
TEST_F(CryptoServerClient, ConnectAndSendFailuresNameTheSocketError) {
    TcpSocket probe;
    probe.create();
    probe.bind("127.0.0.1", 0);
    const uint16_t closedPort = probe.localPort();
    probe.close();
    // Connections wait in its backlog and nobody ever reads them.
    TcpSocket deaf;
    deaf.create();
    ASSERT_EQ(deaf.bind("127.0.0.1", 0), 0);
    ASSERT_EQ(deaf.listen(1), 0);
    const uint16_t deafPort = deaf.localPort();
    const std::string big = dir.file("big");
    writeBytes(big, std::vector<uint8_t>(8 << 20, 0x5A));

    using Aim = std::function<void(CryptoServerParams&)>;
    const struct {
        const char* what;
        Aim aim;
        Misbehaviour mode;
        ExchangeFault fault;
        int32_t socketCode;
        const char* message;
    } cases[] = {
        {"refused", [&](auto& p) { p.port = closedPort; }, Misbehaviour::None,
         ExchangeFault::Connect, SocketCode::ConnectionRefused,
         "Ошибка соединения: Connection refused !"},
        // Only the thread's current error knows this one.
        {"no host", [](auto& p) { p.address.clear(); }, Misbehaviour::None, ExchangeFault::Connect,
         SocketCode::HostNotFound, "Ошибка соединения: Host not found !"},
        // A server that hangs up at once cannot take a large upload.
        {"hung up", [](auto&) {}, Misbehaviour::CloseAtOnce, ExchangeFault::Send,
         SocketCode::ConnectionReset, "Ошибка отправки запроса: Connection reset by peer !"},
        {"never read",
         [&](auto& p) {
             p.port = deafPort;
             p.idleLimitMs = 500;
         },
         Misbehaviour::None, ExchangeFault::Send, SocketCode::TimedOut,
         "Ошибка отправки запроса: Connection timed out !"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto params = paramsFor(big);
        c.aim(params);
        server->misbehave(c.mode);
        setCurrentSocketError(SocketCode::MessageTooLong);
        const ExchangeResult result = Talvek::uploadKeyBase(params);
        EXPECT_EQ(result.fault, c.fault);
        EXPECT_EQ(result.socketCode, c.socketCode);
        EXPECT_EQ(exchangeMessage(result, params), c.message);
    }
    // A name no resolver knows, also without network.
    auto params = paramsFor();
    params.address = "no-such-host.invalid";
    const ExchangeResult result = Talvek::listInterfaces(params);
    EXPECT_EQ(result.fault, ExchangeFault::Connect);
    EXPECT_TRUE(result.socketCode == SocketCode::HostNotFound || result.socketCode == 11002)
        << result.socketCode;
}

// A local file the exchange cannot use is named in the result with its
// cause; a failure that is no file's names none.
TEST_F(CryptoServerClient, LocalFailuresNameTheFileAndItsCause) {
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 1);
    const std::string folderNamed = dir.file("a-folder");
    std::filesystem::create_directory(folderNamed);
    const auto upload = [this](const std::string& file) {
        return [this, file] { return Talvek::uploadKeyBase(paramsFor(file)); };
    };
    const auto fetch = [this](const std::string& file) {
        return [this, file] { return Talvek::fetchKeyBase(paramsFor(file)); };
    };
    const std::string missing = dir.file("missing");
    const std::string noFolder = dir.file("no/such/folder/base.key_base");
    const struct {
        const char* what;
        std::function<ExchangeResult()> run;
        ExchangeFault fault;
        const char* message;
        FileFailure cause;
    } cases[] = {
        {"upload of a missing file", upload(missing), ExchangeFault::UploadNotOpened,
         "Ошибка открытия файла для установки!", {missing, FileFault::System, ENOENT}},
        {"upload of a folder", upload(folderNamed), ExchangeFault::UploadNotOpened,
         "Ошибка открытия файла для установки!", {folderNamed, FileFault::System, EISDIR}},
        // The server's name has no channel in the administrator's base.
        {"upload that cannot be sealed",
         [&] {
             auto params = paramsFor(local);
             params.serverKeyName = cp("Другой");
             return Talvek::uploadKeyBase(params);
         },
         ExchangeFault::UploadNotSealed, "Ошибка кодирования базы для отправки серверу!", {}},
        // A fetch whose file cannot be made says so instead of success.
        {"fetch into a missing folder", fetch(noFolder), ExchangeFault::FetchNotWritten,
         "Ошибка создания файла для получения!", {noFolder, FileFault::System, ENOENT}},
        // Made and written, but it cannot take a folder's place.
        {"fetch over a folder", fetch(folderNamed), ExchangeFault::FetchNotWritten,
         "Ошибка создания файла для получения!", {folderNamed, FileFault::System, EISDIR}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ExchangeResult result = c.run();
        EXPECT_EQ(result.fault, c.fault);
        EXPECT_EQ(exchangeMessage(result, paramsFor()), c.message);
        EXPECT_EQ(result.fileFailure.path, c.cause.path);
        EXPECT_EQ(result.fileFailure.fault, c.cause.fault);
        EXPECT_EQ(result.fileFailure.error, c.cause.error);
    }
    // Only the fetches reached the server.
    EXPECT_EQ(server->requestCount(), 2);
    EXPECT_TRUE(std::filesystem::is_directory(folderNamed));
    EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
}

// The wizard's "Отмена" raises the stop flag from the window's thread while
// the exchange waits on a server that never answers: every operation ends
// within a wait slice or two, long before the idle limit, and the local file
// stays as it was.
TEST_F(CryptoServerClient, RaisedStopFlagAbandonsAnExchangeAndWritesNothing) {
    SilentServer silent;
    ASSERT_NE(silent.port(), 0);
    const std::string local = dir.file("local.key_base");
    writeInterfaceBase(local, "main", 1);
    const std::vector<uint8_t> before = readBytes(local);

    using Operation = bool (*)(CryptoServerParams&, std::string*);
    const std::pair<const char*, Operation> operations[] = {
        {"list", [](CryptoServerParams& p, std::string* m) { return listInterfaces(p, m); }},
        {"fetch", [](CryptoServerParams& p, std::string* m) { return fetchKeyBase(p, m); }},
        {"upload", [](CryptoServerParams& p, std::string* m) { return uploadKeyBase(p, m); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        std::atomic<int32_t> stop{0};
        auto params = paramsFor(local);
        params.port = silent.port();
        params.idleLimitMs = 30000;
        params.stop = &stop;
        std::thread canceller([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop = 1;
        });
        std::string message;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = operation(params, &message);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        canceller.join();
        EXPECT_FALSE(ok);
        EXPECT_EQ(message, "Ошибка получения ответа: Interrupted system call !");
        EXPECT_GE(ms, 250);
        EXPECT_LT(ms, 1500);
        EXPECT_EQ(readBytes(local), before);
        EXPECT_TRUE(params.interfaceList.empty());
    }
    EXPECT_EQ(silent.accepted(), 3);
}

TEST_F(CryptoServerClient, RepliesThatFailTheEnvelopeChecksAreUndecodable) {
    const std::string local = dir.file("fetched");
    writeBytes(local, {'o', 'l', 'd'});
    const std::string strangerBase = dir.file("stranger.key_base");
    {
        // Somebody else's keys under the server's names.
        KeyBase base;
        base.addChannel(completeChannel(serverName, adminName, true, true, 512, 7));
        ASSERT_TRUE(base.saveBase(strangerBase));
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const auto replyOf = [&](const std::string& base, CodecSide side, int64_t time) {
        std::vector<uint8_t> sealed;
        EXPECT_TRUE(codecEncode(base, serverName, adminName, side, joinInterfaceList({"main"}),
                                sealed, time));
        return concat({words({0, 0, static_cast<uint32_t>(sealed.size())}), sealed});
    };
    const struct {
        const char* what;
        std::vector<uint8_t> reply;
    } cases[] = {
        {"301 s old", replyOf(serverBase, CodecSide::CryptoServer, now - 301)},
        {"the administrator's direction", replyOf(serverBase, CodecSide::Administrator, now)},
        {"forged", replyOf(strangerBase, CodecSide::CryptoServer, now)},
    };
    for (const auto& c : cases) {
        auto params = paramsFor(local);
        std::string message;
        server->misbehave(Misbehaviour::Raw, c.reply);
        EXPECT_FALSE(fetchKeyBase(params, &message)) << c.what;
        EXPECT_EQ(message, "Ошибка декодирования полученного файла!") << c.what;
        EXPECT_FALSE(listInterfaces(params, &message)) << c.what;
        EXPECT_EQ(message, "Ошибка декодирования списка интерфейсов сервера!") << c.what;
        EXPECT_TRUE(params.interfaceList.empty()) << c.what;
    }
    EXPECT_EQ(readBytes(local), (std::vector<uint8_t>{'o', 'l', 'd'}));
    // The reply was written as it opened; nothing of it stays.
    EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
}

TEST_F(CryptoServerClient, AReplayedOrStaleUploadCannotRollTheBaseBack) {
    const std::string first = dir.file("first.key_base");
    const std::string second = dir.file("second.key_base");
    writeInterfaceBase(first, "main", 1);
    writeInterfaceBase(second, "main", 3);
    std::string message;
    ASSERT_TRUE(uploadKeyBase(paramsFor(first), &message)) << message;
    const auto captured = server->lastRequest();
    ASSERT_TRUE(uploadKeyBase(paramsFor(second), &message)) << message;

    // The captured request, sent again as it was.
    ServerRequest replay;
    replay.code = captured[0];
    replay.word = kRequestWord;
    std::copy_n(captured.begin() + 5, kNameFieldSize, replay.name);
    replay.payload.assign(captured.begin() + kRequestHeadSize, captured.end());
    ServerReply reply;
    EXPECT_FALSE(exchange(paramsFor(), replay, reply, &message));
    EXPECT_EQ(reply.status, ServerStatus::DecodeFailed);
    EXPECT_EQ(message, "Сервер сообщил об ошибке:\n" + serverErrorText(107) + "!");

    // An upload sealed more than five minutes ago is refused too.
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    RequestSealer admin(adminBase, adminName, serverName);
    replay.payload = admin.uploadPayload(freshStamp(102, "main"), readBytes(first), now - 301);
    reply = ServerReply{};
    EXPECT_FALSE(exchange(paramsFor(), replay, reply, &message));
    EXPECT_EQ(reply.status, ServerStatus::DecodeFailed);

    EXPECT_EQ(readBytes(interfaceFile("main")), readBytes(second));
    EXPECT_EQ(temporariesIn(folder), std::vector<std::string>{});
}

TEST_F(CryptoServerClient, EachReplyKindIsCappedBeforeAnythingIsRead) {
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 1);
    const auto served = readBytes(interfaceFile("main"));
    auto params = paramsFor(local);
    const struct {
        const char* what;
        uint32_t announced;
        std::function<ExchangeResult()> run;
    } cases[] = {
        {"list", params.listReplyMax + 1, [&] { return Talvek::listInterfaces(params); }},
        {"fetch", params.fetchReplyMax + 1,
         [&] { return Talvek::fetchKeyBase(paramsFor(dir.file("fetched"))); }},
        // 20 MB of a "stored name" once froze the wizard.
        {"upload", 20u << 20, [&] { return Talvek::uploadKeyBase(params); }},
        {"upload, just over", params.uploadReplyMax + 1,
         [&] { return Talvek::uploadKeyBase(params); }},
    };
    // The refusal is the client's own: the socket failed at nothing, so the
    // thread's current socket error stays what it was.
    constexpr int32_t kUntouched = SocketCode::HostNotFound;
    for (const auto& c : cases) {
        server->misbehave(Misbehaviour::RawThenStall, words({0, 0, c.announced}));
        setCurrentSocketError(kUntouched);
        const auto start = std::chrono::steady_clock::now();
        const ExchangeResult result = c.run();
        EXPECT_FALSE(result) << c.what;
        EXPECT_EQ(result.fault, ExchangeFault::Receive) << c.what;
        EXPECT_EQ(result.socketCode, SocketCode::MessageTooLong) << c.what;
        EXPECT_EQ(exchangeMessage(result, params), "Ошибка получения ответа: Message too long !")
            << c.what;
        EXPECT_EQ(currentSocketError(), kUntouched) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.what;
    }
    EXPECT_FALSE(exists(dir.file("fetched")));
    EXPECT_EQ(readBytes(interfaceFile("main")), served);
}

TEST_F(CryptoServerClient, TheStoredNameIsShownCutAndCleaned) {
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 1);
    std::vector<uint8_t> name(300, 'a');
    name[3] = '\n';
    name[4] = 0x1B;  // an escape sequence a terminal would obey
    server->answerWith([&](const std::vector<uint8_t>& request) {
        return sealedReply(request, [&](EnvelopeStamp&) { return name; });
    });
    std::string message;
    ASSERT_TRUE(uploadKeyBase(paramsFor(local), &message)) << message;
    EXPECT_EQ(message, "Новая база ключей установлена на сервере как\n\"aaa\\x0A\\x1B" +
                           std::string(kStoredNameShown - 5, 'a') + "...\"");

    EXPECT_EQ(storedNameText({0xCA, 0xE0, 0xF1, 0xF1, 0xE0, '.', 'k', 0, 'x'}), "Касса.k");
    EXPECT_EQ(storedNameText({}), "");
    EXPECT_EQ(storedNameText(std::vector<uint8_t>(kStoredNameShown, 'b')),
              std::string(kStoredNameShown, 'b'));
}

// A man in the middle answers with a genuine sealed reply, but not the one
// for this request: each is refused with the decode-failure message and
// nothing is written.
TEST_F(CryptoServerClient, RepliesForAnotherRequestAreRefusedAndWriteNothing) {
    const std::string fetched = dir.file("fetched");
    writeBytes(fetched, {'o', 'l', 'd'});
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, "main", 3);
    const auto served = readBytes(interfaceFile("main"));
    const auto base = readBytes(interfaceFile("Касса"));
    using Change = std::function<void(EnvelopeStamp&)>;
    const struct {
        const char* what;
        Change change;
    } cases[] = {
        {"another interface", [](EnvelopeStamp& s) { s.interfaceField.fill(0); s.interfaceField[0] = 'x'; }},
        {"another nonce", [](EnvelopeStamp& s) { s.nonce[0] ^= 1; }},
        {"another code", [](EnvelopeStamp& s) { s.code = s.code == 100 ? 101 : 100; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server->answerWith([&](const std::vector<uint8_t>& request) {
            return sealedReply(request, [&](EnvelopeStamp& stamp) {
                c.change(stamp);
                return stamp.code == 100 ? joinInterfaceList({"main"}) : base;
            });
        });
        auto params = paramsFor(fetched);
        std::string message;
        EXPECT_FALSE(fetchKeyBase(params, &message));
        EXPECT_EQ(message, "Ошибка декодирования полученного файла!");
        EXPECT_FALSE(listInterfaces(params, &message));
        EXPECT_EQ(message, "Ошибка декодирования списка интерфейсов сервера!");
        EXPECT_TRUE(params.interfaceList.empty());
        EXPECT_FALSE(uploadKeyBase(paramsFor(local), &message));
        EXPECT_EQ(message, "Ошибка декодирования ответа сервера!");
    }
    // An acknowledgement in plain text, as the earlier protocol sent it,
    // from a server that never stored anything.
    const std::string plain = "main.key_base";
    server->misbehave(Misbehaviour::Raw,
                      concat({words({0, 0, static_cast<uint32_t>(plain.size())}),
                              std::vector<uint8_t>(plain.begin(), plain.end())}));
    std::string message;
    EXPECT_FALSE(uploadKeyBase(paramsFor(local), &message));
    EXPECT_EQ(message, "Ошибка декодирования ответа сервера!");
    // A list whose names the protocol does not allow.
    server->answerWith([&](const std::vector<uint8_t>& request) {
        return sealedReply(request, [](EnvelopeStamp&) {
            return joinInterfaceList({"main", std::string(64, 'n')});
        });
    });
    auto params = paramsFor();
    EXPECT_FALSE(listInterfaces(params, &message));
    EXPECT_EQ(message, "Ошибка декодирования списка интерфейсов сервера!");

    EXPECT_EQ(readBytes(fetched), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(readBytes(interfaceFile("main")), served);
    EXPECT_EQ(temporariesIn(dir.path()), std::vector<std::string>{});
}
