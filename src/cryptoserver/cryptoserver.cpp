#include "cryptoserver/cryptoserver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stop_token>
#include <system_error>

#include "cryptoclient/protocol.h"
#include "fileio/binaryfile.h"
#include "keystore/keybase.h"
#include "sealing/talvekcodec.h"

namespace Talvek {

namespace {

// The payload is taken, and a sealed reply sent, in pieces of at most this
// size: each piece is opened or sealed while the kernel moves the next.
constexpr uint32_t kPayloadPiece = 256u << 10;

namespace Status = ServerStatus;

void putWord(std::vector<uint8_t>& out, uint32_t value) {
    const auto bytes = wordBytes(value);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Text up to the first zero byte, at most length bytes.
std::string zeroTerminated(const uint8_t* p, size_t length) {
    const uint8_t* end = std::find(p, p + length, uint8_t{0});
    return std::string(p, end);
}

std::chrono::milliseconds transferAllowance(uint64_t bytes) {
    return std::chrono::milliseconds(bytes * 1000 / kSlowestTransferBytesPerSecond);
}

}  // namespace

// A reply being made: the status, the data whole or a fetched base that is
// sealed as it is sent, and the interface it concerns (for the log).
struct CryptoServer::Outgoing {
    uint32_t status = Status::Success;
    std::vector<uint8_t> data;
    std::string interfaceName;  // Windows-1251; empty when none
    SecretBytes content;
    EnvelopeSealer sealer;
    bool streamed = false;

