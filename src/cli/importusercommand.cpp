// talvekkey import-user: the users' public parts complete the server's
// channels (last step of the exchange); several parts go in together or not
// at all.

#include <ostream>

#include "cli/actionjson.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/progress.h"
#include "keystore/batchops.h"
#include "keystore/cp1251.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runImportUser(const std::vector<std::string>& args, Io& io);

const Command kImportUser{
    "import-user", "import-user --base FILE --import FILE [--import FILE ...] [--json]",
    "Completes the server's channel in the server key base with the public part\n"
    "that the user sent back. Names and key parameters come from that file.\n"
    "Several --import parts are imported in one step: all of them, or, when any\n"
    "is refused, none (each refused part is listed with its cause).\n"
    "--json prints what was written as JSON (schema in talvekkey-json.md).",
    runImportUser};

// Why one part was refused, on one line.
std::string refusal(const ImportedPart& part) {
    std::string text;
    switch (part.fault) {
        case ItemFault::SameFileAsBase:
            text = KeyMessages::PublicEqualsPrivate;
            break;
        case ItemFault::Unreadable:
            text = KeyMessages::NoPublicPartFile;
            break;
        case ItemFault::Repeated:
            text = "another part of this import completes the same channel";
            break;
        default:
            text = KeyMessages::ImportMismatchServer;
            break;
    }
    for (char& c : text) {
        if (c == '\n') c = ' ';
    }
    if (part.cause.fault != FileFault::None) text += " (" + fileFaultText(part.cause) + ")";
    return text;
}

int importMany(const std::string& baseFile, const std::vector<std::string>& paths, bool json,
               Io& io) {
    for (const std::string* path : {&baseFile}) {
        if (path->size() > kMaxPathBytes) {
            printMessage(io.err, KeyMessages::PathTooLong);
            return Failure;
        }
    }
    std::vector<ImportedPart> parts(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        if (paths[i].size() > kMaxPathBytes) {
            printMessage(io.err, KeyMessages::PathTooLong);
            return Failure;
        }
        parts[i].path = paths[i];
    }
    BatchResult imported{BatchOutcome::SaveFailed, {}};
    try {
        ProgressLine progress(io);
        progress.set("importing " + std::to_string(parts.size()) + " public parts");
        imported = importUserPublicParts(baseFile, parts);
    } catch (const SecureException&) {
        imported = {BatchOutcome::SaveFailed, {}};  // a key, not a file, failed
    }
    switch (imported.outcome) {
        case BatchOutcome::Done:
            break;
        case BatchOutcome::Refused: {
            size_t refused = 0;
            for (const ImportedPart& part : parts) {
                if (part.fault == ItemFault::None) continue;
                ++refused;
                io.err << "talvekkey: " << part.path << ": " << refusal(part) << "\n";
            }
            io.err << "talvekkey: nothing imported: " << refused << " of " << parts.size()
                   << " public parts refused\n";
            return Failure;
        }
        case BatchOutcome::NotABase:
            printFailure(io.err, KeyMessages::NoPrivateBase, imported.cause);
            return Failure;
        default:
            printFailure(io.err, KeyMessages::OperationFailed, imported.cause);
            return Failure;
    }
    if (json) {
        ActionReport report{kImportUser.name, {{baseFile, "base"}}, {}};
        for (const ImportedPart& part : parts) {
            report.channels.push_back(
                {part.serverName, part.userName, "imported", nullptr, &part.fingerprints});
        }
        printActionJson(io.out, report);
        return Success;
    }
    io.out << importedText() << "\n";
    for (const ImportedPart& part : parts) {
        io.out << "Канал " << cp1251ToPrintable(part.serverName) << " : "
               << cp1251ToPrintable(part.userName) << "\n";
        printFingerprints(io.out,
                          "Отпечатки ключей, импортированных из \"" + part.path + "\":",
                          part.fingerprints);
    }
    return Success;
}

int runImportUser(const std::vector<std::string>& given, Io& io) {
    std::vector<std::string> args = given;
    const bool json = takeJsonFlag(args);
    std::string error;
    std::map<std::string, std::vector<std::string>> repeated;
    const auto options = parseOptions(args, {"--base", "--import"}, {"--base", "--import"}, error,
                                      {"--import"}, &repeated);
    if (!options) return usageError(io, kImportUser, error);
    const std::vector<std::string>& imports = repeated["--import"];
    if (imports.size() > 1) return importMany(options->at("--base"), imports, json, io);

    KeyWizardData data;
    data.mode = ImportUserPart;
    data.baseFile = options->at("--base");
    data.importFile = options->at("--import");
    return runKeyExchange(data, std::nullopt, std::string(), nullptr, io,
                          json ? kImportUser.name : nullptr);
}

}  // namespace

const Command& importUserCommand() { return kImportUser; }

}  // namespace Talvek::Cli
