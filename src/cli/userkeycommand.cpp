// talvekkey user-key: the user's full key from the server's public part
// (second step of the exchange), optionally with the Java client key file.

#include "cli/actionjson.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"

namespace Talvek::Cli {

namespace {

int runUserKey(const std::vector<std::string>& args, Io& io);

const Command kUserKey{
    "user-key", "user-key --base FILE --import FILE --export FILE [--java FILE] [--json]",
    "Creates the user's full key in the user key base (made when missing) from\n"
    "the server's public part, and writes the user's public part to be sent back.\n"
    "--java also writes the Java client key file; only for a channel that signs\n"
    "and does not encrypt. --json prints what was written as JSON\n"
    "(schema in talvekkey-json.md).",
    runUserKey};

// The Java client works with signing keys only, as the wizard offers it; the
// exchange itself makes the keys complete.
CheckResult javaAllowed(const KeyWizardData& data) {
    const auto refusal = javaChannelRefusal(data.useCrypt, data.useSign, true);
    return refusal ? CheckResult::fail(*refusal) : CheckResult::pass();
}

int runUserKey(const std::vector<std::string>& given, Io& io) {
    std::vector<std::string> args = given;
    const bool json = takeJsonFlag(args);
    std::string error;
    const auto options = parseOptions(args, {"--base", "--import", "--export", "--java"},
                                      {"--base", "--import", "--export"}, error);
    if (!options) return usageError(io, kUserKey, error);

    KeyWizardData data;
    data.mode = CreateUserKey;
    data.baseFile = options->at("--base");
    data.importFile = options->at("--import");
    data.exportFile = options->at("--export");
    std::string javaPath;
    if (const auto it = options->find("--java"); it != options->end()) {
        javaPath = it->second;
        // Written last, it would replace one of the files just made or read.
        if (javaPath.empty() || sameFile(javaPath, data.baseFile) ||
            sameFile(javaPath, data.importFile) || sameFile(javaPath, data.exportFile)) {
            return usageError(io, kUserKey,
                              "--java must name a file other than --base, --import and --export");
        }
        data.javaClient = true;
    }
    return runKeyExchange(data, std::nullopt, javaPath, data.javaClient ? javaAllowed : nullptr,
                          io, json ? kUserKey.name : nullptr);
}

}  // namespace

const Command& userKeyCommand() { return kUserKey; }

}  // namespace Talvek::Cli
