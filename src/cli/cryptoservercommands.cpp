// talvekkey interfaces | fetch | upload: the administrator's crypto-server
// client from the command line, with the connection wizard's messages.

#include <climits>
#include <cstdlib>
#include <ostream>

#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "checks/connectchecks.h"
#include "cryptoclient/cryptoserverclient.h"
#include "sealing/talvekcodec.h"
#include "keystore/cp1251.h"
#include "checks/keychecks.h"
#include "checks/servermessages.h"

namespace Talvek::Cli {

namespace {

int runInterfaces(const std::vector<std::string>& args, Io& io);
int runFetch(const std::vector<std::string>& args, Io& io);
int runUpload(const std::vector<std::string>& args, Io& io);

const Command kInterfaces{
    "interfaces", "interfaces --host HOST --port PORT --admin-base FILE --admin NAME --server NAME",
    "Lists the interfaces the crypto server serves, one per line. FILE is the\n"
    "administrator's key base with the channel --admin -> --server; names in UTF-8.",
    runInterfaces};
const Command kFetch{"fetch",
                     "fetch --host HOST --port PORT --admin-base FILE --admin NAME --server NAME "
                     "--interface NAME --file FILE",
                     "Fetches the key base of an interface into FILE (owner-only, replaced\n"
                     "only when the whole transfer succeeds).",
                     runFetch};
const Command kUpload{"upload",
                      "upload --host HOST --port PORT --admin-base FILE --admin NAME --server "
                      "NAME --interface NAME --file FILE",
                      "Installs FILE on the crypto server as the key base of an interface.",
                      runUpload};

// The parameters from the options; a usage error code when they do not do.
int connectionParams(const Command& command, const std::vector<std::string>& args,
                     bool withInterface, CryptoServerParams& params, Io& io) {
    std::set<std::string> names = {"--host", "--port", "--admin-base", "--admin", "--server"};
    if (withInterface) {
        names.insert("--interface");
        names.insert("--file");
    }
    std::string error;
    const auto options = parseOptions(args, names, names, error);
    if (!options) return usageError(io, command, error);

    const std::string& port = options->at("--port");
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 1 || number > 65535)
        return usageError(io, command, "--port takes a number from 1 to 65535");
    params.address = options->at("--host");
    params.port = static_cast<int32_t>(number);
    params.adminKeyBase = options->at("--admin-base");

    std::vector<std::pair<const char*, std::string*>> keyNames = {
        {"--admin", &params.adminKeyName}, {"--server", &params.serverKeyName}};
    if (withInterface) {
        keyNames.push_back({"--interface", &params.interfaceName});
        params.localFile = options->at("--file");
    }
    for (const auto& [option, target] : keyNames) {
        const CheckResult encoded = encodeKeyName(options->at(option), *target);
        if (!encoded.advances()) {
            printMessage(io.err, encoded.message);
            return Failure;
        }
    }
    return Success;
}

// The connection wizard's checks, its message printed for the first that
// fails.
bool passes(const CheckResult& check, Io& io) {
    if (!check.advances()) printFailure(io.err, check.message, check.cause);
    return check.advances();
}

int runInterfaces(const std::vector<std::string>& args, Io& io) {
    CryptoServerParams params;
    if (const int rc = connectionParams(kInterfaces, args, false, params, io); rc != Success)
        return rc;
    if (!passes(checkAdminChannel(params), io)) return Failure;
    if (const ExchangeResult result = listInterfaces(params); !result) {
        printMessage(io.err, exchangeMessage(result, params));
        return Failure;
    }
    for (const std::string& name :
         splitInterfaceList(params.interfaceList.data(), params.interfaceList.size()))
        io.out << shownName(name) << "\n";
    return Success;
}

// The exchange's message on its stream and, when the local file is to
// blame, the line "talvekkey: FILE: cause" after it.
void printOutcome(const ExchangeResult& result, const CryptoServerParams& params, Io& io) {
    if (result)
        printMessage(io.out, exchangeMessage(result, params));
    else
        printFailure(io.err, exchangeMessage(result, params), result.fileFailure);
}

int runTransfer(const Command& command, const std::vector<std::string>& args, Io& io,
                ExchangeResult (*operation)(const CryptoServerParams&), int32_t code) {
    CryptoServerParams params;
    if (const int rc = connectionParams(command, args, true, params, io); rc != Success) return rc;
    params.operation = code;
    if (!passes(checkAdminChannel(params), io) || !passes(checkTransfer(params), io))
        return Failure;
    const ExchangeResult result = operation(params);
    printOutcome(result, params, io);
    return result ? Success : Failure;
}

int runFetch(const std::vector<std::string>& args, Io& io) {
    return runTransfer(kFetch, args, io, fetchKeyBase, ServerCode::FetchKeyBase);
}

int runUpload(const std::vector<std::string>& args, Io& io) {
    return runTransfer(kUpload, args, io, uploadKeyBase, ServerCode::UploadKeyBase);
}

}  // namespace

const Command& interfacesCommand() { return kInterfaces; }
const Command& fetchCommand() { return kFetch; }
const Command& uploadCommand() { return kUpload; }

}  // namespace Talvek::Cli
