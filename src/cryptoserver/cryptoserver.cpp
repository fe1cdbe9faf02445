#include "cryptoserver/cryptoserver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "fileio/binaryfile.h"
#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "keystore/secureexception.h"

namespace Talvek {

namespace {

constexpr const char* kBaseSuffix = ".key_base";
constexpr const char* kHistoryFolder = ".history";
// The payload is taken, and a sealed reply sent, in pieces of at most this
// size: each piece is opened or sealed while the kernel moves the next.
constexpr uint32_t kPayloadPiece = 256u << 10;

namespace Status = ServerStatus;

int64_t wallClock() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void putWord(std::vector<uint8_t>& out, uint32_t value) {
    const auto bytes = wordBytes(value);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Text up to the first zero byte, at most length bytes.
std::string zeroTerminated(const uint8_t* p, size_t length) {
    const uint8_t* end = std::find(p, p + length, uint8_t{0});
    return std::string(p, end);
}

ServerAnswer refuse(uint32_t status, std::string interfaceName = {}) {
    return ServerAnswer{status, {}, std::move(interfaceName)};
}

const char* requestName(uint8_t code) {
    switch (code) {
        case ServerCode::ListInterfaces:
            return "list";
        case ServerCode::FetchKeyBase:
            return "fetch";
        case ServerCode::UploadKeyBase:
            return "upload";
        default:
            return nullptr;
    }
}

// A name from the wire as it may appear in a log line: UTF-8, no blanks or
// control characters that could forge another line or field.
std::string logText(const std::string& name) {
    if (name.empty()) return "-";
    std::string out;
    for (char c : cp1251ToUtf8(name)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte <= 0x20 || byte == 0x7F ? '?' : c;
    }
    return out;
}

// The server base's file identity and time stamp: a change means a reload.
std::string fileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

std::chrono::milliseconds transferAllowance(uint64_t bytes) {
    return std::chrono::milliseconds(bytes * 1000 / kSlowestTransferBytesPerSecond);
}

}  // namespace

bool ReplayGuard::admit(const EnvelopeStamp& stamp, std::optional<int64_t> now) {
    const int64_t clock = now ? *now : wallClock();
    std::lock_guard lock(mutex_);
    while (!expiry_.empty() && expiry_.begin()->first <= clock) {
        seen_.erase(expiry_.begin()->second);
        expiry_.erase(expiry_.begin());
    }
    if (seen_.count(stamp.nonce)) return false;
    // Kept for the replay window, and at least until the block's own time
    // makes it stale anyway.
    const int64_t forgetAt = std::max(clock + Envelope::ReplayWindowSeconds,
                                      stamp.time + Envelope::MaxClockSkewSeconds + 1);
    seen_[stamp.nonce] = forgetAt;
    expiry_.emplace(forgetAt, stamp.nonce);
    return true;
}

std::string historyFileName(const std::string& baseFile, int version) {
    return baseFile + "." + std::to_string(version);
}

struct CryptoServer::Worker {
    std::thread thread;
    std::atomic<bool> done{false};
};

// A reply being made: the answer, with its data whole, or a fetched base
// that is sealed as it is sent.
struct CryptoServer::Outgoing {
    ServerAnswer answer;
    SecretBytes content;
    EnvelopeSealer sealer;
    bool streamed = false;
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

CryptoServer::CryptoServer(CryptoServerConfig config) : config_(std::move(config)) {}

CryptoServer::~CryptoServer() {
    stop();
}

bool CryptoServer::listenOn(const std::string& host, uint16_t port) {
    if (listener_.create() != 0 || listener_.bind(host, port) != 0 || listener_.listen(128) != 0)
        return false;
    port_ = listener_.localPort();
    return true;
}

bool CryptoServer::start(const std::string& host, uint16_t port) {
    if (thread_.joinable() || !listenOn(host, port)) return false;
    stopFlag_ = 0;
    thread_ = std::thread([this] { serve(stopFlag_); });
    return true;
}

void CryptoServer::stop() {
    stopFlag_ = 1;
    if (thread_.joinable()) thread_.join();
    if (listener_.isOpen()) listener_.close();
}

void CryptoServer::reapWorkers(bool all) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || (*it)->done.load()) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void CryptoServer::serve(const std::atomic<int32_t>& stopFlag) {
    while (stopFlag.load() == 0) {
        reapWorkers(false);
        if (listener_.waitReadable(kSocketSliceMs) != 1) continue;
        std::unique_ptr<TcpSocket> client = listener_.accept();
        if (!client) continue;
        if (active_.load() >= config_.maxConnections) {
            // Closed at once: a client waiting in vain would only hold on.
            std::string peer;
            client->peerAddress(peer);
            logRequest(peer, {}, 0, {}, "busy");
            continue;
        }
        ++active_;
        auto worker = std::make_unique<Worker>();
        Worker* self = worker.get();
        worker->thread = std::thread([this, self, &stopFlag, socket = std::move(client)]() {
            handle(*socket, stopFlag);
            socket->close();
            --active_;
            self->done = true;
        });
        workers_.push_back(std::move(worker));
    }
    reapWorkers(true);
}

void CryptoServer::misbehave(Misbehaviour mode, std::vector<uint8_t> raw, int32_t dripMs) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    raw_ = std::move(raw);
    dripMs_ = dripMs;
}

std::vector<uint8_t> CryptoServer::lastRequest() const {
    std::lock_guard lock(mutex_);
    return lastRequest_;
}

int CryptoServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requestCount_;
}

