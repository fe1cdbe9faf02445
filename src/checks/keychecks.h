#pragma once
// The ordered checks of the key creation pages and the finish step, with the
// program's messages (UTF-8). Written once and run both by the wizard
// controller and by talvekkey, so the two can never disagree on what is
// refused or how it is worded. No widgets, no settings: the caller stores
// what the pages remember ("keyDefBase", "keyDefServerName") itself.
//
// Every check and operation call is guarded: a SecureException counts as
// that step's failure with the step's own message, never ends the program.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fileio/fileexists.h"
#include "keystore/keyops.h"

namespace Talvek {

// The longest key name, in characters: the wizard cuts what is typed to it,
// talvekkey refuses a longer one.
inline constexpr std::size_t kMaxKeyNameChars = kMaxKeyNameBytes;

namespace KeyMessages {
// Files page.
inline constexpr const char* NoBaseFile = "Не задано имя файла с приватными ключами!";
inline constexpr const char* NoExportFile = "Не задано имя файла экспотра открытых ключей!";
inline constexpr const char* NoImportFile = "Не задано имя файла импотра открытых ключей!";
inline constexpr const char* PathTooLong = "Имя файла длиннее 4095 байт!";
static_assert(kMaxPathBytes == 4095, "PathTooLong names the path limit");
inline constexpr const char* PublicEqualsPrivate =
    "Имена файлов с открытыми и\nприватными ключами не должны совпадать!";
inline constexpr const char* ImportEqualsExport =
    "Имена файлов с импортируемыми и экспотрируемыми\nоткрытыми ключами не должны совпадать!";
inline constexpr const char* NotPrivateBaseWarning =
    "Данный файл не является базой с приватными ключами!";
inline constexpr const char* NoPrivateBase =
    "Файла с приватными ключами не существует\nили файл не является базой с приватными ключами!";
inline constexpr const char* NoPublicPartFile =
    "Файла с импортом открытых ключей не существует\nили файл не является базой с открытыми "
    "ключами!";
inline constexpr const char* ImportMismatchServer =
    "База импорта открытых ключей не соответствует базе\nприватных ключей или такой полный ключ "
    "уже существует!";
inline constexpr const char* ImportMismatchUser =
    "База импорта открытых ключей не соответствует базе приватных ключей!";
inline constexpr const char* ImportAlreadyInBase =
    "В клиентской базе уже существует секретный канал соответствующий базе импорта открытых "
    "ключей сервера, или неверный формат базы импорта!";
// Our own line after an import check's message, when the import file is
// the base's own public part coming back instead of the other side's.
inline constexpr const char* ImportIsOwnPart =
    "Файл импорта содержит открытые ключи самой этой базы:\nнужна открытая часть другой стороны.";
// Key names page.
inline constexpr const char* NoServerName = "Нет названия серверного ключа!";
inline constexpr const char* NoUserName = "Нет названия пользовательского ключа!";
inline constexpr const char* NamesEqual = "Названия ключей не должны совпадать!";
inline constexpr const char* NamesTaken = "Ключи с такими названиями уже существуют!";
inline constexpr const char* NameTooLong = "Название ключа длиннее 259 символов!";
static_assert(kMaxKeyNameChars == 259, "NameTooLong names the key name limit");
inline constexpr const char* NameBlank = "Название ключа не может состоять из одних пробелов!";
inline constexpr const char* NameHasControl =
    "Название ключа не может содержать управляющие символы!";
// Key parameters page.
inline constexpr const char* NoParameters = "Не заданы параметры ключа!";
// Finish.
inline constexpr const char* OperationFailed = "Ошибка выполненния операции!";
// The Java client's key file, from the maintenance dialog or talvekkey.
inline constexpr const char* JavaHasCrypt =
    "Секретный канал содержит ключи кодирования.\nДля \"Java\" канала должна присутствовать\n"
    "только подпись!";
inline constexpr const char* JavaNoSign =
    "Секретный канал не содержит ключей подписи.Для \"Java\" канала должна присутствовать\n"
    "только подпись!";
inline constexpr const char* JavaIncomplete =
    "Секретный канал содержит только приватные ключи\nили только открытые ключи.\n"
    "Для \"Java\" канала допускаются только полные ключи!";
// Mode 1's success: what was done, then how the crypto server is told (the
// window's button; talvekkey names its own command instead).
inline constexpr const char* UserPartImported =
    "Открытая часть пользовательского ключа успешно\nимпортирована в серверную базу ключей.";
inline constexpr const char* UpdateThroughConnect =
    "Ее необходимо обновить на криптосервере с помощью\nкнопки \"Соединиться\" раздела "
    "\"Криптосервер\".";
}  // namespace KeyMessages

struct CheckResult {
    enum class Status {
        Pass,  // go on
        Fail,  // show the message as an error, stay on the page
        Warn,  // show the message as an error, then go on as if passed
    };
    Status status = Status::Pass;
    std::string message;  // UTF-8; empty for a plain pass
    // Fail and Warn: the file to blame and why, when a file is (fault None
    // otherwise); shown below the message.
    FileFailure cause;

