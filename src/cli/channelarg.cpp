#include "cli/channelarg.h"

#include <ostream>

#include "cli/keyexchange.h"
#include "keystore/keyops.h"
#include "checks/keychecks.h"

namespace Talvek::Cli {

bool encodeChannelNames(const std::string& localUtf8, const std::string& remoteUtf8,
                        std::string& local, std::string& remote, Io& io) {
    for (auto [utf8, target] : {std::pair{&localUtf8, &local}, std::pair{&remoteUtf8, &remote}}) {
        const CheckResult encoded = encodeKeyName(*utf8, *target);
        if (!encoded.advances()) {
            printMessage(io.err, encoded.message);
            return false;
        }
    }
    return true;
}

bool loadCommandChannel(const std::string& path, const std::string& localUtf8,
                        const std::string& remoteUtf8, const std::string& notFound,
                        CommandChannel& out, Io& io) {
    if (!encodeChannelNames(localUtf8, remoteUtf8, out.localName, out.remoteName, io)) {
        return false;
    }
    const auto file = openKeyFile(path, out.localName, out.remoteName);
    if (!file) {
        printFailure(io.err, kOpenFailed);
        return false;
    }
    out.kind = file->kind;
    if (file->channel) {
        // The file is read again for the keys: the listing holds names and flags only.
        if (file->kind == KeyFileKind::PublicPart) {
            if (readChannelFile(out.fileChannel, path)) out.channel = &out.fileChannel;
        } else if (out.base.loadBase(path)) {
            out.channel = out.base.findChannel(out.localName, out.remoteName);
        }
    }
    if (!out.channel) {
        printFailure(io.err, notFound);
        return false;
    }
    return true;
}

}  // namespace Talvek::Cli
