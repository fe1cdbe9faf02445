// talvekkey delete: a channel removed from a key base, without the dialog's
// question.

#include <ostream>

#include "cli/channelarg.h"
#include "cli/actionjson.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "cli/progress.h"
#include "keystore/batchops.h"
#include "keystore/keyops.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runDelete(const std::vector<std::string>& args, Io& io);

const Command kDelete{"delete", "delete FILE LOCAL REMOTE [LOCAL REMOTE ...] [--json]",
                      "Deletes the channel LOCAL : REMOTE from the key base FILE.\n"
                      "Several pairs are deleted in one step: when any of them is not\n"
                      "there, none is deleted. Public-part files cannot be changed.\n"
                      "--json prints what was written as JSON (schema in talvekkey-json.md).",
                      runDelete};

int runDelete(const std::vector<std::string>& given, Io& io) {
    std::vector<std::string> args = given;
    const bool json = takeJsonFlag(args);
    if (args.size() < 3 || args.size() % 2 != 1) {
        return usageError(io, kDelete, "expected FILE LOCAL REMOTE [LOCAL REMOTE ...]");
    }
    const std::string& path = args[0];
    std::vector<ChannelNames> channels((args.size() - 1) / 2);
    for (size_t i = 0; i < channels.size(); ++i) {
        if (!encodeChannelNames(args[1 + 2 * i], args[2 + 2 * i], channels[i].local,
                                channels[i].remote, io)) {
            return Failure;
        }
    }

    RemoveResult removal{RemoveOutcome::SaveFailed, {}};
    size_t missing = 0;
    try {
        ProgressLine progress(io);
        progress.set("deleting " + std::to_string(channels.size()) + " channels");
        removal = removeChannelsFrom(path, channels, &missing);
    } catch (const SecureException& e) {
        return keyStoreFailure(e, MaintenanceMessages::DeleteFailed, io);
    }
    switch (removal.outcome) {
        case RemoveOutcome::Removed:
            break;
        case RemoveOutcome::NotABase:
            // Read a second time only to choose the message.
            if (isPublicPartFile(path)) {
                printMessage(io.err, MaintenanceMessages::NoDeleteInPublicPart);
                return Failure;
            }
            printFailure(io.err, MaintenanceMessages::OpenFailed, removal.cause);
            return Failure;
        case RemoveOutcome::NoChannels:
            printFailure(io.err, MaintenanceMessages::OpenFailed, {path, FileFault::NoChannel});
            return Failure;
        case RemoveOutcome::LockFailed:
            printFailure(io.err, MaintenanceMessages::OpenFailed, removal.cause);
            return Failure;
        case RemoveOutcome::NoSuchChannel:
            printFailure(io.err, MaintenanceMessages::DeleteFailed, removal.cause);
            // With several pairs, which one was missing.
            if (channels.size() > 1) {
                io.err << "talvekkey: no channel " << args[1 + 2 * missing] << " : "
                       << args[2 + 2 * missing] << " in " << path << "\n";
            }
            return Failure;
        case RemoveOutcome::SaveFailed:
            printFailure(io.err, MaintenanceMessages::DeleteFailed, removal.cause);
            return Failure;
    }
    if (json) {
        ActionReport report{kDelete.name, {{path, "base"}}, {}};
        for (const ChannelNames& channel : channels) {
            report.channels.push_back({channel.local, channel.remote, "deleted", nullptr, nullptr});
        }
        printActionJson(io.out, report);
        return Success;
    }
    printMessage(io.out, MaintenanceMessages::Deleted);
    return Success;
}

}  // namespace

const Command& deleteCommand() { return kDelete; }

}  // namespace Talvek::Cli
