#pragma once
// What the key exchange commands share: their option parsing and the run of
// the wizard's page checks and finish step, messages included.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/command.h"
#include "fileio/fileexists.h"
#include "fileio/fileresult.h"
#include "checks/keychecks.h"

namespace Talvek::Cli {

// "--name VALUE" or "--name=VALUE" pairs, each name at most once. Fills error
// and returns nothing for an unknown or repeated option, a missing value, a
// positional argument or a missing required option.
// Options named in repeatable may be given more than once: every value, in
// order, goes to repeated, and the first also to the result.
std::optional<std::map<std::string, std::string>> parseOptions(
    const std::vector<std::string>& args, const std::set<std::string>& allowed,
    const std::set<std::string>& required, std::string& error,
    const std::set<std::string>& repeatable = {},
    std::map<std::string, std::vector<std::string>>* repeated = nullptr);

// Key sizes accepted on the command line: the wizard's 512, 768 and 1024, and
// 2048, 3072 and 4096 for administrators who want stronger keys.
bool parseKeyBits(const std::string& text, uint32_t& bits);

// Prints a message of the program on stderr, one line feed after it.
void printMessage(std::ostream& stream, const std::string& message);

// An output that is the input itself (however spelt): prints the refusal and
// returns true.
bool refusesOutput(const std::string& input, const std::string& output, Io& io);

// A failure: the program's message, then, when a file is to blame, the line
// "talvekkey: FILE: cause". The cause is the one the failing step returned,
// so a command names it once, where it reports that step.
void printFailure(std::ostream& err, const std::string& message, const FileFailure& cause);

// What a key base's read left behind its last node (a damaged count).
std::string unreadWarning(uint64_t count);

// The cause of a file's failure in a few words ("locked by another
// program", the system's own words, ...); empty for none.
std::string fileFaultText(const FileFailure& failure);

// A public part's fingerprints under a heading that names its file, for the
// two sides to compare over another channel than the one the file took.
void printFingerprints(std::ostream& out, const std::string& heading,
                       const PublicPartFingerprints& fingerprints);

// Prints a failed check's message (with the file's cause the check returned) and gives true
// when the command must stop there; a Warn is printed and passed.
bool stopsAt(const CheckResult& result, Io& io);

// import-user's success: the window's text, with the command that takes the
// base to the crypto server where the window names its button.
std::string importedText();

// Mode 0's warning about keys that are cheap to factor, on stderr.
void warnAboutWeakKeys(const KeyWizardData& data, Io& io);

// The file name of a user's public part: the name as typed plus ".okp", each
// character a file name cannot hold ("/") replaced by "_".
std::string publicPartFileName(const std::string& userTyped);

// The names typed on the command line (UTF-8), for mode 0; the other modes
// take their names from the import file.
struct TypedNames {
    std::string server;
    std::string user;
};

// The page checks in the wizard's order, then the finish step:
// files (mode 0's warning printed and passed), key names (typed names encoded
// to Windows-1251 first), key parameters, the caller's extra check, the
// operation. Exit code and messages as the command line reports them. With
// jsonCommand, success prints what was written as JSON (actionjson.h) under
// that command's name instead of the texts.
int runKeyExchange(KeyWizardData& data, const std::optional<TypedNames>& typed,
                   const std::string& javaPath,
                   const std::function<CheckResult(const KeyWizardData&)>& beforeFinish, Io& io,
                   const char* jsonCommand = nullptr);

}  // namespace Talvek::Cli
