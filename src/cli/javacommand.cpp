// talvekkey java: a channel written as the Java client's key file, with the
// maintenance dialog's refusals.

#include <ostream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "keystore/keyops.h"

namespace Talvek::Cli {

namespace {

int runJava(const std::vector<std::string>& args, Io& io);

const Command kJava{"java", "java FILE LOCAL REMOTE OUTPUT",
                    "Writes the channel LOCAL : REMOTE of the key base FILE as the Java\n"
                    "client's key file OUTPUT. The channel must sign, must not encrypt and\n"
                    "must be complete. FILE may be - (stdin).",
                    runJava};

int runJava(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 4) return usageError(io, kJava, "expected FILE LOCAL REMOTE OUTPUT");
    const std::string& output = args[3];
    if (refusesOutput(args[0], output, io)) return Failure;

    try {
        CommandChannel c;
        if (!loadCommandChannel(args[0], args[1], args[2], MaintenanceMessages::JavaFailed, c, io,
                                true))
            return Failure;
        ChannelSummary summary;
        if (!c.channel->toSummary(&summary)) {
            printFailure(io.err, MaintenanceMessages::JavaFailed, {});
            return Failure;
        }
        if (const auto refusal =
                javaChannelRefusal(summary.useCrypt, summary.useSign, isChannelComplete(summary))) {
            printMessage(io.err, *refusal);
            return Failure;
        }
        // Only a key base holds a client's private key; a public-part file
        // that claims one is not trusted with it.
        const FileResult written = c.kind == KeyFileKind::KeyBase
                                       ? writeJavaKeyFile(*c.channel, output)
                                       : FileResult::failed();
        if (!written) {
            printFailure(io.err, MaintenanceMessages::JavaFailed, written.failure());
            return Failure;
        }
    } catch (const SecureException& e) {
        return keyStoreFailure(e, MaintenanceMessages::JavaFailed, io);
    }
    printMessage(io.out, MaintenanceMessages::JavaWritten);
    return Success;
}

}  // namespace

const Command& javaCommand() { return kJava; }

}  // namespace Talvek::Cli
