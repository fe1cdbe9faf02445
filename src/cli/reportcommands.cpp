// talvekkey export-html and dump: a channel's report from the template, and
// its plain-text dump with the full key numbers.

#include <ostream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "report/report.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

int runExportHtml(const std::vector<std::string>& args, Io& io);
int runDump(const std::vector<std::string>& args, Io& io);

const Command kExportHtml{
    "export-html", "export-html FILE LOCAL REMOTE OUTPUT [--template PATH]",
    "Writes the report of the channel LOCAL : REMOTE of FILE (a key base or a\n"
    "public-part file) as the HTML file OUTPUT. The template \"template.htmt\" is\n"
    "taken from the current directory, else from the installed data folder,\n"
    "unless --template names another. FILE may be - (stdin).",
    runExportHtml};

const Command kDump{"dump", "dump FILE LOCAL REMOTE OUTPUT",
                    "Writes the channel LOCAL : REMOTE of FILE as text, key numbers included,\n"
                    "to OUTPUT (created owner-only: it holds private keys). FILE may be -\n"
                    "(stdin).",
                    runDump};

const char* const kDumpFailed = "Ошибка выгрузки канала!";

int runExportHtml(const std::vector<std::string>& args, Io& io) {
    std::vector<std::string> positional;
    std::string templatePath = kTemplateName;
    bool templateGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--template" || a.rfind("--template=", 0) == 0) {
            if (templateGiven) return usageError(io, kExportHtml, "--template given twice");
            templateGiven = true;
            if (a == "--template") {
                if (i + 1 >= args.size())
                    return usageError(io, kExportHtml, "--template needs a PATH");
                templatePath = args[++i];
            } else {
                templatePath = a.substr(11);
            }
            if (templatePath.empty()) return usageError(io, kExportHtml, "--template needs a PATH");
        } else if (a.rfind("--", 0) == 0) {
            return usageError(io, kExportHtml, "unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 4) {
        return usageError(io, kExportHtml, "expected FILE LOCAL REMOTE OUTPUT");
    }
    const std::string& output = positional[3];
    if (refusesOutput(positional[0], output, io)) return Failure;
    try {
        CommandChannel c;
        if (!loadCommandChannel(positional[0], positional[1], positional[2],
                                MaintenanceMessages::ExportFailed, c, io, true)) {
            return Failure;
        }
        const std::string resolved = resolveTemplatePath(templatePath);
        if (refusesOutput(resolved, output, io)) return Failure;
        if (const FileResult exported = exportChannelHtml(*c.channel, output, resolved);
            !exported) {
            printFailure(io.err, MaintenanceMessages::ExportFailed, exported.failure());
            return Failure;
        }
        printMessage(io.out, MaintenanceMessages::Exported);
    } catch (const SecureException& e) {
        return keyStoreFailure(e, MaintenanceMessages::ExportFailed, io);
    }
    return Success;
}

int runDump(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 4) return usageError(io, kDump, "expected FILE LOCAL REMOTE OUTPUT");
    if (refusesOutput(args[0], args[3], io)) return Failure;
    try {
        CommandChannel c;
        if (!loadCommandChannel(args[0], args[1], args[2], kDumpFailed, c, io, true)) return Failure;
        if (const FileResult dumped = dumpChannelText(*c.channel, args[3]); !dumped) {
            printFailure(io.err, kDumpFailed, dumped.failure());
            return Failure;
        }
    } catch (const SecureException& e) {
        return keyStoreFailure(e, kDumpFailed, io);
    }
    printMessage(io.out, "Канал успешно выгружен!");
    return Success;
}

}  // namespace

const Command& exportHtmlCommand() { return kExportHtml; }
const Command& dumpCommand() { return kDump; }

}  // namespace Talvek::Cli
