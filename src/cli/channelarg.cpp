#include "cli/channelarg.h"

#include <ostream>

#include "cli/input.h"
#include "cli/keyexchange.h"
#include "fileio/filefault.h"
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

std::optional<KeyFileContent> readCommandKeyFile(const std::string& path, KeyBase& base,
                                                 SecureChannel& channel, Io& io) {
    KeyFileContent content = KeyFileContent::Neither;
    if (!namesStdin(path)) {
        static_cast<void>(readKeyFile(path, base, channel, content));
        return content;
    }
    SecretBytes bytes;
    if (!readInput(path, bytes, MaintenanceMessages::OpenFailed, io)) return std::nullopt;
    static_cast<void>(readKeyContent(kStdinName, std::move(bytes), base, channel, content));
    return content;
}

bool loadCommandChannel(const std::string& path, const std::string& localUtf8,
                        const std::string& remoteUtf8, const std::string& notFound,
                        CommandChannel& out, Io& io, bool stdinAllowed) {
    if (!encodeChannelNames(localUtf8, remoteUtf8, out.localName, out.remoteName, io)) {
        return false;
    }
    // One read of the file serves both the kind and the keys.
    std::optional<KeyFileContent> content;
    if (stdinAllowed) {
        content = readCommandKeyFile(path, out.base, out.fileChannel, io);
        if (!content) return false;
    } else {
        content = KeyFileContent::Neither;
        static_cast<void>(readKeyFile(path, out.base, out.fileChannel, *content));
    }
    switch (*content) {
        case KeyFileContent::Base:
            if (out.base.channelCount() <= 0) {
                noteFileFailure(stdinAllowed && namesStdin(path) ? kStdinName : path,
                                FileFault::NoChannel);
                printFailure(io.err, MaintenanceMessages::OpenFailed);
                return false;
            }
            out.kind = KeyFileKind::KeyBase;
            out.channel = out.base.findChannel(out.localName, out.remoteName);
            break;
        case KeyFileContent::Channel: {
            ChannelSummary summary;
            if (!out.fileChannel.toSummary(&summary)) {
                printFailure(io.err, MaintenanceMessages::OpenFailed);
                return false;
            }
            out.kind = KeyFileKind::PublicPart;
            if (out.fileChannel.localName == out.localName &&
                out.fileChannel.remoteName == out.remoteName) {
                out.channel = &out.fileChannel;
            }
            break;
        }
        case KeyFileContent::Neither:
            printFailure(io.err, MaintenanceMessages::OpenFailed);
            return false;
    }
    if (!out.channel) {
        printFailure(io.err, notFound);
        return false;
    }
    return true;
}

}  // namespace Talvek::Cli
