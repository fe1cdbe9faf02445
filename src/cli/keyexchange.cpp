#include "cli/keyexchange.h"

#include <filesystem>
#include <ostream>
#include <system_error>

namespace Talvek::Cli {

std::optional<std::map<std::string, std::string>> parseOptions(
    const std::vector<std::string>& args, const std::set<std::string>& allowed,
    const std::set<std::string>& required, std::string& error) {
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
        if (values.count(name)) {
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
        values[name] = value;
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
    const CheckResult differs = checkOutputDiffers(input, output);
    if (differs.advances()) return false;
    printMessage(io.err, differs.message);
    return true;
}

int runKeyExchange(KeyWizardData& data, const std::optional<TypedNames>& typed,
                   const std::string& javaPath,
                   const std::function<CheckResult(const KeyWizardData&)>& beforeFinish, Io& io) {
    // Prints a failed step's message; true when the run must stop there.
    auto stops = [&io](const CheckResult& result) {
        if (!result.message.empty() && result.status != CheckResult::Status::Pass) {
            printMessage(io.err, result.message);
        }
        return !result.advances();
    };

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

    // The Java file is named as it was given, not as the wizard names its own.
    const CheckResult finish = runFinish(data, javaPath, javaPath);
    if (stops(finish)) return Failure;
    io.out << finish.message << "\n";
    return Success;
}

}  // namespace Talvek::Cli
