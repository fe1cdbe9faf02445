#include "support/replyexercise.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cryptoclient/cryptoserverclient.h"
#include "sealing/talvekcodec.h"
#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "support/exchangewords.h"
#include "support/messageexercise.h"

namespace TestSupport {

namespace {

bool readFull(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void sendFull(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// One listening socket on loopback and a thread that answers each
// connection, in turn, with the reply set last.
class ScriptedServer {
public:
    ScriptedServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
            std::abort();
        }
        port_ = ntohs(addr.sin_port);
        std::thread([this] { serve(); }).detach();
    }

    int port() const { return port_; }
    void setReply(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_.assign(data, data + size);
    }

private:
    void serve() {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            answer(fd);
            ::close(fd);
        }
    }

    // Reads the whole request first, as the crypto server does, so that the
    // client is never cut off in the middle of sending.
    void answer(int fd) {
        uint8_t head[1 + 4 + Talvek::kNameFieldSize + 4];
        if (!readFull(fd, head, sizeof head)) return;
        const uint32_t length = Talvek::wordFrom(head + sizeof head - 4);
        if (length > (64u << 20)) return;
        std::vector<uint8_t> payload(length);
        if (!readFull(fd, payload.data(), payload.size())) return;
        std::vector<uint8_t> reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = reply_;
        }
        sendFull(fd, reply.data(), reply.size());
        ::shutdown(fd, SHUT_WR);
    }

    int listener_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<uint8_t> reply_;
};

struct Scratch {
    Scratch() {
        char pattern[] = "/dev/shm/talvek-reply-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        dir = pattern;
        // A small base to upload: the key base of the channels themselves.
        upload = dir + "/upload.key_base";
        if (!makeMessageKeyBase(upload)) std::abort();
        fetched = dir + "/fetched.key_base";
    }
    std::string dir;
    std::string upload;
    std::string fetched;
};

std::vector<uint8_t> fileBytes(const std::string& path) {
    Talvek::FileReader file;
    if (!file.openExisting(path)) return {};
    std::vector<uint8_t> bytes(file.size());
    file.read(bytes);
    return bytes;
}

}  // namespace

ReplyOutcome exerciseServerReply(const uint8_t* data, size_t size) {
    static ScriptedServer server;
    static Scratch scratch;
    static const std::string keyBase = messageKeyBasePath();

    ReplyOutcome outcome;
    if (size < 1) return outcome;
    const auto request = static_cast<ReplyRequest>(data[0] % 4);
    server.setReply(data + 1, size - 1);

    Talvek::CryptoServerParams params;
    params.address = "127.0.0.1";
    params.port = server.port();
    params.adminKeyBase = keyBase;
    params.adminKeyName = senderName(MessageKind::Both);
    params.serverKeyName = receiverName(MessageKind::Both);
    params.interfaceName = "orvane";
    params.idleLimitMs = 5000;

    switch (request) {
        case ReplyRequest::Exchange: {
            Talvek::ServerRequest r;
            r.code = Talvek::ServerCode::ListInterfaces;
            r.word = 1;
            r.setName(params.adminKeyName);
            Talvek::ServerReply reply;
            outcome.ok = TestSupport::exchange(params, r, reply, &outcome.message);
            if (outcome.ok && reply.status != 0) std::abort();
            break;
        }
        case ReplyRequest::List:
            outcome.ok = TestSupport::listInterfaces(params, &outcome.message);
            if (outcome.ok) {
                const auto names = Talvek::splitInterfaceList(params.interfaceList.data(),
                                                              params.interfaceList.size());
                for (const std::string& name : names) {
                    if (name.empty() || name.find('\0') != std::string::npos) std::abort();
                }
            }
            break;
        case ReplyRequest::Fetch: {
            ::unlink(scratch.fetched.c_str());
            params.localFile = scratch.fetched;
            outcome.ok = TestSupport::fetchKeyBase(params, &outcome.message);
            // Only a fetch that succeeded leaves a file, and never an empty one.
            const std::vector<uint8_t> stored = fileBytes(scratch.fetched);
            if (outcome.ok == stored.empty()) std::abort();
            break;
        }
        case ReplyRequest::Upload:
            params.localFile = scratch.upload;
            outcome.ok = TestSupport::uploadKeyBase(params, &outcome.message);
            break;
    }
    // A failure is always worded for the user.
    if (!outcome.ok && outcome.message.empty()) std::abort();
    return outcome;
}

}  // namespace TestSupport
