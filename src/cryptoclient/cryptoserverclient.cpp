#include "cryptoclient/cryptoserverclient.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>

#include "sealing/talvekcodec.h"
#include "cryptoclient/tcpsocket.h"
#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/keybase.h"

namespace Talvek {

namespace {

ExchangeResult failed(uint8_t code, ExchangeFault fault) {
    ExchangeResult r;
    r.code = code;
    r.fault = fault;
    return r;
}

ExchangeResult fileFailed(uint8_t code, ExchangeFault fault, const FileResult& file) {
    ExchangeResult r = failed(code, fault);
    r.fileFailure = file.failure();
    return r;
}

ExchangeResult socketFailure(uint8_t code, ExchangeFault fault, int32_t socketCode) {
    ExchangeResult r = failed(code, fault);
    r.socketCode = socketCode;
    return r;
}

// A list or fetch request: one sealed block without data.
bool sealRequest(const SecureChannel& channel, const EnvelopeStamp& stamp, ServerRequest& request) {
    std::string block;
    if (!sealEnvelope(channel, CodecSide::Administrator, stamp, nullptr, 0, block) ||
        block.size() > kBlockMax)
        return false;
    request.code = stamp.code;
    request.word = kRequestWord;
    request.payload.assign(block.begin(), block.end());
    return true;
}

// Names of 1 to 63 bytes, each with its terminating zero.
bool interfaceListValid(const std::vector<uint8_t>& list) {
    size_t start = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] != 0) continue;
        if (i == start || i - start >= kInterfaceNameSize) return false;
        start = i + 1;
    }
    return start == list.size();
}

// The interface name as the protocol carries it: at most 63 bytes.
std::string interfaceField(const std::string& name) {
    return name.substr(0, std::min(name.size(), kInterfaceNameSize - 1));
}

// The steps of an exchange say whether they went through and, when not,
// leave the Windows Sockets code of the failure in socketCode: the socket's
// own, or MessageTooLong for a length the client refuses itself. The
// thread's current socket error is the socket layer's and is never written
// here.
bool sendAll(TcpSocket& socket, const void* data, size_t length, int32_t& socketCode) {
    if (length > INT_MAX) {
        socketCode = SocketCode::MessageTooLong;
        return false;
    }
    if (socket.send(data, static_cast<int32_t>(length), kSocketSliceMs) != kSocketError)
        return true;
    socketCode = socket.lastError();
    return false;
}

// The time a transfer of this many bytes may add to the exchange.
std::chrono::milliseconds transferAllowance(uint64_t bytes) {
    return std::chrono::milliseconds(bytes * 1000 / kSlowestTransferBytesPerSecond);
}

// receiveAll stopped by the flag returns 0 and stores Interrupted.
bool receiveAll(TcpSocket& socket, void* buffer, int32_t length, int32_t& socketCode) {
    if (socket.receiveAll(buffer, length, nullptr, kSocketSliceMs) == length) return true;
    socketCode = socket.lastError();
    return false;
}

bool receiveWord(TcpSocket& socket, uint32_t& value, int32_t& socketCode) {
    uint8_t bytes[4];
    if (!receiveAll(socket, bytes, 4, socketCode)) return false;
    value = wordFrom(bytes);
    return true;
}

// Large payloads and replies move in pieces of this size: each piece is
// sealed or opened while the kernel moves the next.
constexpr size_t kTransferPiece = 256u << 10;

// A request's payload made while it is sent, when it is not held whole.
struct PayloadSource {
    size_t length = 0;
    // The next piece, at most capacity bytes; 0 before the end is a failure.
    std::function<size_t(char* out, size_t capacity)> next;
};

// A reply's data taken as they arrive, when they are not held whole: told
// the length once, then each piece. Once it returns false the rest of the
// reply is still read, so that the exchange ends as it would have.
struct ReplySink {
    std::function<void(uint32_t length)> begin;
    std::function<bool(const char* piece, size_t length)> take;
};

