#pragma once
// What the maintenance dialog and talvekkey's channel commands share: the
// messages of their refusals and outcomes (UTF-8), and how a key file is
// opened for them: as a key base, or else as a public-part file holding one
// channel. No Qt here.

#include <string>
#include <vector>

#include "keystore/securechannel.h"

namespace Talvek {

namespace MaintenanceMessages {
inline constexpr const char* OpenFailed = "Ошибка открытия базы ключей!";
inline constexpr const char* NoDeleteInPublicPart = "Нельзя удалять каналы из баз импорта/экспорта";
inline constexpr const char* Deleted = "Канал успешно удален!";
inline constexpr const char* DeleteFailed = "Ошибка удаления канала!";
inline constexpr const char* Exported = "Информация о канале успешно экспортирована!";
inline constexpr const char* ExportFailed = "Ошибка экспорта канала!";
inline constexpr const char* JavaWritten = "\"Java\" канал успешно экспортирован!";
inline constexpr const char* JavaFailed = "Ошибка экспорта \"Java\" канала!";
}  // namespace MaintenanceMessages

enum class KeyFileKind { KeyBase, PublicPart };

struct KeyFileListing {
    KeyFileKind kind = KeyFileKind::KeyBase;
    // Empty only for a key base that holds no channel.
    std::vector<ChannelSummary> channels;
};

// One read of the file into listing. Only a file that is no key base at all
// is tried as a public part. Fails when it is neither, and for a key base
// that holds no channel (NoChannel; listing then holds that empty base).
FileResult listKeyFile(const std::string& path, KeyFileListing& listing);

}  // namespace Talvek
