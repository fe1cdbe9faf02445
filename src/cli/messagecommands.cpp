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
#include "fileio/binaryfile.h"
#include "sealing/message.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runSeal(const std::vector<std::string>& args, Io& io);
int runOpen(const std::vector<std::string>& args, Io& io);

const Command kSeal{"seal", "seal FILE LOCAL REMOTE [--clear]",
                    "Reads data from stdin and writes them to stdout as a sealed message\n"
                    "(signed and/or encrypted as the channel LOCAL : REMOTE of FILE allows,\n"
                    "in base64). A channel that neither signs nor encrypts is refused\n"
                    "unless --clear says that clear text is wanted.",
                    runSeal};

const Command kOpen{"open", "open FILE LOCAL REMOTE",
                    "Reads a sealed message from stdin, checks and decrypts it with the\n"
                    "channel LOCAL : REMOTE of FILE and writes the data to stdout. Exit status\n"
                    "1 when the message does not open or its signature does not verify.",
                    runOpen};

std::string notFound(const std::vector<std::string>& args) {
    return "Секретный канал \"" + args[1] + " : " + args[2] + "\" не найден.";
}

// Standard input is capped like a key file: endless input (/dev/zero) ends
// the command with a cause instead of exhausting memory. False when more
// than kMaxKeyFileBytes arrive; the cause line is printed then.
bool readAll(std::istream& in, std::string& data, const char* failed, Io& io) {
    data.clear();
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        if (data.size() + static_cast<size_t>(in.gcount()) > kMaxKeyFileBytes) {
            printMessage(io.err, failed);
            io.err << "talvekkey: stdin: more than " << (kMaxKeyFileBytes >> 20)
                   << " MiB of input\n";
            return false;
        }
        data.append(buffer, static_cast<size_t>(in.gcount()));
    }
    return true;
}

int runSeal(const std::vector<std::string>& args, Io& io) {
    std::vector<std::string> names;
    bool clear = false;
    for (const std::string& arg : args) {
        if (arg == "--clear") {
            clear = true;
        } else {
            names.push_back(arg);
        }
    }
    if (names.size() != 3) return usageError(io, kSeal, "expected FILE LOCAL REMOTE");
    const char* const failed = "Ошибка защиты сообщения!";
    try {
        CommandChannel c;
        if (!loadCommandChannel(names[0], names[1], names[2], notFound(names), c, io)) {
            return Failure;
        }
        // Whoever asks to seal expects protection: a channel that gives
        // none writes clear text only when that is asked for.
        const MessageProtection protection = sealProtection(*c.channel);
        if (!protection.damaged && !protection.any()) {
            if (!clear) {
                printMessage(io.err,
                             "Канал не подписывает и не кодирует сообщения: данные не были бы "
                             "защищены.\nУкажите --clear, если нужен открытый текст.");
                return Failure;
            }
            printMessage(io.err,
                         "Внимание: канал не подписывает и не кодирует сообщения, данные не "
                         "защищены.");
        }
        std::string data;
        if (!readAll(io.in, data, failed, io)) return Failure;
        if (data.empty()) {
            printMessage(io.err, "Нет данных для защиты.");
            return Failure;
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
        std::string text;
        if (!readAll(io.in, text, failed, io)) return Failure;
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