// Everything after the connect; the caller's socket closes on return.
ExchangeResult talk(TcpSocket& socket, const CryptoServerParams& params,
                    const ServerRequest& request, const PayloadSource* source,
                    const ReplySink* sink, ServerReply& reply) {
    const uint8_t code = request.code;
    int32_t socketCode = SocketCode::NoError;
    const auto sendWord = [&socket, &socketCode](uint32_t value) {
        const auto bytes = wordBytes(value);
        return sendAll(socket, bytes.data(), bytes.size(), socketCode);
    };
    const size_t payloadLength = source ? source->length : request.payload.size();
    bool sent = sendAll(socket, &request.code, 1, socketCode) && sendWord(request.word) &&
                sendAll(socket, request.name, kNameFieldSize, socketCode);
    if (sent && payloadLength > UINT32_MAX) {
        socketCode = SocketCode::MessageTooLong;
        sent = false;
    }
    sent = sent && sendWord(static_cast<uint32_t>(payloadLength));
    if (sent && source) {
        std::vector<char> piece(std::min(payloadLength, kTransferPiece));
        for (size_t done = 0; sent && done < payloadLength;) {
            const size_t n = source->next(piece.data(), piece.size());
            if (n == 0) {
                // The payload came out shorter than it announced.
                socketCode = SocketCode::MessageTooLong;
                sent = false;
            } else {
                sent = sendAll(socket, piece.data(), n, socketCode);
                done += n;
            }
        }
    } else if (sent && payloadLength > 0) {
        sent = sendAll(socket, request.payload.data(), payloadLength, socketCode);
    }
    if (!sent) return socketFailure(code, ExchangeFault::Send, socketCode);

    auto receiveFailed = [code, &socketCode]() {
        return socketFailure(code, ExchangeFault::Receive, socketCode);
    };
    if (!receiveWord(socket, reply.word, socketCode) ||
        !receiveWord(socket, reply.status, socketCode))
        return receiveFailed();
    if (reply.status != 0) {
        ExchangeResult r = failed(code, ExchangeFault::ServerRefused);
        r.status = reply.status;
        return r;
    }
    uint32_t length = 0;
    if (!receiveWord(socket, length, socketCode)) return receiveFailed();
    if (length == 0) return failed(code, ExchangeFault::None);
    // A length past what this kind of reply may hold is refused before
    // anything is allocated.
    if (length > replyCap(params, request.code) || length > INT_MAX)
        return socketFailure(code, ExchangeFault::Receive, SocketCode::MessageTooLong);
    socket.setDeadline(socket.deadline() + transferAllowance(length));
    if (sink) {
        sink->begin(length);
        std::vector<char> piece(std::min<size_t>(length, kTransferPiece));
        bool taking = true;
        for (uint32_t done = 0; done < length;) {
            const auto n = static_cast<int32_t>(std::min<size_t>(piece.size(), length - done));
            if (!receiveAll(socket, piece.data(), n, socketCode)) return receiveFailed();
            taking = taking && sink->take(piece.data(), static_cast<size_t>(n));
            done += static_cast<uint32_t>(n);
        }
        return failed(code, ExchangeFault::None);
    }
    std::vector<uint8_t> data(length);
    if (!receiveAll(socket, data.data(), static_cast<int32_t>(length), socketCode))
        return receiveFailed();
    reply.data = std::move(data);
    return failed(code, ExchangeFault::None);
}

ExchangeResult exchangeWith(const CryptoServerParams& params, const ServerRequest& request,
                            const PayloadSource* source, const ReplySink* sink,
                            ServerReply& reply) {
    TcpSocket socket;
    socket.setIdleLimit(params.idleLimitMs);
    // receiveAll takes the socket's own flag when given none.
    socket.setStopFlag(params.stop);
    const size_t payloadLength = source ? source->length : request.payload.size();
    socket.setDeadline(TcpSocket::Clock::now() +
                       std::chrono::milliseconds(std::max(params.exchangeTimeMs, 0)) +
                       transferAllowance(payloadLength));
    // A failed create shows as a failed connect.
    socket.create();
    // A host that does not resolve leaves its code only in the thread's
    // current error, which every failed connect sets: read it before
    // anything else can.
    if (socket.connect(params.address, static_cast<uint16_t>(params.port & 0xFFFF)) != 0)
        return socketFailure(request.code, ExchangeFault::Connect, currentSocketError());
    return talk(socket, params, request, source, sink, reply);
}

}  // namespace

