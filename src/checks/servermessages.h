#pragma once
// The words for the crypto-server exchanges (UTF-8), shared by the connection
// wizard and talvekkey: what the client's results say to the user.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cryptoclient/cryptoserverclient.h"

namespace Talvek {

// "Сообщение сервера:\n\n..." for a server status.
std::string serverErrorText(uint32_t status);

// A name from the server (Windows-1251) fit for a terminal or a dialog:
// UTF-8, control characters written as \xNN of the byte.
std::string shownName(const std::string& cp1251Name);

// The stored name an upload's reply carries, fit to be shown: up to its first
// zero, at most kStoredNameShown bytes (then "..."), as shownName.
constexpr size_t kStoredNameShown = 259;
std::string storedNameText(const std::vector<uint8_t>& data);

// The one message the user sees for an exchange: the failure, or the
// success where the operation has one (a fetch names the file it wrote, an
// upload the name the server stored it as; a list has none).
std::string exchangeMessage(const ExchangeResult& result, const CryptoServerParams& params);

}  // namespace Talvek
