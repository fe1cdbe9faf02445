#include "cli/keyexchange.h"

#include <memory>
#include <filesystem>
#include <ostream>

#include "checks/filecause.h"
#include "cli/actionjson.h"
#include "cli/input.h"
#include "cli/progress.h"

namespace Talvek::Cli {

std::optional<std::map<std::string, std::string>> parseOptions(
    const std::vector<std::string>& args, const std::set<std::string>& allowed,
    const std::set<std::string>& required, std::string& error,
    const std::set<std::string>& repeatable,
    std::map<std::string, std::vector<std::string>>* repeated) {
    std::map<std::string, std::string> values;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool haveValue = false;
        if (name.rfind("--", 0) != 0) {
            error = "unexpected argument \"" + name + "\"";
            return std::nullopt;
        }
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            haveValue = true;
        }
        if (!allowed.count(name)) {
            error = "unknown option " + name;
            return std::nullopt;
        }
        const bool repeats = repeatable.count(name) && repeated;
        if (values.count(name) && !repeats) {
            error = "option " + name + " given twice";
            return std::nullopt;
        }
        if (!haveValue) {
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (repeats) (*repeated)[name].push_back(value);
        values.emplace(name, value);
    }
    for (const std::string& name : required) {
        if (!values.count(name)) {
            error = "option " + name + " is required";
            return std::nullopt;
        }
    }
    return values;
}

bool parseKeyBits(const std::string& text, uint32_t& bits) {
    static const std::map<std::string, uint32_t> kSizes = {
        {"512", 512}, {"768", 768}, {"1024", 1024}, {"2048", 2048}, {"3072", 3072}, {"4096", 4096}};
    const auto it = kSizes.find(text);
    if (it == kSizes.end()) return false;
    bits = it->second;
    return true;
}

void printMessage(std::ostream& stream, const std::string& message) {
    stream << message << "\n";
}

bool refusesOutput(const std::string& input, const std::string& output, Io& io) {
    // A key file that comes through stdin is no file an output could replace.
    if (namesStdin(input)) return false;
    const CheckResult differs = checkOutputDiffers(input, output);
    if (differs.advances()) return false;
    printMessage(io.err, differs.message);
    return true;
}

std::string importedText() {
    return std::string(KeyMessages::UserPartImported) +
           "\nЕе необходимо обновить на криптосервере командой\n\"talvekkey upload\".";
}

std::string unreadWarning(uint64_t count) {
    FileFailure unread;
    unread.fault = FileFault::NotReadWhole;
    unread.count = count;
    return fileCause(unread);
}

std::string fileFaultText(const FileFailure& failure) {
    return fileCause(failure);
}

void printFingerprints(std::ostream& out, const std::string& heading,
                       const PublicPartFingerprints& fingerprints) {
    if (fingerprints.empty()) return;
    out << heading << "\n";
    if (!fingerprints.crypt.empty()) out << "  Кодирование: " << fingerprints.crypt << "\n";
    if (!fingerprints.sign.empty()) out << "  Подпись:     " << fingerprints.sign << "\n";
}

void printFailure(std::ostream& err, const std::string& message, const FileFailure& cause) {
    if (!message.empty()) printMessage(err, message);
    const std::string text = fileFaultText(cause);
    if (!text.empty()) err << "talvekkey: " << cause.path << ": " << text << "\n";
}

bool stopsAt(const CheckResult& result, Io& io) {
    if (!result.message.empty() && result.status != CheckResult::Status::Pass) {
        printFailure(io.err, result.message, result.cause);
    }
    return !result.advances();
}

void warnAboutWeakKeys(const KeyWizardData& data, Io& io) {
    // The sizes are still offered for peers that need them, but whoever
    // makes such a key is told what it is worth.
    if (data.mode == ImportUserPart) return;
    for (const uint32_t bits :
         {data.useCrypt ? data.cryptSize : 0u, data.useSign ? data.signSize : 0u}) {
        if (bits > 0 && bits < 1024) {
            io.err << "talvekkey: warning: a " << bits
                   << "-bit key is factored cheaply today; use 2048 bits or more\n";
            return;
        }
    }
}