void CryptoServer::logRequest(const std::string& peer, const std::string& adminName, uint8_t code,
                              const std::string& interfaceName, const std::string& status) const {
    if (!config_.log) return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const char* request = requestName(code);
    std::lock_guard lock(logMutex_);
    *config_.log << stamp << " peer=" << (peer.empty() ? "-" : peer)
                 << " admin=" << logText(adminName) << " request="
                 << (request ? request
                     : code  ? std::to_string(code)
                             : std::string("-"))
                 << " interface=" << logText(interfaceName) << " status=" << status << std::endl;
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
                                 const std::string& adminName, uint32_t length,
                                 ServerAnswer& answer, std::vector<uint8_t>* record) {
    const auto keys = serverKeys();
    const SecureChannel* channel = keys ? adminChannel(*keys, adminName) : nullptr;
    Incoming in;
    if (channel) startUpload(in, *channel, length);
    // A claimed length costs one piece until the bytes are there.
    std::vector<char> piece(std::min(length, kPayloadPiece));
    for (uint32_t done = 0; done < length;) {
        const auto n = static_cast<int32_t>(std::min<size_t>(piece.size(), length - done));
        if (client.receiveAll(piece.data(), n, &stopFlag, kSocketSliceMs) != n) return false;
        in.opening = in.opening && in.opener.feed(piece.data(), static_cast<size_t>(n));
        if (record) record->insert(record->end(), piece.data(), piece.data() + n);
        done += static_cast<uint32_t>(n);
    }
    answer = channel ? takeUpload(in) : refuse(Status::NoRights);
    return true;
}

