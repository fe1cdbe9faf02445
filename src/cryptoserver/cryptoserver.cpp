#include "cryptoserver/cryptoserver.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <cstring>
#include <stop_token>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "cryptoclient/protocol.h"
#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/keybase.h"
#include "sealing/talvekcodec.h"

namespace Talvek {

namespace {

// The payload is taken, and a sealed reply sent, in pieces of at most this
// size: each piece is opened or sealed while the kernel moves the next.
constexpr uint32_t kPayloadPiece = 256u << 10;
// What a refused client may still send before the connection closes.
constexpr size_t kDrainBytes = 8u << 20;
constexpr int32_t kDrainMs = 2000;

namespace Status = ServerStatus;
using Clock = TcpSocket::Clock;

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

uint64_t bigEndian64(const uint8_t* in) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | in[i];
    return value;
}

}  // namespace

// One connection being served.
struct CryptoServer::Connection {
    Connection(TcpSocket& s, const std::atomic<int32_t>& flag, Worker& w)
        : socket(s), stop(flag), worker(w), peer(w.peer) {}

    TcpSocket& socket;
    const std::atomic<int32_t>& stop;
    Worker& worker;
    std::string peer;
    uint8_t code = 0;
    std::string adminName;
    uint32_t length = 0;  // the payload's, as the header says
    std::shared_ptr<const KeyBase> keys;  // holds channel
    const SecureChannel* channel = nullptr;
    EnvelopeStamp stamp;  // of the proved block
    uint32_t headLength = 0;
    uint64_t baseLength = 0;  // an upload's, as its head says
    std::string interfaceName;  // for the log
    std::string cause;  // why the server failed its part on a file, for the log
};

// A reply: the status and, for 0, a sealed block held whole or sealed as it
// is sent.
struct CryptoServer::Reply {
    uint32_t status = Status::Success;
    std::string sealed;
    SecretBytes content;
    EnvelopeSealer sealer;
    bool streamed = false;
};

CryptoServer::CryptoServer(CryptoServerConfig config)
    : config_(std::move(config)),
      random_(std::random_device{}()),
      keys_(config_.serverBase, config_.serverName, config_.adminName),
      store_(config_.folder, config_.historyDepth),
      replays_(config_.folder + "/.nonces"),
      log_(config_.log) {}

CryptoServer::~CryptoServer() {
    stop();
}

