// talvekkey import-user: the user's public part completes the server's
// channel (last step of the exchange).

#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"

namespace Talvek::Cli {

namespace {

int runImportUser(const std::vector<std::string>& args, Io& io);

const Command kImportUser{
    "import-user", "import-user --base FILE --import FILE",
    "Completes the server's channel in the server key base with the public part\n"
    "that the user sent back. Names and key parameters come from that file.",
    runImportUser};

int runImportUser(const std::vector<std::string>& args, Io& io) {
    std::string error;
    const auto options = parseOptions(args, {"--base", "--import"}, {"--base", "--import"}, error);
    if (!options) return usageError(io, kImportUser, error);

    KeyWizardData data;
    data.mode = ImportUserPart;
    data.baseFile = options->at("--base");
    data.importFile = options->at("--import");
    return runKeyExchange(data, std::nullopt, std::string(), nullptr, io);
}

}  // namespace

const Command& importUserCommand() { return kImportUser; }

}  // namespace Talvek::Cli