void CryptoServer::startUpload(Incoming& in, const SecureChannel& channel, size_t length) const {
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
            in.path = interfacePath(in.name);
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

bool CryptoServer::sendReply(TcpSocket& client, uint8_t code, Outgoing& out) const {
    const ServerAnswer& a = out.answer;
    std::vector<uint8_t> head;
    putWord(head, code);
    putWord(head, a.status);
    if (a.status == Status::Success) {
        const size_t length = out.streamed ? out.sealer.textLength() : a.data.size();
        if (length > UINT32_MAX) return false;
        putWord(head, static_cast<uint32_t>(length));
        if (!out.streamed) head.insert(head.end(), a.data.begin(), a.data.end());
    }
    if (client.send(head.data(), static_cast<int32_t>(head.size()), kSocketSliceMs) < 0)
        return false;
    if (!out.streamed) return true;
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
    Misbehaviour mode;
    std::vector<uint8_t> rawReply;
    int32_t dripMs;
    {
        std::lock_guard lock(mutex_);
        mode = mode_;
        rawReply = raw_;
        dripMs = dripMs_;
    }
    if (mode == Misbehaviour::CloseAtOnce) return;

    uint8_t head[kRequestHeadSize];
    if (client.receiveAll(head, sizeof head, &stopFlag, kSocketSliceMs) != sizeof head) {
        logRequest(peer, {}, 0, {}, "dropped");
        return;
    }
    const uint8_t code = head[0];
    const std::string adminName = zeroTerminated(head + 5, kNameFieldSize);
    const uint32_t length = wordFrom(head + 5 + kNameFieldSize);

    ServerAnswer a;
    std::vector<uint8_t> payload;
    a.status = mode == Misbehaviour::None ? precheck(code, adminName, length) : Status::Success;
    const bool upload = mode == Misbehaviour::None && code == ServerCode::UploadKeyBase;
    if (a.status == Status::Success) {
        client.setDeadline(client.deadline() + transferAllowance(length));
        std::vector<uint8_t> recorded;
        std::vector<uint8_t>* record = config_.keepLastRequest ? &recorded : nullptr;
        const bool read = upload ? receiveUpload(client, stopFlag, adminName, length, a, record)
                                 : readPayload(client, stopFlag, length, payload);
        if (!read) {
            logRequest(peer, adminName, code, {}, "dropped");
            return;
        }
        std::lock_guard lock(mutex_);
        if (config_.keepLastRequest) {
            lastRequest_.assign(head, head + sizeof head);
            const auto& body = upload ? recorded : payload;
            lastRequest_.insert(lastRequest_.end(), body.begin(), body.end());
        }
        ++requestCount_;
    }

    bool sent = false;
    if (mode == Misbehaviour::None) {
        Outgoing out;
        if (a.status == Status::Success && !upload) {
            prepare(code, adminName, payload, out);
        } else {
            out.answer = std::move(a);
        }
        std::vector<uint8_t>().swap(payload);
        sent = sendReply(client, code, out);
        logRequest(peer, adminName, code, out.answer.interfaceName,
                   std::to_string(out.answer.status) + (sent ? "" : ",unsent"));
        if (upload && out.answer.status == Status::Success)
            removeDroppedVersion(out.answer.interfaceName);
    } else if (mode == Misbehaviour::Drip) {
        for (uint8_t byte : rawReply) {
            if (stopFlag.load() != 0 || client.send(&byte, 1, kSocketSliceMs) < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(dripMs));
        }
        return;
    } else {
        sent =
            rawReply.empty() || client.send(rawReply.data(), static_cast<int32_t>(rawReply.size()),
                                            kSocketSliceMs) >= 0;
    }
    if (sent && mode == Misbehaviour::RawThenStall) {
        // Holds the line open, silent, until the client gives up or the
        // server stops.
        client.clearDeadline();
        uint8_t sink[256];
        while (stopFlag.load() == 0 && client.receive(sink, sizeof sink, kSocketSliceMs) >= 0) {
        }
    }
}

std::shared_ptr<const KeyBase> CryptoServer::serverKeys() const {
    // Read again whenever the file changed, so that a channel added for a
    // new administrator counts without a restart.
    const std::string stamp = fileStamp(config_.serverBase);
    std::lock_guard lock(keysMutex_);
    if (keys_ && stamp == keysStamp_) return keys_;
    auto base = std::make_shared<KeyBase>();
    try {
        if (!base->loadBase(config_.serverBase)) return keys_;
        // The OpenSSL objects are built now, once, so that the requests
        // served at the same time only read them.
        for (const auto& [local, node] : base->nodes) {
            for (const auto& [remote, channel] : node->channels) {
                for (const auto* key :
                     {channel->signPrivateKey.get(), channel->cryptPrivateKey.get()})
                    if (key) key->privateKey();
                for (const auto* key :
                     {channel->signPublicKey.get(), channel->cryptPublicKey.get()})
                    if (key) key->publicKey();
            }
        }
    } catch (const SecureException&) {
        return keys_;
    }
    keys_ = std::move(base);
    keysStamp_ = stamp;
    return keys_;
}

const SecureChannel* CryptoServer::adminChannel(const KeyBase& keys,
                                                const std::string& adminName) const {
    if (adminName.empty()) return nullptr;
    if (!config_.adminName.empty() && adminName != config_.adminName) return nullptr;
    const SecureChannel* channel = keys.findChannel(config_.serverName, adminName);
    return channel && codecAccepts(*channel) ? channel : nullptr;
}

uint32_t CryptoServer::precheck(uint8_t code, const std::string& adminName,
                                uint32_t payloadLength) const {
    const auto keys = serverKeys();
    if (!keys || !adminChannel(*keys, adminName)) return Status::NoRights;
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

std::string CryptoServer::interfacePath(const std::string& name) const {
    // Names travel in Windows-1251; the folder's file names are UTF-8. A name
    // is one plain file name inside the folder: no separators, no leading
    // dot (no "..", no history), no control characters.
    if (name.empty() || name.size() >= kInterfaceNameSize || name.front() == '.') return {};
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return {};
    }
    const std::string path = config_.folder + "/" + cp1251ToUtf8(name) + kBaseSuffix;
    // Only a regular file of the folder itself, never a link leading out.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return path;
}

void CryptoServer::keepHistory(const std::string& path) const {
    if (config_.historyDepth <= 0) return;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = fs::path(config_.folder) / kHistoryFolder;
    fs::create_directory(folder, ec);
    fs::permissions(folder, fs::perms::owner_all, ec);
    const std::string file = fs::path(path).filename().string();
    // The oldest version is only set aside here: freeing a large file takes
    // longer than the whole commit, so it is removed once the client has its
    // answer (removeDroppedVersion).
    fs::rename(folder / historyFileName(file, config_.historyDepth), droppedVersion(path), ec);
    for (int version = config_.historyDepth - 1; version >= 1; --version) {
        fs::rename(folder / historyFileName(file, version),
                   folder / historyFileName(file, version + 1), ec);
    }
    // A second name for the current file: it survives the rename over it.
    const fs::path latest = folder / historyFileName(file, 1);
    if (::link(path.c_str(), latest.c_str()) != 0) fs::copy_file(path, latest, ec);
}

std::string CryptoServer::droppedVersion(const std::string& path) const {
    namespace fs = std::filesystem;
    return (fs::path(config_.folder) / kHistoryFolder / fs::path(path).filename()).string() +
           ".dropped";
}

void CryptoServer::removeDroppedVersion(const std::string& interfaceName) const {
    const std::string path = interfacePath(interfaceName);
    if (!path.empty()) ::unlink(droppedVersion(path).c_str());
}

bool CryptoServer::commitUpload(BinaryFile& file, const std::string& path) const {
    // Synced before the lock: another interface's commit need not wait.
    if (!file.finish()) return false;
    std::lock_guard lock(commitMutex_);
    if (!file.holdTarget()) return false;
    keepHistory(path);
    return file.close();
}

void CryptoServer::prepare(uint8_t code, const std::string& adminName,
                           const std::vector<uint8_t>& payload, Outgoing& out) const {
    const auto keys = serverKeys();
    const SecureChannel* channel = keys ? adminChannel(*keys, adminName) : nullptr;
    if (!channel) {
        out.answer = refuse(Status::NoRights);
        return;
    }

    if (code == ServerCode::ListInterfaces) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(config_.folder, ec)) {
            const std::string file = entry.path().filename().string();
            const size_t suffix = std::strlen(kBaseSuffix);
            if (!entry.is_regular_file(ec) || entry.is_symlink(ec) || file.size() <= suffix ||
                file.compare(file.size() - suffix, suffix, kBaseSuffix) != 0)
                continue;
            std::string name;
            if (utf8ToCp1251(file.substr(0, file.size() - suffix), name) &&
                !interfacePath(name).empty())
                names.push_back(name);
        }
        // There is nothing to administer.
        if (names.empty()) {
            out.answer = refuse(Status::NoInterface);
            return;
        }
        std::sort(names.begin(), names.end());
        const auto list = joinInterfaceList(names);
        std::string sealed;
        if (!sealEnvelope(*channel, CodecSide::CryptoServer, list.data(), list.size(), sealed)) {
            out.answer = refuse(Status::EncodeFailed);
            return;
        }
        out.answer = ServerAnswer{Status::Success, {sealed.begin(), sealed.end()}, {}};
        return;
    }

    if (code == ServerCode::FetchKeyBase) {
        const std::string name = zeroTerminated(payload.data(), payload.size());
        const std::string path = interfacePath(name);
        out.answer = refuse(Status::NoInterface, name);
        if (path.empty()) return;
        BinaryFile file;
        out.answer.status = Status::OpenFailed;
        if (!file.open(path, BinaryFile::Read, BinaryFile::Disposition::OpenExisting,
                       BinaryFile::Share::Read))
            return;
        // Taken out of the file, so that an upload need not wait for a slow
        // client to read the base; encrypted where it is while it is digested.
        out.content = file.takeContent();
        out.answer.status = Status::EncodeFailed;
        if (!out.sealer.startInPlace(*channel, CodecSide::CryptoServer, {out.content})) return;
        out.answer.status = Status::Success;
        out.streamed = true;
        return;
    }
    out.answer = refuse(Status::BadRequest);
}

