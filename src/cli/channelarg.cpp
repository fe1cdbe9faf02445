#include "cli/channelarg.h"

#include <ostream>

#include "cli/input.h"
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

std::optional<FileResult> readCommandKeyFile(const std::string& path, KeyBase& base,
                                             SecureChannel& channel, KeyFileContent& content,
                                             Io& io) {
    content = KeyFileContent::Neither;
    if (!namesStdin(path)) return readKeyFile(path, base, channel, content);
    SecretBytes bytes;
    if (!readInput(path, bytes, MaintenanceMessages::OpenFailed, io)) return std::nullopt;
    return readKeyContent(kStdinName, std::move(bytes), base, channel, content);
}

bool loadCommandChannel(const std::string& path, const std::string& localUtf8,
                        const std::string& remoteUtf8, const std::string& notFound,
                        CommandChannel& out, Io& io, bool stdinAllowed) {
    if (!encodeChannelNames(localUtf8, remoteUtf8, out.localName, out.remoteName, io)) {
        return false;
    }
    // One read of the file serves both the kind and the keys.
    KeyFileContent content = KeyFileContent::Neither;
    const std::optional<FileResult> read =
        stdinAllowed ? readCommandKeyFile(path, out.base, out.fileChannel, content, io)
                     : readKeyFile(path, out.base, out.fileChannel, content);
    if (!read) return false;
    switch (content) {
        case KeyFileContent::Base:
            if (out.base.channelCount() <= 0) {
                const std::string name = stdinAllowed && namesStdin(path) ? kStdinName : path;
                printFailure(io.err, MaintenanceMessages::OpenFailed,
                             {name, FileFault::NoChannel});
                return false;
            }
            out.kind = KeyFileKind::KeyBase;
            out.channel = out.base.findChannel(out.localName, out.remoteName);
            break;
        case KeyFileContent::Channel: {
            ChannelSummary summary;
            if (!out.fileChannel.toSummary(&summary)) {
                // Read whole, but no channel a summary can describe: no
                // file fault to name.
                printFailure(io.err, MaintenanceMessages::OpenFailed, {});
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
            printFailure(io.err, MaintenanceMessages::OpenFailed, read->failure());
            return false;
    }
    if (!out.channel) {
        printFailure(io.err, notFound, {});
        return false;
    }
    return true;
}

}  // namespace Talvek::Cli
