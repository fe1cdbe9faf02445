#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "cli/command.h"
#include "support/clirun.h"
#include "support/tempdir.h"

using TestSupport::outputOf;

// The version printed is the project's, for both programs; the window
// program answers without a display.
TEST(Version, BothProgramsNameTheProjectVersion) {
    const TestSupport::CliOutcome run = TestSupport::runCli({"--version"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, std::string("talvekkey ") + TALVEK_EXPECTED_VERSION + "\n");

    const char* build = std::getenv("TALVEK_BUILD_DIR");
    ASSERT_NE(build, nullptr);
    EXPECT_EQ(outputOf("env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb " +
                       std::string(build) + "/src/app/talvekconfig --version"),
              std::string("talvekconfig ") + TALVEK_EXPECTED_VERSION + "\n");
}

// The completion and the manual page list every command and every option
// talvekkey knows, so neither falls behind the program.
TEST(Documentation, CompletionAndManualKnowEveryCommandAndOption) {
    const char* source = std::getenv("TALVEK_TEST_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string completion =
        TestSupport::readText(std::string(source) + "/resources/completion/talvekkey");
    const std::string manual =
        TestSupport::readText(std::string(source) + "/resources/man/talvekkey.1");
    // groff writes a hyphen as "\-".
    std::string manualText;
    for (size_t i = 0; i < manual.size(); ++i) {
        if (manual[i] == '\\' && i + 1 < manual.size() && manual[i + 1] == '-') continue;
        manualText += manual[i];
    }
    // The completion's command list is exactly the registered commands.
    const size_t listStart = completion.find("commands=\"");
    ASSERT_NE(listStart, std::string::npos);
    std::istringstream list(
        completion.substr(listStart + 10, completion.find('"', listStart + 10) - (listStart + 10)));
    std::set<std::string> completed{std::istream_iterator<std::string>(list),
                                    std::istream_iterator<std::string>()};
    std::set<std::string> registered;
    for (const Talvek::Cli::Command& c : Talvek::Cli::commands()) registered.insert(c.name);
    EXPECT_EQ(completed, registered);
    for (const Talvek::Cli::Command& c : Talvek::Cli::commands()) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(manualText.find(c.name), std::string::npos);
        const std::string synopsis = c.synopsis;
        // The completion's case line that lists this command's options.
        std::string optionsLine;
        for (size_t at = completion.find("options=\""); at != std::string::npos;
             at = completion.find("options=\"", at + 1)) {
            const size_t lineStart = completion.rfind('\n', at) + 1;
            const std::string head = completion.substr(lineStart, at - lineStart);
            const std::string name = c.name;
            if (head.find(" " + name + ")") != std::string::npos ||
                head.find(" " + name + " |") != std::string::npos ||
                head.find("| " + name + ")") != std::string::npos) {
                const size_t open = at + 9;
                optionsLine = " " + completion.substr(open, completion.find('"', open) - open) + " ";
            }
        }
        for (size_t at = synopsis.find("--"); at != std::string::npos;
             at = synopsis.find("--", at + 2)) {
            size_t end = at + 2;
            while (
                end < synopsis.size() &&
                (std::isalnum(static_cast<unsigned char>(synopsis[end])) || synopsis[end] == '-'))
                ++end;
            const std::string option = synopsis.substr(at, end - at);
            EXPECT_NE(completion.find(option), std::string::npos) << option;
            EXPECT_NE(manualText.find(option), std::string::npos) << option;
            // Offered after this very command, not only after another one.
            EXPECT_NE(optionsLine.find(" " + option + " "), std::string::npos)
                << option << " in: " << optionsLine;
        }
    }
}
