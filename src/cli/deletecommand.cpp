// talvekkey delete: a channel removed from a key base, without the dialog's
// question.

#include <ostream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "fileio/filefault.h"
#include "keystore/keyops.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runDelete(const std::vector<std::string>& args, Io& io);

const Command kDelete{"delete", "delete FILE LOCAL REMOTE",
                      "Deletes the channel LOCAL : REMOTE from the key base FILE.\n"
                      "Public-part files cannot be changed.",
                      runDelete};

int runDelete(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 3) return usageError(io, kDelete, "expected FILE LOCAL REMOTE");
    const std::string& path = args[0];
    std::string local;
    std::string remote;
    if (!encodeChannelNames(args[1], args[2], local, remote, io)) return Failure;

    try {
        switch (removeChannelFrom(path, local, remote)) {
            case RemoveOutcome::Removed:
                break;
            case RemoveOutcome::NotABase:
                // Read a second time only to choose the message.
                if (isPublicPartFile(path)) {
                    printMessage(io.err, MaintenanceMessages::NoDeleteInPublicPart);
                    return Failure;
                }
                printFailure(io.err, MaintenanceMessages::OpenFailed);
                return Failure;
            case RemoveOutcome::NoChannels:
                noteFileFailure(path, FileFault::NoChannel);
                printFailure(io.err, MaintenanceMessages::OpenFailed);
                return Failure;
            case RemoveOutcome::LockFailed:
                printFailure(io.err, MaintenanceMessages::OpenFailed);
                return Failure;
            case RemoveOutcome::NoSuchChannel:
            case RemoveOutcome::SaveFailed:
                printFailure(io.err, MaintenanceMessages::DeleteFailed);
                return Failure;
        }
    } catch (const SecureException& e) {
        return keyStoreFailure(e, MaintenanceMessages::DeleteFailed, io);
    }
    printMessage(io.out, MaintenanceMessages::Deleted);
    return Success;
}

}  // namespace

const Command& deleteCommand() { return kDelete; }

}  // namespace Talvek::Cli
