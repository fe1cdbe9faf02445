// talvekkey server-key: the server's keys for new users (first step of the
// exchange), with the checks the wizard makes in that mode. Several users
// get their channels in one step, their public parts in one folder.

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <ostream>
#include <system_error>

#include "cli/actionjson.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/progress.h"
#include "keystore/batchops.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runServerKey(const std::vector<std::string>& args, Io& io);

const Command kServerKey{
    "server-key",
    "server-key --base FILE --server NAME --user NAME [--user NAME ...] "
    "(--export FILE | --export-dir DIR) [--crypt BITS] [--sign BITS] [--json]",
    "Creates the server's own keys for a new user in the server key base FILE\n"
    "(made when missing) and writes their public part, to be sent to the user.\n"
    "--crypt and --sign choose the uses and their sizes in bits\n"
    "(512, 768, 1024, 2048, 3072 or 4096); at least one is needed.\n"
    "With --export-dir, one channel per --user: each public part goes to\n"
    "DIR/USER.okp (DIR made when missing; a \"/\" in a name becomes \"_\"), the\n"
    "keys are made on every core and the base is written once: all files or none.\n"
    "--json prints what was written as JSON (schema in talvekkey-json.md).",
    runServerKey};

int usersFailed(const std::vector<NewUserKey>& users, const std::vector<std::string>& typed,
                Io& io) {
    size_t refused = 0;
    for (size_t i = 0; i < users.size(); ++i) {
        const char* why = nullptr;
        switch (users[i].fault) {
            case ItemFault::None:
                continue;
            case ItemFault::NamesTaken:
                why = KeyMessages::NamesTaken;
                break;
            case ItemFault::Repeated:
                why = "the user is named twice";
                break;
            default:
                why = KeyMessages::PublicEqualsPrivate;
                break;
        }
        ++refused;
        io.err << "talvekkey: " << typed[i] << ": " << why << "\n";
    }
    io.err << "talvekkey: nothing created: " << refused << " of " << users.size()
           << " users refused\n";
    return Failure;
}

int createMany(const KeyWizardData& data, const std::string& serverTyped,
               const std::vector<std::string>& usersTyped, const std::string& dir, bool json,
               Io& io) {
    // Everything that can be refused without the base is refused before any
    // key is made or any folder created.
    if (stopsAt(checkTypedKeyName(serverTyped), io)) return Failure;
    for (const std::string& user : usersTyped) {
        if (stopsAt(checkTypedKeyName(user), io)) return Failure;
    }
    ServerKeyBatch batch;
    batch.baseFile = data.baseFile;
    if (stopsAt(encodeKeyName(serverTyped, batch.serverName), io)) return Failure;
    KeyWizardData server;
    server.serverKeyName = batch.serverName;
    if (stopsAt(checkServerNamePresent(server), io)) return Failure;
    std::vector<NewUserKey> users(usersTyped.size());
    std::map<std::string, std::string> fileOwners;
    for (size_t i = 0; i < usersTyped.size(); ++i) {
        if (stopsAt(encodeKeyName(usersTyped[i], users[i].userName), io)) return Failure;
        KeyWizardData names;
        names.serverKeyName = batch.serverName;
        names.userKeyName = users[i].userName;
        if (stopsAt(checkNamesPage(names), io)) return Failure;
        const std::string file = publicPartFileName(usersTyped[i]);
        if (file.size() > NAME_MAX) {
            io.err << "talvekkey: " << usersTyped[i] << ": the name is too long for a file name\n";
            return Failure;
        }
        const auto [owner, fresh] = fileOwners.emplace(file, usersTyped[i]);
        if (!fresh) {
            io.err << "talvekkey: users \"" << owner->second << "\" and \"" << usersTyped[i]
                   << "\" would both be written to \"" << file << "\"\n";
            return Failure;
        }
        users[i].exportFile = (std::filesystem::path(dir) / file).string();
        if (users[i].exportFile.size() > kMaxPathBytes) {
            printMessage(io.err, KeyMessages::PathTooLong);
            return Failure;
        }
    }
    if (data.baseFile.size() > kMaxPathBytes) {
        printMessage(io.err, KeyMessages::PathTooLong);
        return Failure;
    }
    if (stopsAt(checkParamsPage(data), io)) return Failure;
    batch.useCrypt = data.useCrypt;
    batch.useSign = data.useSign;
    batch.cryptSize = data.cryptSize;
    batch.signSize = data.signSize;
    warnAboutWeakKeys(data, io);

    // The folder is made only now, and taken away again when nothing went in.
    std::error_code error;
    const bool madeDir = std::filesystem::create_directories(dir, error);
    if (error) {
        io.err << "talvekkey: " << dir << ": " << error.message() << "\n";
        return Failure;
    }
    BatchResult created{BatchOutcome::GenerationFailed, {}};
    try {
        ProgressLine progress(io);
        const std::string total = std::to_string(users.size());
        progress.set("generating keys 0/" + total);
        created = createServerKeys(batch, users, [&](size_t done) {
            progress.set("generating keys " + std::to_string(done) + "/" + total);
            if (done == users.size()) progress.set("writing the key base and public parts");
        });
    } catch (const SecureException&) {
        created = {BatchOutcome::GenerationFailed, {}};  // a key, not a file, failed
    }
    if (created.outcome != BatchOutcome::Done && madeDir) {
        std::filesystem::remove(dir, error);  // only when still empty
    }
    switch (created.outcome) {
        case BatchOutcome::Done:
            break;
        case BatchOutcome::Refused:
            return usersFailed(users, usersTyped, io);
        case BatchOutcome::NotABase:
            printMessage(io.err, KeyMessages::NotPrivateBaseWarning);
            printFailure(io.err, KeyMessages::OperationFailed, created.cause);
            return Failure;
        default:
            printFailure(io.err, KeyMessages::OperationFailed, created.cause);
            return Failure;
    }
    if (json) {
        ActionReport report{kServerKey.name, {{data.baseFile, "base"}}, {}};
        for (const NewUserKey& user : users) {
            report.files.push_back({user.exportFile, "publicPart"});
            report.channels.push_back(
                {batch.serverName, user.userName, "created", &user.written, nullptr});
        }
        printActionJson(io.out, report);
        return Success;
    }
    io.out << "Серверные приватные ключи созданы (" << users.size() << ").\n"
           << "Файлы с открытыми частями серверных ключей успешно созданы в \"" << dir
           << "\".\nИх необходимо отправить пользователям.\n";
    for (const NewUserKey& user : users) {
        printFingerprints(io.out, "Отпечатки ключей, записанных в \"" + user.exportFile + "\":",
                          user.written);
    }
    return Success;
}