    // True for Pass and Warn: the page may be left.
    bool advances() const { return status != Status::Fail; }

    static CheckResult pass(std::string text = {}) { return {Status::Pass, std::move(text), {}}; }
    static CheckResult fail(std::string text, FileFailure cause = {}) {
        return {Status::Fail, std::move(text), std::move(cause)};
    }
    static CheckResult warn(std::string text, FileFailure cause = {}) {
        return {Status::Warn, std::move(text), std::move(cause)};
    }
};

// Files page Next, after the three edits were read into data: the empty and
// equal names, then the mode's checks. In modes 1 and 2 it fills the key names,
// use flags and sizes from the import file; a declared size outside
// kMinKeyBits...kMaxKeyBits fails the import check. Mode 0's
// failed base check is a Warn; every other failure is a Fail with its message.
CheckResult checkFilesPage(KeyWizardData& data);

// Key names page Next, in two halves so that the caller can remember the
// server key name in between: first the server name must be present...
CheckResult checkServerNamePresent(const KeyWizardData& data);
// ...then the user name must be present and differ, and in mode 0 with an
// existing base the names must be unused there.
CheckResult checkNamesPage(const KeyWizardData& data);

// Key parameters page Next, after the controls were read into data.
CheckResult checkParamsPage(const KeyWizardData& data);

// Finish: runs the mode's operation. Pass carries the mode's success text,
// Fail "Ошибка выполненния операции!". javaPath is where the Java client key
// file goes in mode 2 with javaClient; a javaPath that is one of the action's
// other files fails with the files page's message. javaShown is how the
// success text names it (the wizard always writes "javaclient.bin", talvekkey
// the file it was given). written receives the fingerprints of the public
// part written (modes 0 and 2).
CheckResult runFinish(const KeyWizardData& data, const std::string& javaPath,
                      std::string_view javaShown = "javaclient.bin",
                      PublicPartFingerprints* written = nullptr);

// The mode's success text with its values filled in: paths as they are, key
// names decoded from Windows-1251.
std::string successText(const KeyWizardData& data, std::string_view javaShown = "javaclient.bin");

// A key name typed in UTF-8 as the Windows-1251 bytes it is stored as. Fail
// with a message naming the text when it cannot be encoded (cp1251 then
// empty); a refused name is never silently altered.
CheckResult encodeKeyName(std::string_view utf8, std::string& cp1251);

// An action that reads one file and writes another (a report, a dump, the
// Java client's file, a report from a template): the output must not be the
// input, however either is spelt.
CheckResult checkOutputDiffers(const std::string& input, const std::string& output);

// A key name typed where nothing cuts it (the command line), in UTF-8: at
// most the 259 characters the wizard's edit takes, not only blanks, and no
// control characters (a line feed would split the listing and the report).
// An empty name passes here; the names page says which one is missing.
CheckResult checkTypedKeyName(std::string_view utf8);

// Why a channel cannot become the Java client's key file, in the order the
// refusals are made, or nothing when it can: the client signs only, and needs
// both halves of its signing keys (a complete channel).
std::optional<std::string> javaChannelRefusal(bool useCrypt, bool useSign, bool complete);

}  // namespace Talvek
