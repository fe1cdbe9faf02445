// talvekkey java: a channel written as the Java client's key file, with the
// maintenance dialog's refusals.

#include <ostream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "keystore/keybase.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runJava(const std::vector<std::string>& args, Io& io);

const Command kJava{"java", "java FILE LOCAL REMOTE OUTPUT",
                    "Writes the channel LOCAL : REMOTE of the key base FILE as the Java\n"
                    "client's key file OUTPUT. The channel must sign, must not encrypt and\n"
                    "must be complete.",
                    runJava};

const char* const kJavaFailed = "Ошибка экспорта \"Java\" канала!";

bool isComplete(const ChannelSummary& c) {
    if (!c.useCrypt && !c.useSign) return false;
    if (c.useCrypt && !(c.hasCryptPrivate && c.hasCryptPublic)) return false;
    if (c.useSign && !(c.hasSignPrivate && c.hasSignPublic)) return false;
    return true;
}

int runJava(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 4) return usageError(io, kJava, "expected FILE LOCAL REMOTE OUTPUT");
    const std::string& path = args[0];
    const std::string& output = args[3];
    if (sameFile(path, output)) return usageError(io, kJava, "OUTPUT must differ from FILE");
    std::string local;
    std::string remote;
    if (!encodeChannelNames(args[1], args[2], local, remote, io)) return Failure;

    try {
        const auto file = openKeyFile(path, local, remote);
        if (!file) {
            printMessage(io.err, kOpenFailed);
            return Failure;
        }
        if (!file->channel) {
            printMessage(io.err, kJavaFailed);
            return Failure;
        }
        const ChannelSummary& c = *file->channel;
        if (c.useCrypt) {
            printMessage(io.err,
                         "Секретный канал содержит ключи кодирования.\nДля \"Java\" канала "
                         "должна присутствовать\nтолько подпись!");
            return Failure;
        }
        if (!c.useSign) {
            printMessage(io.err,
                         "Секретный канал не содержит ключей подписи.Для \"Java\" канала должна "
                         "присутствовать\nтолько подпись!");
            return Failure;
        }
        if (!isComplete(c)) {
            printMessage(io.err,
                         "Секретный канал содержит только приватные ключи\nили только открытые "
                         "ключи.\nДля \"Java\" канала допускаются только полные ключи!");
            return Failure;
        }
        KeyBase base;
        const SecureChannel* channel = nullptr;
        if (base.loadBase(path)) channel = base.findChannel(local, remote);
        if (!channel || !writeJavaKeyFile(*channel, output)) {
            printMessage(io.err, kJavaFailed);
            return Failure;
        }
    } catch (const SecureException& e) {
        printMessage(io.err, e.message());
        printMessage(io.err, kJavaFailed);
        return Failure;
    }
    printMessage(io.out, "\"Java\" канал успешно экспортирован!");
    return Success;
}

const CommandRegistration kRegistration(kJava);

}  // namespace

}  // namespace Talvek::Cli