int runServerKey(const std::vector<std::string>& given, Io& io) {
    std::vector<std::string> args = given;
    const bool json = takeJsonFlag(args);
    std::string error;
    std::map<std::string, std::vector<std::string>> repeated;
    const auto options = parseOptions(
        args, {"--base", "--export", "--export-dir", "--server", "--user", "--crypt", "--sign"},
        {"--base", "--server", "--user"}, error, {"--user"}, &repeated);
    if (!options) return usageError(io, kServerKey, error);
    const bool toDir = options->count("--export-dir") != 0;
    if (toDir == (options->count("--export") != 0)) {
        return usageError(io, kServerKey, "give either --export or --export-dir");
    }
    const std::vector<std::string>& users = repeated["--user"];
    if (!toDir && users.size() > 1) {
        return usageError(io, kServerKey, "several users need --export-dir");
    }

    KeyWizardData data;
    data.mode = NewUserServerKey;
    data.baseFile = options->at("--base");
    if (!toDir) data.exportFile = options->at("--export");
    if (const auto it = options->find("--crypt"); it != options->end()) {
        if (!parseKeyBits(it->second, data.cryptSize)) {
            return usageError(io, kServerKey, "unsupported key size \"" + it->second + "\"");
        }
        data.useCrypt = true;
    }
    if (const auto it = options->find("--sign"); it != options->end()) {
        if (!parseKeyBits(it->second, data.signSize)) {
            return usageError(io, kServerKey, "unsupported key size \"" + it->second + "\"");
        }
        data.useSign = true;
    }
    // A channel without a use is refused like any other missing option,
    // before a file is looked at.
    if (!data.useCrypt && !data.useSign) {
        return usageError(io, kServerKey, "option --crypt or --sign is required");
    }
    if (toDir) {
        return createMany(data, options->at("--server"), users, options->at("--export-dir"), json,
                          io);
    }
    const TypedNames names{options->at("--server"), options->at("--user")};
    return runKeyExchange(data, names, std::string(), nullptr, io,
                          json ? kServerKey.name : nullptr);
}

}  // namespace

const Command& serverKeyCommand() { return kServerKey; }

}  // namespace Talvek::Cli
