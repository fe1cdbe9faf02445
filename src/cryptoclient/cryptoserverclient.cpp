#include "cryptoclient/cryptoserverclient.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>

#include "sealing/talvekcodec.h"
#include "cryptoclient/tcpsocket.h"
#include "fileio/binaryfile.h"
#include "keystore/cp1251.h"
#include "keystore/keybase.h"

namespace Talvek {

namespace {

void setMessage(std::string* message, const std::string& text) {
    if (message) *message = text;
}

bool decode(const CryptoServerParams& params, const std::vector<uint8_t>& input,
            SingleOutput& out) {
    return singleDecode(params.adminKeyBase, params.adminKeyName, params.serverKeyName, input, out);
}

// The interface name as the protocol carries it: at most 63 bytes.
std::string interfaceField(const std::string& name) {
    return name.substr(0, std::min(name.size(), kInterfaceNameSize - 1));
}

bool sendAll(TcpSocket& socket, const void* data, size_t length) {
    if (length > INT_MAX) {
        setCurrentSocketError(SocketCode::MessageTooLong);
        return false;
    }
    return socket.send(data, static_cast<int32_t>(length), kSocketSliceMs) != kSocketError;
}

// The time a transfer of this many bytes may add to the exchange.
std::chrono::milliseconds transferAllowance(uint64_t bytes) {
    return std::chrono::milliseconds(bytes * 1000 / kSlowestTransferBytesPerSecond);
}

bool receiveWord(TcpSocket& socket, uint32_t& value) {
    uint8_t bytes[4];
    if (socket.receiveAll(bytes, 4, nullptr, kSocketSliceMs) != 4) return false;
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
bool talk(TcpSocket& socket, const CryptoServerParams& params, const ServerRequest& request,
          const PayloadSource* source, const ReplySink* sink, ServerReply& reply,
          std::string* message) {
    const auto sendWord = [&socket](uint32_t value) {
        const auto bytes = wordBytes(value);
        return sendAll(socket, bytes.data(), bytes.size());
    };
    const size_t payloadLength = source ? source->length : request.payload.size();
    bool sent = sendAll(socket, &request.code, 1) && sendWord(request.word) &&
                sendAll(socket, request.name, kNameFieldSize);
    if (sent && payloadLength > UINT32_MAX) {
        setCurrentSocketError(SocketCode::MessageTooLong);
        sent = false;
    }
    sent = sent && sendWord(static_cast<uint32_t>(payloadLength));
    if (sent && source) {
        std::vector<char> piece(std::min(payloadLength, kTransferPiece));
        for (size_t done = 0; sent && done < payloadLength;) {
            const size_t n = source->next(piece.data(), piece.size());
            if (n == 0) {
                setCurrentSocketError(SocketCode::MessageTooLong);
                sent = false;
            } else {
                sent = sendAll(socket, piece.data(), n);
                done += n;
            }
        }
    } else if (sent && payloadLength > 0) {
        sent = sendAll(socket, request.payload.data(), payloadLength);
    }
    if (!sent) {
        setMessage(message, std::string("Ошибка отправки запроса: ") +
                                socketErrorText(currentSocketError()) + " !");
        return false;
    }

    auto receiveFailed = [message]() {
        setMessage(message, std::string("Ошибка получения ответа: ") +
                                socketErrorText(currentSocketError()) + " !");
        return false;
    };
    if (!receiveWord(socket, reply.word) || !receiveWord(socket, reply.status))
        return receiveFailed();
    if (reply.status != 0) {
        setMessage(message, "Сервер сообщил об ошибке:\n" + serverErrorText(reply.status) + "!");
        return false;
    }
    uint32_t length = 0;
    if (!receiveWord(socket, length)) return receiveFailed();
    if (length == 0) return true;
    // A length past what this kind of reply may hold is refused before
    // anything is allocated.
    if (length > replyCap(params, request.code) || length > INT_MAX) {
        setCurrentSocketError(SocketCode::MessageTooLong);
        return receiveFailed();
    }
    socket.setDeadline(socket.deadline() + transferAllowance(length));
    if (sink) {
        sink->begin(length);
        std::vector<char> piece(std::min<size_t>(length, kTransferPiece));
        bool taking = true;
        for (uint32_t done = 0; done < length;) {
            const auto n = static_cast<int32_t>(std::min<size_t>(piece.size(), length - done));
            if (socket.receiveAll(piece.data(), n, nullptr, kSocketSliceMs) != n)
                return receiveFailed();
            taking = taking && sink->take(piece.data(), static_cast<size_t>(n));
            done += static_cast<uint32_t>(n);
        }
        return true;
    }
    std::vector<uint8_t> data(length);
    if (socket.receiveAll(data.data(), static_cast<int32_t>(length), nullptr, kSocketSliceMs) !=
        static_cast<int>(length))
        return receiveFailed();
    reply.data = std::move(data);
    return true;
}

bool exchangeWith(const CryptoServerParams& params, const ServerRequest& request,
                  const PayloadSource* source, const ReplySink* sink, ServerReply& reply,
                  std::string* message) {
    setMessage(message, std::string());
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
    if (socket.connect(params.address, static_cast<uint16_t>(params.port & 0xFFFF)) != 0) {
        setMessage(message, std::string("Ошибка соединения: ") +
                                socketErrorText(currentSocketError()) + " !");
        return false;
    }
    return talk(socket, params, request, source, sink, reply, message);
}

}  // namespace

void ServerRequest::setName(const std::string& keyName) {
    std::memset(name, 0, sizeof name);
    std::memcpy(name, keyName.data(), std::min(keyName.size(), kNameFieldSize - 1));
}

std::string serverErrorText(uint32_t status) {
    const std::string head = "Сообщение сервера:\n\n";
    switch (status) {
        case ServerStatus::NoRights:
            return head + "У вас нет прав для администрирования";
        case ServerStatus::OpenFailed:
            return head + "Ошибка открытия запрашиваемой базы";
        case ServerStatus::NoInterface:
            return head + "Не найден интерфейс, или для него не была определена база ключей";
        case ServerStatus::RewriteFailed:
            return head + "Ошибка перезаписи базы ключей";
        case ServerStatus::EncodeFailed:
            return head + "Ошибка кодирования данных для администратора";
        case ServerStatus::DecodeFailed:
            return head + "Ошибка декодирования данных от администратора";
        default:
            // The status is a 32-bit word shown as a signed number.
            return head + "Ошибка " + std::to_string(static_cast<int32_t>(status));
    }
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

std::string storedNameText(const std::vector<uint8_t>& data) {
    const auto zero = std::find(data.begin(), data.end(), uint8_t{0});
    std::string name(data.begin(), zero);
    const bool cut = name.size() > kStoredNameShown;
    if (cut) name.resize(kStoredNameShown);
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    std::string shown = cp1251ToUtf8(name);
    if (cut) shown += "...";
    return shown;
}

bool exchange(const CryptoServerParams& params, const ServerRequest& request, ServerReply& reply,
              std::string* message) {
    return exchangeWith(params, request, nullptr, nullptr, reply, message);
}

bool listInterfaces(CryptoServerParams& params, std::string* message) {
    params.interfaceList.clear();
    ServerRequest request;
    request.code = ServerCode::ListInterfaces;
    request.word = kRequestWord;
    request.setName(params.adminKeyName);
    request.payload.assign(request.name, request.name + kNameFieldSize);
    ServerReply reply;
    if (!exchange(params, request, reply, message)) return false;

    SingleOutput decoded;
    if (!decode(params, reply.data, decoded)) {
        setMessage(message, "Ошибка декодирования списка интерфейсов сервера!");
        return false;
    }
    params.interfaceList.assign(decoded.data, decoded.data + decoded.length);
    return true;
}

bool fetchKeyBase(const CryptoServerParams& params, std::string* message) {
    ServerRequest request;
    request.code = ServerCode::FetchKeyBase;
    request.word = kRequestWord;
    request.setName(params.adminKeyName);
    const std::string name = interfaceField(params.interfaceName);
    request.payload.assign(name.begin(), name.end());
    request.payload.push_back(0);

    // The reply is opened as it arrives and written to the new file, which
    // replaces the local file only once all of it proved genuine. A channel
    // that cannot open it only shows once the whole reply is in, as any
    // undecodable reply; a file that cannot be written shows after that.
    KeyBase keys;
    const SecureChannel* channel =
        codecChannel(keys, params.adminKeyBase, params.adminKeyName, params.serverKeyName);
    // The file before the opener that may still be writing to it when the
    // exchange fails.
    BinaryFile file;
    bool opening = false, storing = false;
    uint32_t length = 0;
    EnvelopeOpener opener;
    const auto store = [&](const uint8_t* data, size_t n) {
        storing = storing && n <= UINT32_MAX && file.write(data, static_cast<uint32_t>(n));
        return true;
    };
    const ReplySink sink{
        [&](uint32_t announced) {
            length = announced;
            opening = channel && opener.start(*channel, CodecSide::Administrator, length, store);
            storing = opening &&
                      file.createDeferred(params.localFile, BinaryFile::Permissions::OwnerOnly);
        },
        [&](const char* piece, size_t n) { return opening = opening && opener.feed(piece, n); }};
    // Whatever ends the fetch before the new file is in place throws it
    // away with the object.
    ServerReply reply;
    if (!exchangeWith(params, request, nullptr, &sink, reply, message)) return false;

    if (length == 0) {
        setMessage(message, "Неверный размер файла для получения!");
        return false;
    }
    if (!opening || !opener.finish()) {
        setMessage(message, "Ошибка декодирования полученного файла!");
        return false;
    }
    // An exchange abandoned while the reply was being decoded leaves the
    // local file as it was.
    if (params.stop && params.stop->load() != 0) {
        setMessage(message, std::string("Ошибка получения ответа: ") +
                                socketErrorText(SocketCode::Interrupted) + " !");
        return false;
    }
    // A failed write leaves the old file and says so.
    if (!storing || !file.close()) {
        setMessage(message, "Ошибка создания файла для получения!");
        return false;
    }
    setMessage(message, "База ключей сервера сохранена как\n\"" + params.localFile + "\"");
    return true;
}

bool uploadKeyBase(const CryptoServerParams& params, std::string* message) {
    // The interface's field, then the whole file.
    uint8_t field[kUploadHeaderSize] = {};
    SecretBytes content;
    {
        BinaryFile file;
        if (!file.openExisting(params.localFile)) {
            setMessage(message, "Ошибка открытия файла для установки!");
            return false;
        }
        const std::string name = interfaceField(params.interfaceName);
        std::memcpy(field, name.data(), name.size());
        content = file.takeContent();
    }

    // Sealed while it is sent: the digest and signature first (the file's
    // copy in memory is encrypted in the same pass), then the text slice by
    // slice.
    KeyBase keys;
    const SecureChannel* channel =
        codecChannel(keys, params.adminKeyBase, params.adminKeyName, params.serverKeyName);
    EnvelopeSealer sealer;
    if (!channel || !sealer.startInPlace(*channel, CodecSide::Administrator, {field, content})) {
        setMessage(message, "Ошибка кодирования базы для отправки серверу!");
        return false;
    }
    const PayloadSource source{sealer.textLength(), [&sealer](char* out, size_t capacity) {
                                   return sealer.next(out, capacity);
                               }};
    ServerRequest request;
    request.code = ServerCode::UploadKeyBase;
    request.word = kRequestWord;
    request.setName(params.adminKeyName);
    ServerReply reply;
    if (!exchangeWith(params, request, &source, nullptr, reply, message)) return false;

    // The server names the stored base in its own code page, maybe with a
    // terminating zero; whatever else it sends is not shown as it is.
    setMessage(message, "Новая база ключей установлена на сервере как\n\"" +
                            storedNameText(reply.data) + "\"");
    return true;
}

}  // namespace Talvek
