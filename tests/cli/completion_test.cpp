#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "keystore/keybase.h"
#include "support/clirun.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::TempDir;

namespace {

const char* kBashCompletion = "/usr/share/bash-completion/bash_completion";

std::string shellQuoted(const std::string& word) {
    std::string out = "'";
    for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What bash with the installed completion offers for the last of words (as
// typed, quotes and backslashes included; "=" is a word of its own, as
// bash splits it), run in folder. Sorted; nothing offered gives none.
std::vector<std::string> completions(const TempDir& folder,
                                     const std::vector<std::string>& words) {
    std::string line, array;
    for (size_t i = 0; i < words.size(); ++i) {
        const bool joined = i > 0 && (words[i] == "=" || words[i - 1] == "=");
        line += (i == 0 || joined ? "" : " ") + words[i];
        array += " " + shellQuoted(words[i]);
    }
    const std::string script = folder.file("complete.bash");
    TestSupport::writeText(
        script, std::string("source ") + kBashCompletion + "\nsource " +
                    shellQuoted(std::string(std::getenv("TALVEK_TEST_SOURCE_DIR")) +
                                "/resources/completion/talvekkey") +
                    "\nCOMP_WORDS=(" + array + ")\nCOMP_CWORD=" +
                    std::to_string(words.size() - 1) + "\nCOMP_LINE=" + shellQuoted(line) +
                    "\nCOMP_POINT=${#COMP_LINE}\n_talvekkey\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n");
    const std::string build = std::getenv("TALVEK_BUILD_DIR");
    std::istringstream out(TestSupport::outputOf(
        "cd " + shellQuoted(folder.path()) + " && PATH=" + shellQuoted(build + "/src/cli") +
        ":\"$PATH\" LC_ALL=C.UTF-8 bash --norc --noprofile complete.bash"));
    std::vector<std::string> offered;
    for (std::string item; std::getline(out, item);) {
        if (!item.empty()) offered.push_back(item);
    }
    std::sort(offered.begin(), offered.end());
    return offered;
}

}  // namespace

// The channel's names are offered from the key file already on the command
// line, quoted for the shell (blanks, quotes, Cyrillic), the remote names of
// the local name typed only; "--option=value" completes the value.
TEST(Completion, OffersTheKeyFilesNamesAndOptionValues) {
    if (access(kBashCompletion, R_OK) != 0) GTEST_SKIP() << "bash-completion is not installed";
    if (!TestSupport::talvekkeyBuilt()) GTEST_SKIP() << "talvekkey is not built";
    TempDir dir;
    const std::string server = "\xD1\xE5\xF0\xE2\xE5\xF0 1";  // "Сервер 1"
    KeyBase base;
    base.addChannel(TestSupport::ownKeysChannel(server, "user a", false, true));
    base.addChannel(TestSupport::ownKeysChannel(server, "it's", false, true));
    base.addChannel(TestSupport::ownKeysChannel("admin", "root", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("key base.bin")));
    TestSupport::writeText(dir.file("notes.txt"), "no key file");

    const std::string file = "key\\ base.bin";
    const std::vector<std::string> locals{"admin", "Сервер\\ 1"};
    const std::vector<std::string> remotes{"it\\'s", "user\\ a"};
    const struct {
        std::vector<std::string> words;
        std::vector<std::string> offered;
    } cases[] = {
        {{"talvekkey", "seal", file, ""}, locals},
        {{"talvekkey", "open", "'key base.bin'", "Се"}, {"Сервер\\ 1"}},
        {{"talvekkey", "export-pem", file, "Сервер\\ 1", ""}, remotes},
        {{"talvekkey", "java", file, "\"Сервер 1\"", "us"}, {"user\\ a"}},
        {{"talvekkey", "dump", file, "admin", ""}, {"root"}},
        {{"talvekkey", "seal", file, "--clear", "admin", ""}, {"root"}},
        {{"talvekkey", "delete", file, "admin", "root", ""}, locals},
        {{"talvekkey", "delete", file, "admin", "root", "'Сервер 1'", "i"}, {"it\\'s"}},
        {{"talvekkey", "inspect", file, "--channel", ""}, locals},
        {{"talvekkey", "inspect", file, "--channel", "=", "a"}, {"admin"}},
        {{"talvekkey", "inspect", file, "--channel", "=", "admin", ""}, {"root"}},
        {{"talvekkey", "inspect", file, "--channel", "Сервер\\ 1", ""}, remotes},
        // No key file, no names, and nothing said about it.
        {{"talvekkey", "seal", "notes.txt", ""}, {}},
        {{"talvekkey", "seal", "missing", ""}, {}},
        {{"talvekkey", "seal", "-", ""}, {}},
        {{"talvekkey", "export-pem", file, "nobody", ""}, {}},
        // Option values after "=".
        {{"talvekkey", "server-key", "--crypt", "=", "3"}, {"3072"}},
        {{"talvekkey", "server-key", "--base", "=", "ke"}, {"key base.bin"}},
        {{"talvekkey", "export-html", file, "--template", "=", "no"}, {"notes.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.words));
        EXPECT_EQ(completions(dir, c.words), c.offered);
    }
}
