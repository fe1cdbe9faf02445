#pragma once
// The channel report: a template filled with a channel's names, flags, public
// keys and the local date and time, and a plain-text dump of a channel.

#include <map>
#include <optional>
#include <string>

#include "keystore/rsakeyrecord.h"
#include "keystore/securechannel.h"

namespace Talvek {

// Token name -> replacement text, both byte strings; std::string orders the
// names byte-wise, which is the order the template is filled in.
using TokenTable = std::map<std::string, std::string>;

// The name of the report template the maintenance dialog asks for.
inline constexpr const char* kTemplateName = "template.htmt";

// The local date and time as the report shows them (month 1-12, full year).
struct LocalDateTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

LocalDateTime currentLocalDateTime();

// Replaces every "#NAME#" of the template by the value of NAME, entry by entry
// in table order, and writes the result. After a replacement the search for the
// same marker goes on behind the inserted text, so a value holding its own
// marker cannot loop; markers of later entries inside a value are replaced.
// Plain bytes in, plain bytes out: no escaping, no conversion. The output is
// written whole or not at all (an old file of that name stays as it was); an
// output that is the template itself is refused.
FileResult fillTemplate(const std::string& templatePath, const std::string& outputPath,
                        const TokenTable& tokens);

// The modulus and the public exponent as spaced upper-case hexadecimal,
// joined by " : " ("C3 A1 07 ... : 01 00 01").
std::string formatKeyPublicPart(const RsaKeyRecord& key);

// The ten tokens of the report. The names are HTML-escaped: they may come
// from a peer's public-part file and the report is opened in a browser.
// Nothing when a key the report would show is incomplete (numbers missing):
// such a key is inert and has no value to report.
std::optional<TokenTable> channelReportTokens(const SecureChannel& channel,
                                              const LocalDateTime& now);

// Where a template named by a bare file name is found: the current directory
// first, then the installed data folder, then the data folder beside the
// running program (a relocated installation). A path with a folder in it, or a
// name found nowhere, comes back unchanged.
std::string resolveTemplatePath(const std::string& templatePath = kTemplateName);

// Fills the template (looked up by resolveTemplatePath) for the channel with
// the local date and time read once, and writes the report. A channel whose
// shown keys are incomplete fails with nothing written.
FileResult exportChannelHtml(const SecureChannel& channel, const std::string& outputPath,
                             const std::string& templatePath);
// The same at a given moment.
FileResult exportChannelHtml(const SecureChannel& channel, const std::string& outputPath,
                             const std::string& templatePath, const LocalDateTime& now);

// Names, flags and the full key numbers as text. The file holds private
// exponents, so it is created owner-only.
FileResult dumpChannelText(const SecureChannel& channel, const std::string& path);

// &, <, > and " as entities; every other byte as it is.
std::string htmlEscape(const std::string& text);

}  // namespace Talvek
