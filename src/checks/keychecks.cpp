#include "checks/keychecks.h"

#include "checks/guarded.h"
#include "keystore/cp1251.h"
#include "fileio/fileexists.h"

namespace Talvek {

namespace {

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

// The imported part sets the sizes of the keys made at Finish. A size no key
// can be made at (below 512 bits) or that would take minutes to make fails
// here, where the user can still choose another file, not after the last
// page.
bool importedSizesUsable(const KeyWizardData& data) {
    const auto usable = [](uint32_t bits) {
        return bits >= kMinKeyBits && bits <= kMaxKeyBits;
    };
    return (!data.useCrypt || usable(data.cryptSize)) && (!data.useSign || usable(data.signSize));
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
    // Never cut: a cut path would name another file.
    for (const std::string* path : {&data.baseFile, &data.exportFile, &data.importFile}) {
        if (path->size() > kMaxPathBytes) return CheckResult::fail(PathTooLong);
    }
    // By identity, not by spelling: "./a", "d/../a", a link to a or a hard
    // link of it are all a. The field a mode hides takes part as well.
    if (sameFile(data.exportFile, data.baseFile) || sameFile(data.baseFile, data.importFile)) {
        return CheckResult::fail(PublicEqualsPrivate);
    }
    if (sameFile(data.exportFile, data.importFile)) return CheckResult::fail(ImportEqualsExport);

    switch (data.mode) {
        case NewUserServerKey:
            // Only a warning: the operation itself refuses a base it cannot load.
            if (FileResult loads = guarded([&] { return baseLoads(data, false); }); !loads) {
                return CheckResult::warn(NotPrivateBaseWarning, loads.failure());
            }
            return CheckResult::pass();
        case ImportUserPart:
            if (FileResult loads = guarded([&] { return baseLoads(data, true); }); !loads) {
                return CheckResult::fail(NoPrivateBase, loads.failure());
            }
            if (FileResult part = guarded([&] { return isPublicPartFile(data.importFile); });
                !part) {
                return CheckResult::fail(NoPublicPartFile, part.failure());
            }
            if (guarded([&] { return importIsOwnPart(data); })) {
                return CheckResult::fail(std::string(ImportMismatchServer) + "\n" + ImportIsOwnPart);
            }
            if (FileResult read = guarded([&] { return readImportedChannel(data); }); !read) {
                return CheckResult::fail(ImportMismatchServer, read.failure());
            }
            if (!importedSizesUsable(data)) return CheckResult::fail(ImportMismatchServer);
            return CheckResult::pass();
        case CreateUserKey:
            if (FileResult part = guarded([&] { return isPublicPartFile(data.importFile); });
                !part) {
                return CheckResult::fail(NoPublicPartFile, part.failure());
            }
            if (guarded([&] { return importIsOwnPart(data); })) {
                return CheckResult::fail(std::string(ImportMismatchUser) + "\n" + ImportIsOwnPart);
            }
            if (FileResult read = guarded([&] { return readImportedChannel(data); }); !read) {
                return CheckResult::fail(ImportMismatchUser, read.failure());
            }
            if (!importedSizesUsable(data)) return CheckResult::fail(ImportMismatchUser);
            if (FileResult apart = guarded([&] { return checkImportNotInBase(data); }); !apart) {
                return CheckResult::fail(ImportAlreadyInBase, apart.failure());
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
    if (data.mode == NewUserServerKey && fileExists(data.baseFile)) {
        if (FileResult unused = guarded([&] { return checkNamesUnused(data); }); !unused)
            return CheckResult::fail(NamesTaken, unused.failure());
    }
    return CheckResult::pass();
}

CheckResult checkParamsPage(const KeyWizardData& data) {
    if (!data.useCrypt && !data.useSign) return CheckResult::fail(KeyMessages::NoParameters);
    return CheckResult::pass();
}

std::string successText(const KeyWizardData& data, std::string_view javaShown) {
    switch (data.mode) {
        case NewUserServerKey:
            return fill(
                "Серверный приватный ключ создан.\nФайл \"%s\" с открытой частью серверного "
                "ключа успешно создан.\nЕго необходимо отправить пользователю.",
                {data.exportFile});
        case ImportUserPart:
            return std::string(KeyMessages::UserPartImported) + "\n" +
                   KeyMessages::UpdateThroughConnect;
        case CreateUserKey:
            if (data.javaClient) {
                return fill(
                    "Файлы \"%s\" и \"%s\" успешно созданы.\nФайл \"%s\" с открытой "
                    "частью пользовательского ключа успешно создан,\nего необходимо отправить в "
                    "центр.",
                    {data.baseFile, std::string(javaShown), data.exportFile});
            }
            return fill(
                "Файл \"%s\" успешно создан.\nФайл \"%s\" с открытой частью пользовательского "
                "ключа успешно создан,\nего необходимо отправить в центр.",
                {data.baseFile, data.exportFile});
    }
    return {};
}

CheckResult runFinish(const KeyWizardData& data, const std::string& javaPath,
                      std::string_view javaShown, PublicPartFingerprints* written) {
    // The Java client's file is written last; it must not replace a file of
    // the same action.
    if (data.mode == CreateUserKey && data.javaClient) {
        for (const std::string* other : {&data.baseFile, &data.importFile, &data.exportFile}) {
            if (sameFile(javaPath, *other)) {
                return CheckResult::fail(KeyMessages::PublicEqualsPrivate);
            }
        }
    }
    const FileResult done = guarded([&] {
        switch (data.mode) {
            case NewUserServerKey:
                return createServerKey(data, written);
            case ImportUserPart:
                return importUserPublicPart(data);
            case CreateUserKey:
                return createUserKey(data, javaPath, written);
        }
        return FileResult::failed();
    });
    if (!done) return CheckResult::fail(KeyMessages::OperationFailed, done.failure());
    return CheckResult::pass(successText(data, javaShown));
}

CheckResult encodeKeyName(std::string_view utf8, std::string& cp1251) {
    if (utf8ToCp1251(utf8, cp1251)) return CheckResult::pass();
    cp1251.clear();
    return CheckResult::fail("Ключевое имя \"" + std::string(utf8) +
                             "\" нельзя записать в кодировке Windows-1251!");
}

CheckResult checkOutputDiffers(const std::string& input, const std::string& output) {
    if (sameFile(input, output)) return CheckResult::fail(KeyMessages::PublicEqualsPrivate);
    return CheckResult::pass();
}

CheckResult checkTypedKeyName(std::string_view utf8) {
    using namespace KeyMessages;
    size_t characters = 0;
    bool blank = true;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if ((byte & 0xC0) != 0x80) ++characters;  // not a continuation byte
        const bool c1 = byte == 0xC2 && i + 1 < utf8.size() &&
                        static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(utf8[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1) return CheckResult::fail(NameHasControl);
        const bool nbsp =
            byte == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0xA0;
        if (nbsp) {
            ++i;  // its second byte is a continuation byte
            continue;
        }
        if (byte != ' ') blank = false;
    }
    if (characters > kMaxKeyNameChars) return CheckResult::fail(NameTooLong);
    if (!utf8.empty() && blank) return CheckResult::fail(NameBlank);
    return CheckResult::pass();
}

std::optional<std::string> javaChannelRefusal(bool useCrypt, bool useSign, bool complete) {
    if (useCrypt) return KeyMessages::JavaHasCrypt;
    if (!useSign) return KeyMessages::JavaNoSign;
    if (!complete) return KeyMessages::JavaIncomplete;
    return std::nullopt;
}

}  // namespace Talvek
