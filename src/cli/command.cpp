#include "cli/command.h"

#include <algorithm>
#include <ostream>

#include "cli/commandtable.h"
#include "keystore/version.h"

namespace Talvek::Cli {

namespace {

// Every command talvekkey knows; --help lists them sorted by name.
const std::vector<Command>& table() {
    static const std::vector<Command> all{
        deleteCommand(),  dumpCommand(),   exportHtmlCommand(), exportPemCommand(),
        exportPublicCommand(), fetchCommand(),
        importUserCommand(), inspectCommand(), interfacesCommand(), javaCommand(),
        openCommand(),    sealCommand(),   serverKeyCommand(),  uploadCommand(),
        userKeyCommand()};
    return all;
}

void printHelp(std::ostream& out) {
    out << "talvekkey: key files of the Talvek security layer from the command line.\n\n"
           "Usage: talvekkey COMMAND [ARGUMENTS]\n"
           "       talvekkey --help | --version | COMMAND --help\n\n"
           "Key names are given in UTF-8 and stored in Windows-1251.\n"
           "An option's value is the next word or joined to it by \"=\" (--base=FILE).\n"
           "A FILE or INPUT of - is read from stdin where a command says so.\n"
           "Exit status: 0 success, 1 failure (the message is on stderr), 2 usage error.\n\n"
           "Commands:\n";
    std::vector<Command> sorted = table();
    std::sort(sorted.begin(), sorted.end(),
              [](const Command& a, const Command& b) { return std::string(a.name) < b.name; });
    for (const Command& c : sorted) {
        out << "  " << c.synopsis << "\n";
        std::string text = c.description;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            out << "      " << text.substr(start, end - start) << "\n";
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
}

}  // namespace

const std::vector<Command>& commands() {
    return table();
}

int usageError(Io& io, const Command& command, const std::string& message) {
    io.err << "talvekkey: " << message << "\nUsage: talvekkey " << command.synopsis << "\n";
    return Usage;
}

int runTalvekkey(const std::vector<std::string>& args, Io& io) {
    if (args.empty()) {
        printHelp(io.err);
        return Usage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printHelp(io.out);
        return Success;
    }
    if (args[0] == "--version" || args[0] == "-V") {
        io.out << "talvekkey " << kVersion << "\n";
        return Success;
    }
    for (const Command& c : table()) {
        if (args[0] != c.name) continue;
        std::vector<std::string> rest(args.begin() + 1, args.end());
        if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
            io.out << "Usage: talvekkey " << c.synopsis << "\n" << c.description << "\n";
            return Success;
        }
        return c.run(rest, io);
    }
    io.err << "talvekkey: unknown command \"" << args[0] << "\"; see talvekkey --help\n";
    return Usage;
}

}  // namespace Talvek::Cli
