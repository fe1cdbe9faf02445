#include "checks/filecause.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include "fileio/filelock.h"

namespace Talvek {

namespace {

long long lockSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(lockWait()).count();
}

// The system's refusals a key file meets, as a Russian system words them.
const char* russianSystemError(int error) {
    switch (error) {
        case ENOENT:
            return "нет такого файла или каталога";
        case EACCES:
            return "отказано в доступе";
        case EPERM:
            return "операция не позволена";
        case EISDIR:
            return "это каталог";
        case ENOTDIR:
            return "часть пути не является каталогом";
        case ENAMETOOLONG:
            return "слишком длинное имя файла";
        case ELOOP:
            return "слишком много уровней символьных ссылок";
        case ENOSPC:
            return "на устройстве не осталось свободного места";
        case EDQUOT:
            return "превышена дисковая квота";
        case EFBIG:
            return "файл слишком велик";
        case EROFS:
            return "файловая система доступна только для чтения";
        case EIO:
            return "ошибка ввода-вывода";
        case ENOMEM:
            return "недостаточно памяти";
        case EMFILE:
        case ENFILE:
            return "слишком много открытых файлов";
        case EBUSY:
        case ETXTBSY:
            return "файл или устройство занято";
        case EEXIST:
            return "файл уже существует";
        case EXDEV:
            return "файлы на разных устройствах";
        default:
            return nullptr;
    }
}

}  // namespace

std::string fileCause(const FileFailure& failure) {
    switch (failure.fault) {
        case FileFault::None:
            return {};
        case FileFault::System: {
            // As the system words it, in the lower case of the other causes.
            std::string text = std::error_code(failure.error, std::generic_category()).message();
            if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] += 'a' - 'A';
            return text;
        }
        case FileFault::Locked: {
            std::string text = "locked by another program";
            if (const long long seconds = lockSeconds(); seconds > 0) {
                text += " for more than " + std::to_string(seconds) + " s";
            }
            return text;
        }
        case FileFault::ReadOnly:
            return "read-only file";
        case FileFault::NotRegular:
            return "not a regular file";
        case FileFault::TooLarge:
            return "too large for a key file";
        case FileFault::NotAKeyFile:
            return "not a key file";
        case FileFault::NoChannel:
            return "key base without channels";
        case FileFault::TwoRoles:
            return "named for two roles of one action";
        case FileFault::NotReadWhole:
            return "the file holds " + std::to_string(failure.count) +
                   " bytes after the last node that were not read";
    }
    return {};
}

std::string fileCauseRussian(const FileFailure& failure) {
    switch (failure.fault) {
        case FileFault::None:
            return {};
        case FileFault::System: {
            if (const char* text = russianSystemError(failure.error)) return text;
            // A rare refusal keeps the system's own words beside its number.
            return "системная ошибка " + std::to_string(failure.error) + " (" +
                   fileCause(failure) + ")";
        }
        case FileFault::Locked: {
            std::string text = "файл занят другой программой";
            if (const long long seconds = lockSeconds(); seconds > 0) {
                text += " дольше " + std::to_string(seconds) + " с";
            }
            return text;
        }
        case FileFault::ReadOnly:
            return "файл только для чтения";
        case FileFault::NotRegular:
            return "не обычный файл";
        case FileFault::TooLarge:
            return "слишком велик для файла ключей";
        case FileFault::NotAKeyFile:
            return "не файл ключей";
        case FileFault::NoChannel:
            return "база ключей без каналов";
        case FileFault::TwoRoles:
            return "один файл назначен для двух ролей одного действия";
        case FileFault::NotReadWhole:
            return "после последнего узла в файле осталось " + std::to_string(failure.count) +
                   " непрочитанных байт";
    }
    return {};
}

std::string fileFailureDetail(const FileFailure& failure) {
    const std::string cause = fileCauseRussian(failure);
    if (cause.empty()) return {};
    return "Файл: " + failure.path + "\nПричина: " + cause + ".";
}


}  // namespace Talvek