std::string publicPartFileName(const std::string& userTyped) {
    std::string name = userTyped;
    for (char& c : name) {
        if (c == '/' || c == '\0') c = '_';
    }
    return name + ".okp";
}

int runKeyExchange(KeyWizardData& data, const std::optional<TypedNames>& typed,
                   const std::string& javaPath,
                   const std::function<CheckResult(const KeyWizardData&)>& beforeFinish, Io& io,
                   const char* jsonCommand) {
    auto stops = [&io](const CheckResult& result) { return stopsAt(result, io); };

    // The base and every file the action writes are locked once, before the
    // first check reads the base, and stay locked until the change is in
    // place: the checks and the change see one reading of the base, and
    // another program's lock is waited for once, then named as the cause.
    auto action = std::make_unique<BaseAction>();
    const std::vector<std::string> outputs{data.mode != ImportUserPart ? data.exportFile : "",
                                           data.javaClient ? javaPath : ""};
    if (const FileResult begun = action->begin(data.baseFile, outputs); !begun) {
        action.reset();  // nothing stays locked for the checks to wait on
        if (begun.failure().fault == FileFault::Locked) {
            printFailure(io.err, KeyMessages::OperationFailed, begun.failure());
            return Failure;
        }
        // Files that cannot be locked at all: the checks say what is wrong.
    }
    struct Holding {
        KeyWizardData& data;
        ~Holding() { data.action = nullptr; }
    } holding{data};
    data.action = action.get();

    if (stops(checkFilesPage(data))) return Failure;
    if (typed) {
        // Nothing cuts a name typed here: one the wizard could not hold is
        // refused, not shortened.
        if (stops(checkTypedKeyName(typed->server))) return Failure;
        if (stops(checkTypedKeyName(typed->user))) return Failure;
        if (stops(encodeKeyName(typed->server, data.serverKeyName))) return Failure;
        if (stops(encodeKeyName(typed->user, data.userKeyName))) return Failure;
    }
    if (stops(checkServerNamePresent(data))) return Failure;
    if (stops(checkNamesPage(data))) return Failure;
    if (stops(checkParamsPage(data))) return Failure;
    if (beforeFinish && stops(beforeFinish(data))) return Failure;

    warnAboutWeakKeys(data, io);
    // The Java file is named as it was given, not as the wizard names its own.
    PublicPartFingerprints written;
    CheckResult finish;
    {
        // Two 4096-bit keys take seconds: a watching terminal sees why.
        ProgressLine progress(io);
        progress.set(data.mode == ImportUserPart ? "importing the public part"
                                                 : "generating keys");
        finish = runFinish(data, javaPath, javaPath, &written);
    }
    if (stops(finish)) return Failure;
    if (jsonCommand) {
        ActionReport report{jsonCommand, {{data.baseFile, "base"}}, {}};
        if (data.mode != ImportUserPart) report.files.push_back({data.exportFile, "publicPart"});
        if (data.mode == CreateUserKey && data.javaClient) report.files.push_back({javaPath, "java"});
        // The server's channel is named server : user, the user's the other way round.
        const bool user = data.mode == CreateUserKey;
        report.channels.push_back(
            {user ? data.userKeyName : data.serverKeyName,
             user ? data.serverKeyName : data.userKeyName,
             data.mode == ImportUserPart ? "imported" : "created",
             data.mode != ImportUserPart ? &written : nullptr,
             data.mode != NewUserServerKey ? &data.imported : nullptr});
        printActionJson(io.out, report);
        return Success;
    }
    io.out << (data.mode == ImportUserPart ? importedText() : finish.message) << "\n";
    if (data.mode != NewUserServerKey) {
        printFingerprints(
            io.out,
            "Отпечатки ключей, импортированных из \"" + data.importFile + "\":", data.imported);
    }
    if (data.mode != ImportUserPart) {
        printFingerprints(io.out,
                          "Отпечатки ключей, записанных в \"" + data.exportFile + "\":", written);
    }
    return Success;
}

}  // namespace Talvek::Cli
