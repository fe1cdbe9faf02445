// talvekkey seal and open: protect data from stdin with a channel's keys, or
// check and unprotect a sealed message; a channel pair can so be tried end to
// end.

#include <iterator>
#include <istream>
#include <ostream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "sealing/message.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runSeal(const std::vector<std::string>& args, Io& io);
int runOpen(const std::vector<std::string>& args, Io& io);

const Command kSeal{"seal", "seal FILE LOCAL REMOTE",
                    "Reads data from stdin and writes them to stdout as a sealed message\n"
                    "(signed and/or encrypted as the channel LOCAL : REMOTE of FILE allows,\n"
                    "in base64).",
                    runSeal};

const Command kOpen{"open", "open FILE LOCAL REMOTE",
                    "Reads a sealed message from stdin, checks and decrypts it with the\n"
                    "channel LOCAL : REMOTE of FILE and writes the data to stdout. Exit status\n"
                    "1 when the message does not open or its signature does not verify.",
                    runOpen};

std::string notFound(const std::vector<std::string>& args) {
    return "Секретный канал \"" + args[1] + " : " + args[2] + "\" не найден.";
}

std::string readAll(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int runSeal(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 3) return usageError(io, kSeal, "expected FILE LOCAL REMOTE");
    const char* const failed = "Ошибка защиты сообщения!";
    try {
        CommandChannel c;
        if (!loadCommandChannel(args[0], args[1], args[2], notFound(args), c, io)) {
            return Failure;
        }
        const std::string data = readAll(io.in);
        if (data.empty()) {
            printMessage(io.err, "Нет данных для защиты.");
            return Failure;
        }
        const MessageProtection protection = sealProtection(*c.channel);
        if (!protection.damaged && !protection.any()) {
            printMessage(io.err,
                         "Внимание: канал не подписывает и не кодирует сообщения, данные не "
                         "защищены.");
        }
        std::string sealed;
        if (!sealMessage(*c.channel, reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                         sealed)) {
            printMessage(io.err, failed);
            return Failure;
        }
        io.out << sealed << '\n';
    } catch (const SecureException& e) {
        return keyStoreFailure(e, failed, io);
    }
    return io.out.flush() ? Success : Failure;
}

int runOpen(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 3) return usageError(io, kOpen, "expected FILE LOCAL REMOTE");
    const char* const failed =
        "Сообщение не открывается: оно повреждено, подделано или защищено для другого канала.";
    try {
        CommandChannel c;
        if (!loadCommandChannel(args[0], args[1], args[2], notFound(args), c, io)) {
            return Failure;
        }
        const std::string text = readAll(io.in);
        const MessageProtection protection = openProtection(*c.channel);
        if (!protection.damaged && !protection.any()) {
            printMessage(io.err,
                         "Внимание: канал не проверяет подпись и не раскодирует сообщения, "
                         "подлинность не проверена.");
        }
        std::vector<uint8_t> data;
        if (!openMessage(*c.channel, text.data(), text.size(), data)) {
            printMessage(io.err, failed);
            return Failure;
        }
        io.out.write(reinterpret_cast<const char*>(data.data()),
                     static_cast<std::streamsize>(data.size()));
    } catch (const SecureException& e) {
        return keyStoreFailure(e, failed, io);
    }
    return io.out.flush() ? Success : Failure;
}

}  // namespace

const Command& sealCommand() { return kSeal; }
const Command& openCommand() { return kOpen; }

}  // namespace Talvek::Cli
