// talvekkey seal and open: protect data (a file or stdin) with a channel's
// keys, or check and unprotect a sealed message; a channel pair can so be
// tried end to end.

#include <optional>
#include <ostream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/input.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "sealing/message.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runSeal(const std::vector<std::string>& args, Io& io);
int runOpen(const std::vector<std::string>& args, Io& io);

const Command kSeal{"seal", "seal FILE LOCAL REMOTE [INPUT] [--clear]",
                    "Reads data from INPUT (stdin when INPUT is - or absent) and writes them\n"
                    "to stdout as a sealed message (signed and/or encrypted as the channel\n"
                    "LOCAL : REMOTE of FILE allows, in base64). A channel that neither signs\n"
                    "nor encrypts is refused unless --clear says that clear text is wanted.\n"
                    "FILE may be - (stdin) when INPUT is a file.",
                    runSeal};

const Command kOpen{"open", "open FILE LOCAL REMOTE [INPUT]",
                    "Reads a sealed message from INPUT (stdin when INPUT is - or absent),\n"
                    "checks and decrypts it with the channel LOCAL : REMOTE of FILE and\n"
                    "writes the data to stdout. Exit status 1 when the message does not open\n"
                    "or its signature does not verify. FILE may be - (stdin) when INPUT is a\n"
                    "file.",
                    runOpen};

// FILE LOCAL REMOTE [INPUT] as seal and open take them.
struct MessageArgs {
    std::string file;
    std::string local;
    std::string remote;
    std::string input = "-";
};

// Nothing (after the usage error) when the positions do not fit: three or
// four of them, and standard input for one of FILE and INPUT at most.
std::optional<MessageArgs> messageArgs(const std::vector<std::string>& positional,
                                       const Command& command, Io& io, int& code) {
    // An option this command does not know is no file name ("-" is stdin).
    for (const std::string& arg : positional) {
        if (arg.size() > 1 && arg[0] == '-') {
            code = usageError(io, command, "unknown option " + arg);
            return std::nullopt;
        }
    }
    if (positional.size() != 3 && positional.size() != 4) {
        code = usageError(io, command, "expected FILE LOCAL REMOTE [INPUT]");
        return std::nullopt;
    }
    MessageArgs a{positional[0], positional[1], positional[2]};
    if (positional.size() == 4) a.input = positional[3];
    if (namesStdin(a.file) && namesStdin(a.input)) {
        code = usageError(io, command, "FILE and INPUT cannot both be stdin");
        return std::nullopt;
    }
    return a;
}

std::string notFound(const MessageArgs& a) {
    return "Секретный канал \"" + a.local + " : " + a.remote + "\" не найден.";
}

int runSeal(const std::vector<std::string>& args, Io& io) {
    std::vector<std::string> positional;
    bool clear = false;
    for (const std::string& arg : args) {
        if (arg == "--clear") {
            clear = true;
        } else {
            positional.push_back(arg);
        }
    }
    int code = Usage;
    const std::optional<MessageArgs> a = messageArgs(positional, kSeal, io, code);
    if (!a) return code;
    const char* const failed = "Ошибка защиты сообщения!";
    try {
        CommandChannel c;
        if (!loadCommandChannel(a->file, a->local, a->remote, notFound(*a), c, io, true)) {
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
        SecretBytes data;
        if (!readInput(a->input, data, failed, io)) return Failure;
        if (data.empty()) {
            printMessage(io.err, "Нет данных для защиты.");
            return Failure;
        }
        std::string sealed;
        if (!sealMessage(*c.channel, data.data(), data.size(), sealed)) {
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
    int code = Usage;
    const std::optional<MessageArgs> a = messageArgs(args, kOpen, io, code);
    if (!a) return code;
    const char* const failed =
        "Сообщение не открывается: оно повреждено, подделано или защищено для другого канала.";
    try {
        CommandChannel c;
        if (!loadCommandChannel(a->file, a->local, a->remote, notFound(*a), c, io, true)) {
            return Failure;
        }
        SecretBytes text;
        if (!readInput(a->input, text, failed, io)) return Failure;
        const MessageProtection protection = openProtection(*c.channel);
        if (!protection.damaged && !protection.any()) {
            printMessage(io.err,
                         "Внимание: канал не проверяет подпись и не раскодирует сообщения, "
                         "подлинность не проверена.");
        }
        std::vector<uint8_t> data;
        if (!openMessage(*c.channel, reinterpret_cast<const char*>(text.data()), text.size(),
                         data)) {
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
