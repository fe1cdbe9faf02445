#include "cli/actionjson.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "keystore/cp1251.h"

namespace Talvek::Cli {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kFormat = 1;

Json fingerprints(const PublicPartFingerprints* keys) {
    if (!keys) return nullptr;
    const auto one = [](const std::string& fingerprint) -> Json {
        if (fingerprint.empty()) return nullptr;
        return fingerprint;
    };
    return Json{{"crypt", one(keys->crypt)}, {"sign", one(keys->sign)}};
}

}  // namespace

void printActionJson(std::ostream& out, const ActionReport& report) {
    Json files = Json::array();
    for (const WrittenFile& file : report.files) {
        files.push_back({{"path", file.path}, {"role", file.role}});
    }
    Json channels = Json::array();
    for (const ChannelOutcome& c : report.channels) {
        channels.push_back({{"localName", cp1251ToUtf8(c.localName)},
                            {"remoteName", cp1251ToUtf8(c.remoteName)},
                            {"action", c.action},
                            {"exported", fingerprints(c.exported)},
                            {"imported", fingerprints(c.imported)}});
    }
    const Json document{{"format", kFormat},
                        {"command", report.command},
                        {"files", std::move(files)},
                        {"channels", std::move(channels)}};
    // Paths are the file system's bytes: one that is no UTF-8 is replaced
    // character by character rather than failing the whole answer.
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

bool takeJsonFlag(std::vector<std::string>& args) {
    const auto it = std::find(args.begin(), args.end(), "--json");
    if (it == args.end()) return false;
    args.erase(it);
    return true;
}

}  // namespace Talvek::Cli
