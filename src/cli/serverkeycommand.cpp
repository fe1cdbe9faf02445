// talvekkey server-key: the server's keys for a new user (first step of the
// exchange), with the checks the wizard makes in that mode.

#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"

namespace Talvek::Cli {

namespace {

int runServerKey(const std::vector<std::string>& args, Io& io);

const Command kServerKey{
    "server-key",
    "server-key --base FILE --export FILE --server NAME --user NAME [--crypt BITS] "
    "[--sign BITS]",
    "Creates the server's own keys for a new user in the server key base FILE\n"
    "(made when missing) and writes their public part, to be sent to the user.\n"
    "--crypt and --sign choose the uses and their sizes in bits\n"
    "(512, 768, 1024, 2048, 3072 or 4096); at least one is needed.",
    runServerKey};

int runServerKey(const std::vector<std::string>& args, Io& io) {
    std::string error;
    const auto options =
        parseOptions(args, {"--base", "--export", "--server", "--user", "--crypt", "--sign"},
                     {"--base", "--export", "--server", "--user"}, error);
    if (!options) return usageError(io, kServerKey, error);

    KeyWizardData data;
    data.mode = NewUserServerKey;
    data.baseFile = options->at("--base");
    data.exportFile = options->at("--export");
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
    const TypedNames names{options->at("--server"), options->at("--user")};
    return runKeyExchange(data, names, std::string(), nullptr, io);
}

}  // namespace

const Command& serverKeyCommand() { return kServerKey; }

}  // namespace Talvek::Cli
