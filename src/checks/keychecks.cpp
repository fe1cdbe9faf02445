#include "checks/keychecks.h"

#include <new>

#include "keystore/cp1251.h"
#include "keystore/fileexists.h"
#include "keystore/secureexception.h"

namespace Talvek {

namespace {

// Runs one check or operation; an RSA object that could not be made (or
// memory running out) makes the step fail like a false result would.
template <typename Step>
bool guarded(Step step) {
    try {
        return step();
    } catch (const SecureException&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// printf-style "%s" filling for the fixed success texts: each "%s" takes the
// next value, in order.
std::string fill(const char* format, std::initializer_list<std::string> values) {
    std::string out;
    auto next = values.begin();
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's' && next != values.end()) {
            out += *next++;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

CheckResult checkFilesPage(KeyWizardData& data) {
    using namespace KeyMessages;
    if (data.baseFile.empty()) return CheckResult::fail(NoBaseFile);
    if (data.mode != ImportUserPart && data.exportFile.empty()) {
        return CheckResult::fail(NoExportFile);
    }
    if (data.mode != NewUserServerKey && data.importFile.empty()) {
        return CheckResult::fail(NoImportFile);
    }
    // Compared as typed: two spellings of one file count as different.
    if (data.exportFile == data.baseFile || data.baseFile == data.importFile) {
        return CheckResult::fail(PublicEqualsPrivate);
    }
    if (data.exportFile == data.importFile) return CheckResult::fail(ImportEqualsExport);

    switch (data.mode) {
        case NewUserServerKey:
            // Only a warning: the operation itself refuses a base it cannot load.
            if (!guarded([&] { return isPrivateBase(data.baseFile, false); })) {
                return CheckResult::warn(NotPrivateBaseWarning);
            }
            return CheckResult::pass();
        case ImportUserPart:
            if (!guarded([&] { return isPrivateBase(data.baseFile, true); })) {
                return CheckResult::fail(NoPrivateBase);
            }
            if (!guarded([&] { return isPublicPartFile(data.importFile); })) {
                return CheckResult::fail(NoPublicPartFile);
            }
            if (!guarded([&] { return readImportedChannel(data); })) {
                return CheckResult::fail(ImportMismatchServer);
            }
            return CheckResult::pass();
        case CreateUserKey:
            if (!guarded([&] { return isPublicPartFile(data.importFile); })) {
                return CheckResult::fail(NoPublicPartFile);
            }
            if (!guarded([&] { return readImportedChannel(data); })) {
                return CheckResult::fail(ImportMismatchUser);
            }
            if (!guarded([&] { return checkImportNotInBase(data); })) {
                return CheckResult::fail(ImportAlreadyInBase);
            }
            return CheckResult::pass();
    }
    return CheckResult::pass();
}

CheckResult checkServerNamePresent(const KeyWizardData& data) {
    if (data.serverKeyName.empty()) return CheckResult::fail(KeyMessages::NoServerName);
    return CheckResult::pass();
}

CheckResult checkNamesPage(const KeyWizardData& data) {
    using namespace KeyMessages;
    if (data.userKeyName.empty()) return CheckResult::fail(NoUserName);
    if (data.userKeyName == data.serverKeyName) return CheckResult::fail(NamesEqual);
    // A base that does not exist yet cannot hold the names.
    if (data.mode == NewUserServerKey && fileExists(data.baseFile) &&
        !guarded([&] { return checkNamesUnused(data); })) {
        return CheckResult::fail(NamesTaken);
    }
    return CheckResult::pass();
}

CheckResult checkParamsPage(const KeyWizardData& data) {
    if (!data.useCrypt && !data.useSign) return CheckResult::fail(KeyMessages::NoParameters);
    return CheckResult::pass();
}

std::string successText(const KeyWizardData& data) {
    switch (data.mode) {
        case NewUserServerKey:
            return fill(
                "Серверный приватный ключ создан.\nФайл \"%s\" с открытой частью серверного "
                "ключа успешно создан.\nЕго необходимо отправить пользователю.",
                {data.exportFile});
        case ImportUserPart:
            return "Открытая часть пользовательского ключа успешно\nимпортирована в серверную "
                   "базу ключей.\nЕе необходимо обновить на криптосервере с помощью\nкнопки "
                   "\"Соединиться\" раздела \"Криптосервер\".";
        case CreateUserKey:
            if (data.javaClient) {
                return fill(
                    "Файлы \"%s\" и \"javaclient.bin\" успешно созданы.\nФайл \"%s\" с открытой "
                    "частью пользовательского ключа успешно создан,\nего необходимо отправить в "
                    "центр.",
                    {data.baseFile, data.exportFile});
            }
            return fill(
                "Файл \"%s\" успешно создан.\nФайл \"%s\" с открытой частью пользовательского "
                "ключа успешно создан,\nего необходимо отправить в центр.",
                {data.baseFile, data.exportFile});
    }
    return {};
}

CheckResult runFinish(const KeyWizardData& data, const std::string& javaPath,
                      PublicPartFingerprints* written) {
    const bool ok = guarded([&] {
        switch (data.mode) {
            case NewUserServerKey:
                return createServerKey(data, written);
            case ImportUserPart:
                return importUserPublicPart(data);
            case CreateUserKey:
                return createUserKey(data, javaPath, written);
        }
        return false;
    });
    if (!ok) return CheckResult::fail(KeyMessages::OperationFailed);
    return CheckResult::pass(successText(data));
}

CheckResult encodeKeyName(std::string_view utf8, std::string& cp1251) {
    if (utf8ToCp1251(utf8, cp1251)) return CheckResult::pass();
    cp1251.clear();
    return CheckResult::fail("Ключевое имя \"" + std::string(utf8) +
                             "\" нельзя записать в кодировке Windows-1251!");
}

std::optional<std::string> javaChannelRefusal(bool useCrypt, bool useSign, bool complete) {
    if (useCrypt) return KeyMessages::JavaHasCrypt;
    if (!useSign) return KeyMessages::JavaNoSign;
    if (!complete) return KeyMessages::JavaIncomplete;
    return std::nullopt;
}

}  // namespace Talvek