    void refuse(uint32_t code, std::string name = {}) {
        status = code;
        interfaceName = std::move(name);
    }
};

// An upload opened as it arrives: the interface's field, then the base,
// written to a new file beside the interface's that takes its place only
// once the whole upload proved genuine and fresh. The object stays where it
// is while in use.
struct CryptoServer::Incoming {
    uint8_t field[kUploadHeaderSize] = {};
    size_t fieldAt = 0;
    std::string name, path;
    BinaryFile file;
    bool storing = false;
    bool opening = false;
    // Last: it may still be writing to the rest when the upload breaks off.
    EnvelopeOpener opener;
};

CryptoServer::CryptoServer(CryptoServerConfig config)
    : config_(std::move(config)),
      keys_(config_.serverBase, config_.serverName, config_.adminName),
      store_(config_.folder, config_.historyDepth),
      log_(config_.log) {}

CryptoServer::~CryptoServer() {
    stop();
}

bool CryptoServer::listenOn(const std::string& host, uint16_t port) {
    if (listener_.create() != 0 || listener_.bind(host, port) != 0 || listener_.listen(128) != 0)
        return false;
    port_ = listener_.localPort();
    return true;
}

void CryptoServer::run() {
    if (!acceptor_.joinable() && listener_.isOpen())
        acceptor_ = std::jthread([this](std::stop_token stop) { serve(stop); });
}

bool CryptoServer::start(const std::string& host, uint16_t port) {
    if (acceptor_.joinable() || !listenOn(host, port)) return false;
    run();
    return true;
}

void CryptoServer::stop() {
    if (acceptor_.joinable()) {
        acceptor_.request_stop();
        acceptor_.join();
    }
    if (listener_.isOpen()) listener_.close();
}

void CryptoServer::serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
        // A finished worker's thread is joined as it goes.
        workers_.remove_if([](const Worker& w) { return w.done.load(); });
        if (listener_.waitReadable(kSocketSliceMs) != 1) continue;
        std::unique_ptr<TcpSocket> client = listener_.accept();
        if (!client) continue;
        if (active_.load() >= config_.maxConnections) {
            // Closed at once: a client waiting in vain would only hold on.
            std::string peer;
            client->peerAddress(peer);
            log_.write(peer, {}, 0, {}, "busy");
            continue;
        }
        ++active_;
        Worker& worker = workers_.emplace_back();
        std::shared_ptr<TcpSocket> socket = std::move(client);
        try {
            worker.thread = std::jthread([this, &worker, socket](std::stop_token token) {
                std::atomic<int32_t> stopFlag{0};
                std::stop_callback onStop(token, [&stopFlag] { stopFlag = 1; });
                handle(*socket, stopFlag);
                socket->close();
                --active_;
                worker.done = true;
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one connection is refused.
            --active_;
            workers_.pop_back();
            std::string peer;
            socket->peerAddress(peer);
            log_.write(peer, {}, 0, {}, "busy");
        }
    }
    // Each worker is asked to stop and joined as it goes.
    workers_.clear();
}

uint32_t CryptoServer::precheck(uint8_t code, const std::string& adminName,
                                uint32_t payloadLength) {
    std::shared_ptr<const KeyBase> hold;
    if (!adminChannel(hold, adminName)) return Status::NoRights;
    switch (code) {
        case ServerCode::ListInterfaces:
            return payloadLength == kListPayloadSize ? Status::Success : Status::BadRequest;
        case ServerCode::FetchKeyBase:
            return payloadLength >= 1 && payloadLength <= kFetchPayloadMax ? Status::Success
                                                                           : Status::BadRequest;
        case ServerCode::UploadKeyBase:
            return payloadLength >= 1 && payloadLength <= kUploadPayloadMax ? Status::Success
                                                                            : Status::BadRequest;
        default:
            return Status::BadRequest;
    }
}

const SecureChannel* CryptoServer::adminChannel(std::shared_ptr<const KeyBase>& hold,
                                                const std::string& adminName) {
    hold = keys_.current();
    return hold ? keys_.channelFor(*hold, adminName) : nullptr;
}

bool CryptoServer::readPayload(TcpSocket& client, const std::atomic<int32_t>& stopFlag,
                               uint32_t length, std::vector<uint8_t>& payload) {
    payload.clear();
    while (payload.size() < length) {
        // Grown with what arrives: a claimed length costs nothing until the
        // bytes are there.
        const size_t piece = std::min<size_t>(kPayloadPiece, length - payload.size());
        const size_t at = payload.size();
        payload.resize(at + piece);
        if (client.receiveAll(payload.data() + at, static_cast<int32_t>(piece), &stopFlag,
                              kSocketSliceMs) != static_cast<int>(piece))
            return false;
    }
    return true;
}

bool CryptoServer::receiveUpload(TcpSocket& client, const std::atomic<int32_t>& stopFlag,
                                 const std::string& adminName, uint32_t length, Outgoing& out) {
    std::shared_ptr<const KeyBase> hold;
    const SecureChannel* channel = adminChannel(hold, adminName);
    Incoming in;
    if (channel) startUpload(in, *channel, length);
    // A claimed length costs one piece until the bytes are there.
    std::vector<char> piece(std::min(length, kPayloadPiece));
    for (uint32_t done = 0; done < length;) {
        const auto n = static_cast<int32_t>(std::min<size_t>(piece.size(), length - done));
        if (client.receiveAll(piece.data(), n, &stopFlag, kSocketSliceMs) != n) return false;
        in.opening = in.opening && in.opener.feed(piece.data(), static_cast<size_t>(n));
        done += static_cast<uint32_t>(n);
    }
    if (channel) {
        takeUpload(in, out);
    } else {
        out.refuse(Status::NoRights);
    }
    return true;
}

void CryptoServer::startUpload(Incoming& in, const SecureChannel& channel, size_t length) {
    // Kept opening whatever happens to the file, so that an upload that is
    // not genuine is answered as such.
    const auto store = [this, &in](const uint8_t* data, size_t length) {
        if (in.fieldAt < kUploadHeaderSize) {
            const size_t n = std::min(length, kUploadHeaderSize - in.fieldAt);
            std::memcpy(in.field + in.fieldAt, data, n);
            in.fieldAt += n;
            data += n;
            length -= n;
            if (in.fieldAt < kUploadHeaderSize) return true;
            in.name = zeroTerminated(in.field, kUploadHeaderSize);
            in.path = store_.path(in.name);
            in.storing = !in.path.empty() &&
                         in.file.createDeferred(in.path, BinaryFile::Permissions::OwnerOnly);
        }
        in.storing = in.storing && length <= UINT32_MAX &&
                     in.file.write(data, static_cast<uint32_t>(length));
        return true;
    };
    // The length the client claims allocates nothing: it only decides
    // whether a second thread helps.
    in.opening = in.opener.start(channel, CodecSide::CryptoServer, length, store);
}

void CryptoServer::takeUpload(Incoming& in, Outgoing& out) {
    EnvelopeStamp stamp;
    if (!in.opening || !in.opener.finish(&stamp) || in.fieldAt < kUploadHeaderSize ||
        !replays_.admit(stamp))
        return out.refuse(Status::DecodeFailed);
    if (in.path.empty()) return out.refuse(Status::NoInterface, in.name);
    if (!in.storing || !store_.commit(in.file, in.path))
        return out.refuse(Status::RewriteFailed, in.name);
    out.interfaceName = in.name;
    const std::string stored = InterfaceStore::storedName(in.name);
    out.data.assign(stored.begin(), stored.end());
}

void CryptoServer::prepare(uint8_t code, const std::string& adminName,
                           const std::vector<uint8_t>& payload, Outgoing& out) {
    std::shared_ptr<const KeyBase> hold;
    const SecureChannel* channel = adminChannel(hold, adminName);
    if (!channel) return out.refuse(Status::NoRights);

    if (code == ServerCode::ListInterfaces) {
        const std::vector<std::string> names = store_.names();
        // There is nothing to administer.
        if (names.empty()) return out.refuse(Status::NoInterface);
        const auto list = joinInterfaceList(names);
        std::string sealed;
        if (!sealEnvelope(*channel, CodecSide::CryptoServer, list.data(), list.size(), sealed))
            return out.refuse(Status::EncodeFailed);
        out.data.assign(sealed.begin(), sealed.end());
        return;
    }

    if (code == ServerCode::FetchKeyBase) {
        const std::string name = zeroTerminated(payload.data(), payload.size());
        const std::string path = store_.path(name);
        out.interfaceName = name;
        if (path.empty()) return out.refuse(Status::NoInterface, name);
        BinaryFile file;
        if (!file.open(path, BinaryFile::Read, BinaryFile::Disposition::OpenExisting,
                       BinaryFile::Share::Read))
            return out.refuse(Status::OpenFailed, name);
        // Taken out of the file, so that an upload need not wait for a slow
        // client to read the base; encrypted where it is while it is digested.
        out.content = file.takeContent();
        if (!out.sealer.startInPlace(*channel, CodecSide::CryptoServer, {out.content}))
            return out.refuse(Status::EncodeFailed, name);
        out.streamed = true;
        return;
    }
    out.refuse(Status::BadRequest);
}

bool CryptoServer::sendReply(TcpSocket& client, uint8_t code, Outgoing& out) const {
    std::vector<uint8_t> head;
    putWord(head, code);
    putWord(head, out.status);
    if (out.status == Status::Success) {
        const size_t length = out.streamed ? out.sealer.textLength() : out.data.size();
        if (length > UINT32_MAX) return false;
        putWord(head, static_cast<uint32_t>(length));
        if (!out.streamed) head.insert(head.end(), out.data.begin(), out.data.end());
    }
    if (client.send(head.data(), static_cast<int32_t>(head.size()), kSocketSliceMs) < 0)
        return false;
    if (!out.streamed || out.status != Status::Success) return true;
    std::vector<char> piece(std::min<size_t>(out.sealer.textLength(), kPayloadPiece));
    while (const size_t n = out.sealer.next(piece.data(), piece.size())) {
        if (client.send(piece.data(), static_cast<int32_t>(n), kSocketSliceMs) < 0) return false;
    }
    // A cipher that failed half-way leaves the reply cut short.
    return !out.sealer.failed();
}

void CryptoServer::handle(TcpSocket& client, const std::atomic<int32_t>& stopFlag) {
    client.setIdleLimit(config_.idleLimitMs);
    client.setDeadline(TcpSocket::Clock::now() +
                       std::chrono::milliseconds(config_.connectionTimeMs));
    std::string peer;
    client.peerAddress(peer);

    uint8_t head[kRequestHeadSize];
    if (client.receiveAll(head, sizeof head, &stopFlag, kSocketSliceMs) != sizeof head) {
        log_.write(peer, {}, 0, {}, "dropped");
        return;
    }
    const uint8_t code = head[0];
    const std::string adminName = zeroTerminated(head + 5, kNameFieldSize);
    const uint32_t length = wordFrom(head + 5 + kNameFieldSize);

    Outgoing out;
    out.status = precheck(code, adminName, length);
    if (out.status == Status::Success) {
        client.setDeadline(client.deadline() + transferAllowance(length));
        std::vector<uint8_t> payload;
        const bool upload = code == ServerCode::UploadKeyBase;
        const bool read = upload ? receiveUpload(client, stopFlag, adminName, length, out)
                                 : readPayload(client, stopFlag, length, payload);
        if (!read) {
            log_.write(peer, adminName, code, {}, "dropped");
            return;
        }
        if (!upload) prepare(code, adminName, payload, out);
    }
    const bool sent = sendReply(client, code, out);
    log_.write(peer, adminName, code, out.interfaceName,
               std::to_string(out.status) + (sent ? "" : ",unsent"));
    if (code == ServerCode::UploadKeyBase && out.status == Status::Success)
        store_.removeDroppedVersion(out.interfaceName);
}

}  // namespace Talvek
