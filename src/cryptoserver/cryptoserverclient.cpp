#include "cryptoserver/cryptoserverclient.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include <openssl/crypto.h>

#include "cryptoserver/talvekcodec.h"
#include "cryptoserver/tcpsocket.h"
#include "keystore/binaryfile.h"
#include "keystore/cp1251.h"

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

// Everything after the connect; the caller's socket closes on return.
bool talk(TcpSocket& socket, const CryptoServerParams& params, const ServerRequest& request,
          ServerReply& reply, std::string* message) {
    const auto sendWord = [&socket](uint32_t value) {
        const auto bytes = wordBytes(value);
        return sendAll(socket, bytes.data(), bytes.size());
    };
    bool sent = sendAll(socket, &request.code, 1) && sendWord(request.word) &&
                sendAll(socket, request.name, kNameFieldSize);
    if (sent && request.payload.size() > UINT32_MAX) {
        setCurrentSocketError(SocketCode::MessageTooLong);
        sent = false;
    }
    sent = sent && sendWord(static_cast<uint32_t>(request.payload.size()));
    if (sent && !request.payload.empty())
        sent = sendAll(socket, request.payload.data(), request.payload.size());
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
    std::vector<uint8_t> data(length);
    if (socket.receiveAll(data.data(), static_cast<int32_t>(length), nullptr, kSocketSliceMs) !=
        static_cast<int>(length))
        return receiveFailed();
    reply.data = std::move(data);
    return true;
}

}  // namespace

std::array<uint8_t, 4> wordBytes(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

uint32_t wordFrom(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

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
    setMessage(message, std::string());
    TcpSocket socket;
    socket.setIdleLimit(params.idleLimitMs);
    // receiveAll takes the socket's own flag when given none.
    socket.setStopFlag(params.stop);
    socket.setDeadline(TcpSocket::Clock::now() +
                       std::chrono::milliseconds(std::max(params.exchangeTimeMs, 0)) +
                       transferAllowance(request.payload.size()));
    // A failed create shows as a failed connect.
    socket.create();
    if (socket.connect(params.address, static_cast<uint16_t>(params.port & 0xFFFF)) != 0) {
        setMessage(message, std::string("Ошибка соединения: ") +
                                socketErrorText(currentSocketError()) + " !");
        return false;
    }
    return talk(socket, params, request, reply, message);
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
    ServerReply reply;
    if (!exchange(params, request, reply, message)) return false;

    if (reply.data.empty()) {
        setMessage(message, "Неверный размер файла для получения!");
        return false;
    }
    SingleOutput decoded;
    if (!decode(params, reply.data, decoded)) {
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
    // The new content replaces the file only when all of it is stored; a
    // failed write leaves the old file and says so.
    BinaryFile file;
    if (!file.create(params.localFile, BinaryFile::Permissions::OwnerOnly) ||
        !file.write(decoded.data, decoded.length) || !file.close()) {
        file.discard();
        setMessage(message, "Ошибка создания файла для получения!");
        return false;
    }
    setMessage(message, "База ключей сервера сохранена как\n\"" + params.localFile + "\"");
    return true;
}

bool uploadKeyBase(const CryptoServerParams& params, std::string* message) {
    std::vector<uint8_t> block;
    {
        BinaryFile file;
        if (!file.openExisting(params.localFile)) {
            setMessage(message, "Ошибка открытия файла для установки!");
            return false;
        }
        const uint32_t size = file.size();
        block.assign(kUploadHeaderSize + size, 0);
        const std::string name = interfaceField(params.interfaceName);
        std::memcpy(block.data(), name.data(), name.size());
        file.read(block.data() + kUploadHeaderSize, size);
        file.close();
    }

    ServerRequest request;
    {
        SingleOutput encoded;
        const bool sealed = singleEncode(params.adminKeyBase, params.adminKeyName,
                                         params.serverKeyName, block, encoded);
        // The block is the whole key base with its private keys in clear.
        OPENSSL_cleanse(block.data(), block.size());
        std::vector<uint8_t>().swap(block);
        if (!sealed) {
            setMessage(message, "Ошибка кодирования базы для отправки серверу!");
            return false;
        }
        request.payload.assign(encoded.data, encoded.data + encoded.length);
    }
    request.code = ServerCode::UploadKeyBase;
    request.word = kRequestWord;
    request.setName(params.adminKeyName);
    ServerReply reply;
    if (!exchange(params, request, reply, message)) return false;

    // The server names the stored base in its own code page, maybe with a
    // terminating zero; whatever else it sends is not shown as it is.
    setMessage(message, "Новая база ключей установлена на сервере как\n\"" +
                            storedNameText(reply.data) + "\"");
    return true;
}

}  // namespace Talvek
