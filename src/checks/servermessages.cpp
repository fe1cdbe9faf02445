#include "checks/servermessages.h"

#include <algorithm>

#include "cryptoclient/tcpsocket.h"
#include "keystore/cp1251.h"

namespace Talvek {

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

std::string storedNameText(const std::vector<uint8_t>& data) {
    const auto zero = std::find(data.begin(), data.end(), uint8_t{0});
    std::string name(data.begin(), zero);
    const bool cut = name.size() > kStoredNameShown;
    if (cut) name.resize(kStoredNameShown);
    std::string shown = shownName(name);
    if (cut) shown += "...";
    return shown;
}

std::string shownName(const std::string& cp1251Name) {
    // Escaped byte by byte before decoding, so that \xNN is the byte that
    // came, not what the code page makes of it.
    std::string shown, plain;
    for (char c : cp1251Name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            static const char digits[] = "0123456789ABCDEF";
            shown += cp1251ToUtf8(plain);
            plain.clear();
            shown += {'\\', 'x', digits[byte >> 4], digits[byte & 15]};
        } else {
            plain += c;
        }
    }
    return shown + cp1251ToUtf8(plain);
}

std::string exchangeMessage(const ExchangeResult& result, const CryptoServerParams& params) {
    const auto socketText = [&result] { return std::string(socketErrorText(result.socketCode)); };
    switch (result.fault) {
        case ExchangeFault::None:
            if (result.code == ServerCode::FetchKeyBase)
                return "База ключей сервера сохранена как\n\"" + params.localFile + "\"";
            if (result.code == ServerCode::UploadKeyBase)
                return "Новая база ключей установлена на сервере как\n\"" +
                       storedNameText(result.storedName) + "\"";
            return {};
        case ExchangeFault::Connect:
            return "Ошибка соединения: " + socketText() + " !";
        case ExchangeFault::Send:
            return "Ошибка отправки запроса: " + socketText() + " !";
        case ExchangeFault::Receive:
            return "Ошибка получения ответа: " + socketText() + " !";
        case ExchangeFault::ServerRefused:
            return "Сервер сообщил об ошибке:\n" + serverErrorText(result.status) + "!";
        case ExchangeFault::ListUndecodable:
            return "Ошибка декодирования списка интерфейсов сервера!";
        case ExchangeFault::FetchEmpty:
            return "Неверный размер файла для получения!";
        case ExchangeFault::FetchUndecodable:
            return "Ошибка декодирования полученного файла!";
        case ExchangeFault::FetchNotWritten:
            return "Ошибка создания файла для получения!";
        case ExchangeFault::UploadNotOpened:
            return "Ошибка открытия файла для установки!";
        case ExchangeFault::UploadNotSealed:
            return "Ошибка кодирования базы для отправки серверу!";
        case ExchangeFault::RequestNotSealed:
            return "Ошибка кодирования запроса для отправки серверу!";
        case ExchangeFault::UploadReplyUndecodable:
            return "Ошибка декодирования ответа сервера!";
    }
    return {};
}

}  // namespace Talvek