bool CryptoServer::listenOn(const std::string& host, uint16_t port) {
    store_.removeTemporaries();
    noncesProblem_ = replays_.load();
    if (!noncesProblem_) return false;
    if (!spareFd_) spareFd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
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

bool CryptoServer::admit(const std::string& peer) {
    std::lock_guard lock(admissionMutex_);
    int& fromPeer = unprovenBySource_[peer];
    bool taken = fromPeer < config_.maxUnprovenPerSource && unproven_ < config_.maxUnproven;
    if (taken && unproven_ >= config_.earlyDropFrom) {
        // Random early drop: the fuller, the likelier, so that a flood
        // cannot keep every slot while others still get some.
        const int span = std::max(1, config_.maxUnproven - config_.earlyDropFrom);
        std::uniform_int_distribution<int> draw(0, span - 1);
        taken = draw(random_) >= unproven_ - config_.earlyDropFrom;
    }
    if (taken) {
        ++fromPeer;
        ++unproven_;
    } else if (fromPeer == 0) {
        unprovenBySource_.erase(peer);
    }
    return taken;
}

void CryptoServer::release(Worker& worker) {
    if (worker.proven.exchange(true)) return;
    std::lock_guard lock(admissionMutex_);
    --unproven_;
    if (--unprovenBySource_[worker.peer] <= 0) unprovenBySource_.erase(worker.peer);
}

void CryptoServer::serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
        // A finished worker's thread is joined as it goes.
        workers_.remove_if([](const Worker& w) { return w.done.load(); });
        if (listener_.waitReadable(kSocketSliceMs) != 1) continue;
        std::shared_ptr<TcpSocket> client = listener_.accept();
        if (!client) {
            // Out of descriptors: the spare one is given up to take the
            // waiting connection and close it, and the loop backs off
            // rather than spin on a connection it cannot take.
            if (spareFd_ && (errno == EMFILE || errno == ENFILE)) {
                spareFd_.reset();
                if (auto refused = listener_.accept()) refused->close();
                spareFd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                log_.write({}, {}, 0, {}, "refused");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        std::string peer;
        client->peerAddress(peer);
        if (active_.load() >= config_.maxConnections || !admit(peer)) {
            // Closed at once: a client waiting in vain would only hold on.
            log_.write(peer, {}, 0, {}, "busy");
            continue;
        }
        ++active_;
        Worker& worker = workers_.emplace_back();
        worker.peer = peer;
        try {
            worker.thread = std::jthread([this, &worker, client](std::stop_token token) {
                std::atomic<int32_t> stopFlag{0};
                std::stop_callback onStop(token, [&stopFlag] { stopFlag = 1; });
                Connection c(*client, stopFlag, worker);
                handle(c);
                client->close();
                release(worker);
                --active_;
                worker.done = true;
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one connection is refused.
            release(worker);
            --active_;
            workers_.pop_back();
            log_.write(peer, {}, 0, {}, "refused");
        }
    }
    // Unproven connections end now; proven requests may finish first.
    for (Worker& w : workers_)
        if (!w.proven.load()) w.thread.request_stop();
    const auto graceEnd = Clock::now() + std::chrono::milliseconds(config_.stopGraceMs);
    while (!workers_.empty() && Clock::now() < graceEnd) {
        workers_.remove_if([](const Worker& w) { return w.done.load(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Each worker left is asked to stop and joined as it goes.
    workers_.clear();
}

void CryptoServer::refuse(Connection& c, uint32_t status) {
    std::vector<uint8_t> head;
    putWord(head, c.code);
    putWord(head, status);
    c.socket.setDeadline(Clock::now() + std::chrono::milliseconds(kDrainMs));
    if (c.socket.send(head.data(), static_cast<int32_t>(head.size()), kSocketSliceMs) < 0) return;
    // The status arrives before the close: with unread data in its buffer
    // the system would reset the connection and the client might lose it.
    c.socket.shutdownSend();
    uint8_t sink[16384];
    for (size_t drained = 0; drained < kDrainBytes && c.stop.load() == 0;) {
        const int got = c.socket.receive(sink, sizeof sink, kSocketSliceMs);
        if (got < 0 || Clock::now() >= c.socket.deadline()) break;
        drained += static_cast<size_t>(got);
    }
}

uint32_t CryptoServer::checkHeader(Connection& c) {
    c.keys = keys_.current();
    c.channel = c.keys ? keys_.channelFor(*c.keys, c.adminName) : nullptr;
    if (!c.channel) return Status::NoRights;
    switch (c.code) {
        case ServerCode::ListInterfaces:
        case ServerCode::FetchKeyBase:
            return c.length >= 1 && c.length <= kBlockMax ? Status::Success : Status::BadRequest;
        case ServerCode::UploadKeyBase:
            return c.length > kHeadLengthSize + 1 && c.length <= kUploadPayloadMax
                       ? Status::Success
                       : Status::BadRequest;
        default:
            return Status::BadRequest;
    }
}

uint32_t CryptoServer::prove(Connection& c) {
    c.socket.setDeadline(Clock::now() + std::chrono::milliseconds(config_.headerTimeMs));
    uint32_t blockLength = c.length;
    if (c.code == ServerCode::UploadKeyBase) {
        uint8_t word[kHeadLengthSize];
        if (c.socket.receiveAll(word, sizeof word, &c.stop, kSocketSliceMs) != sizeof word)
            return UINT32_MAX;
        c.headLength = wordFrom(word);
        // A head that leaves no room for a body is no upload.
        if (c.headLength < 1 || c.headLength > kBlockMax ||
            c.headLength >= c.length - kHeadLengthSize)
            return Status::BadRequest;
        blockLength = c.headLength;
    }
    std::vector<char> block(blockLength);
    if (c.socket.receiveAll(block.data(), static_cast<int32_t>(blockLength), &c.stop,
                            kSocketSliceMs) != static_cast<int>(blockLength))
        return UINT32_MAX;
    EnvelopeOpener opener;
    const bool opened = opener.start(*c.channel, CodecSide::CryptoServer, blockLength) &&
                        opener.feed(block.data(), block.size()) && opener.finish(&c.stamp);
    const size_t dataSize = c.code == ServerCode::UploadKeyBase ? kHeadDataSize : 0;
    if (!opened || c.stamp.code != c.code || opener.size() != dataSize)
        return Status::DecodeFailed;
    const ReplayGuard::Admission admission = replays_.admit(c.stamp);
    switch (admission.verdict) {
        case ReplayGuard::Verdict::Admitted:
            break;
        case ReplayGuard::Verdict::Replayed:
            return Status::DecodeFailed;
        case ReplayGuard::Verdict::NotRecorded:
            // Served, it could be taken again after a restart.
            c.interfaceName = c.stamp.interfaceName();
            c.cause = logCause(admission.failure);
            return Status::Failure;
    }
    if (c.code == ServerCode::UploadKeyBase) {
        c.baseLength = bigEndian64(opener.data());
        if (c.baseLength > std::min(config_.maxBase, kBaseMax)) return Status::BadRequest;
    }
    c.interfaceName = c.stamp.interfaceName();
    return Status::Success;
}

bool CryptoServer::takeReplyMemory(uint64_t bytes, const std::atomic<int32_t>& stop) {
    std::unique_lock lock(memoryMutex_);
    while (memoryHeld_ > 0 && memoryHeld_ + bytes > config_.replyMemory) {
        if (stop.load() != 0) return false;
        memoryFreed_.wait_for(lock, std::chrono::milliseconds(kSocketSliceMs));
    }
    memoryHeld_ += bytes;
    return true;
}

void CryptoServer::giveReplyMemory(uint64_t bytes) {
    {
        std::lock_guard lock(memoryMutex_);
        memoryHeld_ -= bytes;
    }
    memoryFreed_.notify_all();
}

void CryptoServer::list(Connection& c, Reply& reply) {
    const std::vector<std::string> names = store_.names();
    // There is nothing to administer.
    if (names.empty()) {
        reply.status = Status::NoInterface;
        return;
    }
    const auto data = joinInterfaceList(names);
    if (!sealEnvelope(*c.channel, CodecSide::CryptoServer, c.stamp, data.data(), data.size(),
                      reply.sealed))
        reply.status = Status::EncodeFailed;
}

void CryptoServer::fetch(Connection& c, Reply& reply) {
    const std::string path = store_.path(c.interfaceName);
    if (path.empty()) {
        reply.status = Status::NoInterface;
        return;
    }
    FileReader file;
    if (FileResult opened = file.openShared(path); !opened) {
        reply.status = Status::OpenFailed;
        c.cause = logCause(opened.failure());
        return;
    }
    // Taken out of the file, so that an upload need not wait for a slow
    // client to read the base; encrypted where it is while it is digested.
    reply.content = file.takeContent();
    if (!reply.sealer.startInPlace(*c.channel, CodecSide::CryptoServer, c.stamp,
                                   {reply.content})) {
        reply.status = Status::EncodeFailed;
        return;
    }
    reply.streamed = true;
}

void CryptoServer::upload(Connection& c, Reply& reply) {
    const std::string path = store_.path(c.interfaceName);
    if (path.empty()) {
        reply.status = Status::NoInterface;
        return;
    }
    // The body's time starts now that its head is proved.
    const uint64_t bodyLength = c.length - kHeadLengthSize - c.headLength;
    c.socket.setDeadline(Clock::now() + std::chrono::milliseconds(config_.connectionTimeMs) +
                         transferAllowance(bodyLength));
    // Written to a new file as it is opened; it takes the base's place only
    // once the whole body proved to be the one its head announced.
    FileWriter file;
    const FileResult created = file.createDeferred(path, FileWriter::Permissions::OwnerOnly);
    bool storing = created.ok();
    uint64_t taken = 0;
    EnvelopeOpener opener;
    const auto store = [&](const uint8_t* data, size_t n) {
        taken += n;
        // Kept opening whatever happens to the file, so that a body that is
        // not genuine is answered as such.
        storing = storing && taken <= c.baseLength && file.write({data, n});
        return taken <= c.baseLength;
    };
    bool opening = opener.start(*c.channel, CodecSide::CryptoServer, bodyLength, store);
    std::vector<char> piece(std::min<uint64_t>(bodyLength, kPayloadPiece));
    for (uint64_t done = 0; done < bodyLength;) {
        const auto n = static_cast<int32_t>(std::min<uint64_t>(piece.size(), bodyLength - done));
        if (c.socket.receiveAll(piece.data(), n, &c.stop, kSocketSliceMs) != n) {
            reply.status = UINT32_MAX;
            return;
        }
        opening = opening && opener.feed(piece.data(), static_cast<size_t>(n));
        done += static_cast<uint64_t>(n);
    }
    EnvelopeStamp body;
    if (!opening || !opener.finish(&body) || !body.sameRequest(c.stamp) ||
        taken != c.baseLength) {
        reply.status = Status::DecodeFailed;
        return;
    }
    const FileResult replaced = !created             ? created
                                : file.writeFailed() ? FileResult::failed(file.writeFailure())
                                                     : store_.commit(file, path);
    if (!replaced) {
        reply.status = Status::RewriteFailed;
        c.cause = logCause(replaced.failure());
        return;
    }
    const std::string stored = InterfaceStore::storedName(c.interfaceName);
    if (!sealEnvelope(*c.channel, CodecSide::CryptoServer, c.stamp,
                      reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                      reply.sealed))
        reply.status = Status::EncodeFailed;
}

bool CryptoServer::send(Connection& c, Reply& reply, const std::function<void()>& beforeLastByte) {
    const size_t length = reply.streamed ? reply.sealer.textLength() : reply.sealed.size();
    if (length > UINT32_MAX) return false;
    // The reply's time grows with its size.
    c.socket.setDeadline(Clock::now() + std::chrono::milliseconds(config_.connectionTimeMs) +
                         transferAllowance(length));
    const auto sendAll = [&c](const void* data, size_t n) {
        return n == 0 || c.socket.send(data, static_cast<int32_t>(n), kSocketSliceMs) >= 0;
    };
    // The last byte waits until the caller has done what must come before
    // the client can go on (its log line), so that nothing of a later
    // request of the same client can come first.
    const auto sendLast = [&](const void* data, size_t n) {
        if (!sendAll(data, n - 1)) return false;
        beforeLastByte();
        return sendAll(static_cast<const char*>(data) + n - 1, 1);
    };
    std::vector<uint8_t> head;
    putWord(head, c.code);
    putWord(head, Status::Success);
    putWord(head, static_cast<uint32_t>(length));
    if (!reply.streamed) {
        head.insert(head.end(), reply.sealed.begin(), reply.sealed.end());
        return sendLast(head.data(), head.size());
    }
    if (!sendAll(head.data(), head.size())) return false;
    // One piece is held back, so that the last one is known when it is sent.
    std::vector<char> held(std::min<size_t>(length, kPayloadPiece));
    std::vector<char> next(held.size());
    size_t heldLength = reply.sealer.next(held.data(), held.size());
    while (heldLength > 0) {
        const size_t n = reply.sealer.next(next.data(), next.size());
        if (n == 0) break;
        if (c.stop.load() != 0 || !sendAll(held.data(), heldLength)) return false;
        held.swap(next);
        heldLength = n;
    }
    // A cipher that failed half-way leaves the reply cut short.
    if (reply.sealer.failed() || heldLength == 0 || c.stop.load() != 0) return false;
    return sendLast(held.data(), heldLength);
}

void CryptoServer::handle(Connection& c) {
    c.socket.setIdleLimit(config_.idleLimitMs);
    c.socket.setDeadline(Clock::now() + std::chrono::milliseconds(config_.headerTimeMs));
    const auto dropped = [&c, this] { log_.write(c.peer, c.adminName, c.code, {}, "dropped"); };

    uint8_t head[kRequestHeadSize];
    if (c.socket.receiveAll(head, sizeof head, &c.stop, kSocketSliceMs) != sizeof head)
        return dropped();
    c.code = head[0];
    const uint32_t version = wordFrom(head + 1);
    c.adminName = zeroTerminated(head + 5, kNameFieldSize);
    c.length = wordFrom(head + 5 + kNameFieldSize);

    uint32_t status = checkHeader(c);
    if (status == Status::Success && version != kRequestWord) status = Status::BadRequest;
    if (status == Status::Success) status = prove(c);
    if (status == UINT32_MAX) return dropped();
    const auto logged = [&](const std::string& outcome) {
        log_.write(c.peer, c.adminName, c.code, c.interfaceName, outcome, c.cause);
    };
    // A refusal's line is written before its status goes out: the client
    // learns nothing before the log does.
    if (status != Status::Success) {
        logged(std::to_string(status));
        return refuse(c, status);
    }
    // Proved: from here on the connection no longer counts as unproven.
    release(c.worker);

    Reply reply;
    uint64_t held = 0;
    if (c.code == ServerCode::ListInterfaces) {
        list(c, reply);
    } else if (c.code == ServerCode::FetchKeyBase) {
        // A base held for a reply counts against the bound until it is sent.
        const std::string path = store_.path(c.interfaceName);
        std::error_code ec;
        held = path.empty() ? 0 : std::filesystem::file_size(path, ec);
        if (ec) held = 0;
        if (!takeReplyMemory(held, c.stop)) return dropped();
        fetch(c, reply);
    } else {
        upload(c, reply);
        if (reply.status == UINT32_MAX) return dropped();
    }
    if (reply.status != Status::Success) {
        if (held) giveReplyMemory(held);
        logged(std::to_string(reply.status));
        return refuse(c, reply.status);
    }
    // Logged before the reply's last byte; a reply that fails before then
    // is logged as unsent (one whose last byte alone is lost reads as sent).
    bool loggedSent = false;
    const bool sent = send(c, reply, [&] {
        logged("0");
        loggedSent = true;
    });
    if (held) giveReplyMemory(held);
    if (!loggedSent) logged(sent ? "0" : "0,unsent");
    if (c.code == ServerCode::UploadKeyBase) store_.removeDroppedVersion(c.interfaceName);
}

}  // namespace Talvek
