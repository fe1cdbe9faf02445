#pragma once
// The local checks made before talking to the crypto server, with the
// program's messages (UTF-8). Written once and run both by the connection
// wizard and by talvekkey, so the two refuse the same things in the same
// words. Each returns the message of the first check that fails, nothing when
// all pass; a key that cannot even be built (SecureException) counts as that
// check's failure.

#include <cstddef>
#include <optional>
#include <string>

#include "checks/keychecks.h"
#include "cryptoclient/cryptoserverclient.h"
#include "fileio/fileexists.h"

namespace Talvek {

// How many characters each field takes (the protocol's buffers less their
// terminating zero). A path field takes what the platform allows; a path
// longer in bytes is refused by the checks, never cut.
namespace ConnectLimits {
inline constexpr std::size_t Address = 259;
inline constexpr std::size_t KeyName = 255;
inline constexpr std::size_t Path = kMaxPathBytes;
inline constexpr std::size_t Interface = kInterfaceNameSize - 1;
}  // namespace ConnectLimits

namespace ConnectMessages {
inline constexpr const char* NoPrivateBase =
    "Файла с приватными ключами не существует\nили файл не является базой с приватными ключами!";
inline constexpr const char* NoLocalFile = "Нет имени файла для получения или загрузки!";
inline constexpr const char* NotKeyBase =
    "Файла базы ключей не существует\nили файл не является базой с ключами!";
inline constexpr const char* FetchOverAdminBase =
    "Нельзя получать базу сервера в файл базы ключей администратора:\nключ администратора был бы "
    "потерян!";
// "В базе %s нет секретного канала \"%s : %s\"!"
std::string noChannel(const std::string& base, const std::string& adminName,
                      const std::string& serverName);
// "Секретный канал \"%s : %s\" должен и подписывать, и шифровать!"
std::string channelTooWeak(const std::string& adminName, const std::string& serverName);
// The interface's name is longer than the protocol can carry.
std::string interfaceTooLong(const std::string& name);
}  // namespace ConnectMessages


// Before the first request: the administrator's base loads as a private key
// base and holds the channel adminKeyName -> serverKeyName that protects the
// exchange, and that channel both signs and encrypts with complete keys.
// A refusal carries the file to blame and why, where a file is.
CheckResult checkAdminChannel(const CryptoServerParams& params);

// Before a fetch or upload (params.operation): the interface name fits the
// protocol (cut short it could name another interface), a local file is
// named, an upload sends a key base and nothing else (the server would
// replace the interface's base with it), and a fetch never lands on the
// administrator's own base.
CheckResult checkTransfer(const CryptoServerParams& params);

}  // namespace Talvek