void ServerRequest::setName(const std::string& keyName) {
    std::memset(name, 0, sizeof name);
    std::memcpy(name, keyName.data(), std::min(keyName.size(), kNameFieldSize - 1));
}

uint32_t replyCap(const CryptoServerParams& params, uint8_t code) {
    switch (code) {
        case ServerCode::ListInterfaces:
            return params.listReplyMax;
        case ServerCode::FetchKeyBase:
            return params.fetchReplyMax;
        default:
            return std::min({params.uploadReplyMax, params.listReplyMax, params.fetchReplyMax});
    }
}

ExchangeResult exchange(const CryptoServerParams& params, const ServerRequest& request,
                        ServerReply& reply) {
    return exchangeWith(params, request, nullptr, nullptr, reply);
}

ExchangeResult listInterfaces(CryptoServerParams& params) {
    params.interfaceList.clear();
    const uint8_t code = ServerCode::ListInterfaces;
    KeyBase keys;
    const SecureChannel* channel =
        codecChannel(keys, params.adminKeyBase, params.adminKeyName, params.serverKeyName);
    const auto stamp = EnvelopeStamp::fresh(code, {});
    ServerRequest request;
    if (!channel || !stamp || !sealRequest(*channel, *stamp, request))
        return failed(code, ExchangeFault::RequestNotSealed);
    request.setName(params.adminKeyName);
    ServerReply reply;
    ExchangeResult result = exchange(params, request, reply);
    if (!result) return result;

    // Only the answer to this very request, holding names the protocol
    // allows.
    std::vector<uint8_t> names;
    EnvelopeStamp answered;
    if (!openEnvelope(*channel, CodecSide::Administrator,
                      reinterpret_cast<const char*>(reply.data.data()), reply.data.size(), names,
                      &answered) ||
        !answered.sameRequest(*stamp) || !interfaceListValid(names))
        return failed(code, ExchangeFault::ListUndecodable);
    params.interfaceList = std::move(names);
    return result;
}

ExchangeResult fetchKeyBase(const CryptoServerParams& params) {
    const uint8_t code = ServerCode::FetchKeyBase;
    KeyBase keys;
    const SecureChannel* channel =
        codecChannel(keys, params.adminKeyBase, params.adminKeyName, params.serverKeyName);
    const auto stamp = EnvelopeStamp::fresh(code, interfaceField(params.interfaceName));
    ServerRequest request;
    if (!channel || !stamp || !sealRequest(*channel, *stamp, request))
        return failed(code, ExchangeFault::RequestNotSealed);
    request.setName(params.adminKeyName);

    // The reply is opened as it arrives and written to the new file, which
    // replaces the local file only once all of it proved genuine and the
    // answer to this request. A file that cannot be written shows after that.
    // The file before the opener that may still be writing to it when the
    // exchange fails.
    FileWriter file;
    FileResult created = FileResult::failed();
    bool opening = false, storing = false;
    uint32_t length = 0;
    EnvelopeOpener opener;
    const auto store = [&](const uint8_t* data, size_t n) {
        storing = storing && file.write({data, n});
        return true;
    };
    const ReplySink sink{
        [&](uint32_t announced) {
            length = announced;
            opening = opener.start(*channel, CodecSide::Administrator, length, store);
            if (opening)
                created = file.createDeferred(params.localFile, FileWriter::Permissions::OwnerOnly);
            storing = opening && created.ok();
        },
        [&](const char* piece, size_t n) { return opening = opening && opener.feed(piece, n); }};
    // Whatever ends the fetch before the new file is in place throws it
    // away with the object.
    ServerReply reply;
    ExchangeResult result = exchangeWith(params, request, nullptr, &sink, reply);
    if (!result) return result;

    if (length == 0) return failed(code, ExchangeFault::FetchEmpty);
    EnvelopeStamp answered;
    if (!opening || !opener.finish(&answered) || !answered.sameRequest(*stamp))
        return failed(code, ExchangeFault::FetchUndecodable);
    // An exchange abandoned while the reply was being decoded leaves the
    // local file as it was.
    if (params.stop && params.stop->load() != 0)
        return socketFailure(code, ExchangeFault::Receive, SocketCode::Interrupted);
    // A failed write leaves the old file and says why: a write that failed
    // on the way fails the close with its cause.
    if (!created) return fileFailed(code, ExchangeFault::FetchNotWritten, created);
    if (const FileResult closed = file.close(); !closed)
        return fileFailed(code, ExchangeFault::FetchNotWritten, closed);
    return result;
}

