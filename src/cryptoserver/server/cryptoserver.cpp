#include "cryptoserver/server/cryptoserver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cryptoserver/cryptoserverclient.h"
#include "cryptoserver/talvekcodec.h"
#include "keystore/binaryfile.h"
#include "keystore/cp1251.h"
#include "keystore/fileexists.h"
#include "keystore/keybase.h"

namespace Talvek {

namespace {

constexpr const char* kBaseSuffix = ".key_base";

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

ServerAnswer refuse(uint32_t status) {
    return ServerAnswer{status, {}};
}

}  // namespace

bool ReplayGuard::admit(const EnvelopeStamp& stamp, std::optional<int64_t> now) {
    const int64_t clock = now ? *now
                              : std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    std::lock_guard lock(mutex_);
    for (auto it = seen_.begin(); it != seen_.end();) {
        it = it->second <= clock ? seen_.erase(it) : std::next(it);
    }
    if (seen_.count(stamp.nonce)) return false;
    // Kept for the replay window, and at least until the block's own time
    // makes it stale anyway.
    seen_[stamp.nonce] = std::max(clock + Envelope::ReplayWindowSeconds,
                                  stamp.time + Envelope::MaxClockSkewSeconds + 1);
    return true;
}

CryptoServer::CryptoServer(CryptoServerConfig config) : config_(std::move(config)) {}

CryptoServer::~CryptoServer() {
    stop();
}

bool CryptoServer::listenOn(const std::string& host, uint16_t port) {
    if (listener_.create() != 0 || listener_.bind(host, port) != 0 || listener_.listen(8) != 0)
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

void CryptoServer::serve(const std::atomic<int32_t>& stopFlag) {
    while (stopFlag.load() == 0) {
        if (listener_.waitReadable(kSocketSliceMs) != 1) continue;
        std::unique_ptr<TcpSocket> client = listener_.accept();
        if (client) handle(*client, stopFlag);
    }
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

bool CryptoServer::readRequest(TcpSocket& client, const std::atomic<int32_t>& stopFlag,
                               uint8_t& code, std::string& adminName, std::vector<uint8_t>& payload,
                               std::vector<uint8_t>& raw) {
    uint8_t head[1 + 4 + kNameFieldSize + 4];
    if (client.receiveAll(head, sizeof head, &stopFlag, kSocketSliceMs) != sizeof head)
        return false;
    code = head[0];
    adminName = zeroTerminated(head + 5, kNameFieldSize);
    const uint32_t length = wordFrom(head + 5 + kNameFieldSize);
    if (length > config_.maxPayload) return false;
    payload.assign(length, 0);
    if (length > 0 && client.receiveAll(payload.data(), static_cast<int32_t>(length), &stopFlag,
                                        kSocketSliceMs) != static_cast<int>(length))
        return false;
    raw.assign(head, head + sizeof head);
    raw.insert(raw.end(), payload.begin(), payload.end());
    return true;
}

void CryptoServer::handle(TcpSocket& client, const std::atomic<int32_t>& stopFlag) {
    client.setIdleLimit(config_.idleLimitMs);
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

    uint8_t code = 0;
    std::string adminName;
    std::vector<uint8_t> payload, raw;
    if (!readRequest(client, stopFlag, code, adminName, payload, raw)) return;
    {
        std::lock_guard lock(mutex_);
        lastRequest_ = raw;
        ++requestCount_;
    }

    if (mode == Misbehaviour::Drip) {
        for (uint8_t byte : rawReply) {
            if (stopFlag.load() != 0 || client.send(&byte, 1, kSocketSliceMs) < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(dripMs));
        }
        return;
    }
    std::vector<uint8_t> reply;
    if (mode == Misbehaviour::None) {
        const ServerAnswer a = answer(code, adminName, payload);
        putWord(reply, code);
        putWord(reply, a.status);
        if (a.status == 0) {
            putWord(reply, static_cast<uint32_t>(a.data.size()));
            reply.insert(reply.end(), a.data.begin(), a.data.end());
        }
    } else {
        reply = rawReply;
    }
    if (!reply.empty() &&
        client.send(reply.data(), static_cast<int32_t>(reply.size()), kSocketSliceMs) < 0)
        return;
    if (mode == Misbehaviour::RawThenStall) {
        // Holds the line open, silent, until the client gives up or the
        // server stops.
        uint8_t sink[256];
        while (stopFlag.load() == 0 && client.receive(sink, sizeof sink, kSocketSliceMs) >= 0) {
        }
    }
}

bool CryptoServer::adminAllowed(const std::string& adminName) const {
    if (adminName.empty()) return false;
    if (!config_.adminName.empty() && adminName != config_.adminName) return false;
    KeyBase base;
    return base.loadBase(config_.serverBase) &&
           base.findChannel(config_.serverName, adminName) != nullptr;
}

bool CryptoServer::seal(const std::string& adminName, const std::vector<uint8_t>& plain,
                        std::vector<uint8_t>& sealed) const {
    SingleOutput out;
    if (!codecEncode(config_.serverBase, config_.serverName, adminName, CodecSide::CryptoServer,
                     plain, out))
        return false;
    sealed = out.bytes();
    return true;
}

std::string CryptoServer::interfacePath(const std::string& name) const {
    // Names travel in Windows-1251; the folder's file names are UTF-8. A
    // name must stay inside the folder.
    const std::string local = cp1251ToUtf8(name);
    if (local.empty() || local.front() == '.' || local.find('/') != std::string::npos ||
        local.find('\\') != std::string::npos)
        return {};
    return config_.folder + "/" + local + kBaseSuffix;
}

ServerAnswer CryptoServer::answer(uint8_t code, const std::string& adminName,
                                  const std::vector<uint8_t>& payload) const {
    if (!adminAllowed(adminName)) return refuse(Status::NoRights);

    if (code == ServerCode::ListInterfaces) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(config_.folder, ec)) {
            const std::string file = entry.path().filename().string();
            const size_t suffix = std::strlen(kBaseSuffix);
            if (!entry.is_regular_file(ec) || file.size() <= suffix ||
                file.compare(file.size() - suffix, suffix, kBaseSuffix) != 0)
                continue;
            std::string name;
            if (utf8ToCp1251(file.substr(0, file.size() - suffix), name) &&
                name.size() < kInterfaceNameSize)
                names.push_back(name);
        }
        // An empty list cannot be sealed, and there is nothing to administer.
        if (names.empty()) return refuse(Status::NoInterface);
        std::sort(names.begin(), names.end());
        ServerAnswer a;
        if (!seal(adminName, joinInterfaceList(names), a.data)) return refuse(Status::EncodeFailed);
        return a;
    }

    if (code == ServerCode::FetchKeyBase) {
        const std::string path = interfacePath(zeroTerminated(payload.data(), payload.size()));
        if (path.empty() || !fileExists(path)) return refuse(Status::NoInterface);
        BinaryFile file;
        if (!file.openExisting(path)) return refuse(Status::OpenFailed);
        const uint64_t size = file.remaining();
        const uint8_t* bytes = file.take(size);
        std::vector<uint8_t> plain(bytes, bytes + size);
        file.close();
        ServerAnswer a;
        if (!seal(adminName, plain, a.data)) return refuse(Status::EncodeFailed);
        return a;
    }

    if (code == ServerCode::UploadKeyBase) {
        SingleOutput opened;
        EnvelopeStamp stamp;
        if (!codecDecode(config_.serverBase, config_.serverName, adminName, CodecSide::CryptoServer,
                         payload, opened, &stamp) ||
            opened.length < kUploadHeaderSize || !replays_.admit(stamp))
            return refuse(Status::DecodeFailed);
        const std::string name = zeroTerminated(opened.data, kUploadHeaderSize);
        const std::string path = interfacePath(name);
        if (path.empty() || !fileExists(path)) return refuse(Status::NoInterface);
        BinaryFile file;
        if (!file.create(path, BinaryFile::Permissions::OwnerOnly) ||
            !file.write(opened.data + kUploadHeaderSize, opened.length - kUploadHeaderSize) ||
            !file.close()) {
            file.discard();
            return refuse(Status::RewriteFailed);
        }
        ServerAnswer a;
        const std::string stored = name + kBaseSuffix;
        a.data.assign(stored.begin(), stored.end());
        return a;
    }
    // An unknown request: a status the client shows by its number.
    return refuse(Status::UnknownRequest);
}

}  // namespace Talvek