ServerAnswer CryptoServer::takeUpload(Incoming& in) const {
    EnvelopeStamp stamp;
    if (!in.opening || !in.opener.finish(&stamp) || in.fieldAt < kUploadHeaderSize ||
        !replays_.admit(stamp))
        return refuse(Status::DecodeFailed);
    if (in.path.empty()) return refuse(Status::NoInterface, in.name);
    if (!in.storing || !commitUpload(in.file, in.path))
        return refuse(Status::RewriteFailed, in.name);
    ServerAnswer a;
    a.interfaceName = in.name;
    const std::string storedName = in.name + kBaseSuffix;
    a.data.assign(storedName.begin(), storedName.end());
    return a;
}

ServerAnswer CryptoServer::answer(uint8_t code, const std::string& adminName,
                                  const std::vector<uint8_t>& payload) const {
    if (code == ServerCode::UploadKeyBase) {
        const auto keys = serverKeys();
        const SecureChannel* channel = keys ? adminChannel(*keys, adminName) : nullptr;
        if (!channel) return refuse(Status::NoRights);
        Incoming in;
        startUpload(in, *channel, payload.size());
        in.opening = in.opening &&
                     in.opener.feed(reinterpret_cast<const char*>(payload.data()), payload.size());
        ServerAnswer a = takeUpload(in);
        if (a.status == Status::Success) removeDroppedVersion(a.interfaceName);
        return a;
    }
    Outgoing out;
    prepare(code, adminName, payload, out);
    if (out.streamed) {
        out.answer.data.resize(out.sealer.textLength());
        if (!out.sealer.writeText(reinterpret_cast<char*>(out.answer.data.data())))
            return refuse(Status::EncodeFailed, out.answer.interfaceName);
    }
    return out.answer;
}

}  // namespace Talvek