ExchangeResult uploadKeyBase(const CryptoServerParams& params) {
    const uint8_t code = ServerCode::UploadKeyBase;
    SecretBytes content;
    {
        FileReader file;
        if (const FileResult opened = file.openExisting(params.localFile); !opened)
            return fileFailed(code, ExchangeFault::UploadNotOpened, opened);
        content = file.takeContent();
    }

    // The head, sealed whole: the base's length under the request's stamp.
    // The body, sealed while it is sent under the same stamp: the digest and
    // signature first (the file's copy in memory is encrypted in the same
    // pass), then the text slice by slice.
    KeyBase keys;
    const SecureChannel* channel =
        codecChannel(keys, params.adminKeyBase, params.adminKeyName, params.serverKeyName);
    const auto stamp = EnvelopeStamp::fresh(code, interfaceField(params.interfaceName));
    uint8_t length[kHeadDataSize];
    for (size_t i = 0; i < kHeadDataSize; ++i)
        length[i] = static_cast<uint8_t>(uint64_t{content.size()} >> (56 - 8 * i));
    std::string head;
    EnvelopeSealer sealer;
    if (!channel || !stamp ||
        !sealEnvelope(*channel, CodecSide::Administrator, *stamp, length, sizeof length, head) ||
        head.size() > kBlockMax ||
        !sealer.startInPlace(*channel, CodecSide::Administrator, *stamp, {content}))
        return failed(code, ExchangeFault::UploadNotSealed);
    std::string prefix;
    const auto headLength = wordBytes(static_cast<uint32_t>(head.size()));
    prefix.assign(headLength.begin(), headLength.end());
    prefix += head;
    size_t prefixAt = 0;
    const PayloadSource source{
        prefix.size() + sealer.textLength(), [&](char* out, size_t capacity) -> size_t {
            if (prefixAt < prefix.size()) {
                const size_t n = std::min(capacity, prefix.size() - prefixAt);
                std::memcpy(out, prefix.data() + prefixAt, n);
                prefixAt += n;
                return n;
            }
            return sealer.next(out, capacity);
        }};
    ServerRequest request;
    request.code = code;
    request.word = kRequestWord;
    request.setName(params.adminKeyName);
    ServerReply reply;
    ExchangeResult result = exchangeWith(params, request, &source, nullptr, reply);
    if (!result) return result;

    // The acknowledgement counts only sealed for this very upload.
    std::vector<uint8_t> stored;
    EnvelopeStamp answered;
    if (!openEnvelope(*channel, CodecSide::Administrator,
                      reinterpret_cast<const char*>(reply.data.data()), reply.data.size(), stored,
                      &answered) ||
        !answered.sameRequest(*stamp))
        return failed(code, ExchangeFault::UploadReplyUndecodable);
    result.storedName = std::move(stored);
    return result;
}

}  // namespace Talvek
