// talvekkey export-public: a channel's public part written again from the
// base that holds its keys, the same bytes the exchange wrote, so that an
// exchange interrupted after the base was saved is finished without new keys.

#include <ostream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "keystore/keyops.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runExportPublic(const std::vector<std::string>& args, Io& io);

const Command kExportPublic{
    "export-public", "export-public FILE LOCAL REMOTE OUTPUT",
    "Writes the public part of the channel LOCAL : REMOTE of the key base FILE\n"
    "to OUTPUT again, byte for byte as the key exchange wrote it: for an\n"
    "exchange that was interrupted after the base was saved. FILE may be -\n"
    "(stdin).",
    runExportPublic};

constexpr const char* kFailed = "Ошибка записи открытой части ключа!";

int runExportPublic(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 4) return usageError(io, kExportPublic, "expected FILE LOCAL REMOTE OUTPUT");
    const std::string& output = args[3];
    if (refusesOutput(args[0], output, io)) return Failure;
    try {
        CommandChannel c;
        if (!loadCommandChannel(args[0], args[1], args[2], kFailed, c, io, true)) return Failure;
        // Only a key base holds the own keys a public part is made from.
        const FileResult written = c.kind == KeyFileKind::KeyBase
                                       ? writePublicPart(*c.channel, output)
                                       : FileResult::failed();
        if (!written) {
            printFailure(io.err, kFailed, written.failure());
            return Failure;
        }
    } catch (const SecureException& e) {
        return keyStoreFailure(e, kFailed, io);
    }
    io.out << "Файл \"" << output << "\" с открытой частью ключа успешно создан.\n";
    return Success;
}

}  // namespace

const Command& exportPublicCommand() {
    return kExportPublic;
}

}  // namespace Talvek::Cli
