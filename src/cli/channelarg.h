#pragma once
// FILE LOCAL REMOTE as the channel commands take them: a key base or a
// public-part file, and the channel's names typed in UTF-8.

#include <optional>
#include <string>

#include "cli/command.h"
#include "cli/keyfile.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"

namespace Talvek::Cli {

struct CommandChannel {
    KeyBase base;               // a key base, loaded
    SecureChannel fileChannel;  // a public-part file's own channel
    const SecureChannel* channel = nullptr;
    KeyFileKind kind = KeyFileKind::KeyBase;
    std::string localName;   // Windows-1251
    std::string remoteName;  // Windows-1251
};

// The channel's names typed in UTF-8, as Windows-1251. A name that cannot
// be encoded prints the refusal on stderr and gives false.
bool encodeChannelNames(const std::string& localUtf8, const std::string& remoteUtf8,
                        std::string& local, std::string& remote, Io& io);

// Encodes the names, opens the file as the maintenance dialog does and finds
// the channel by its full names. On failure prints one message on stderr and
// returns false: the name's refusal, "Ошибка открытия базы ключей!" for a file
// of neither kind, or notFound when the file lacks the channel (the dialogs
// report that as the action's own failure).
// With stdinAllowed, a FILE of "-" is read from standard input.
bool loadCommandChannel(const std::string& path, const std::string& localUtf8,
                        const std::string& remoteUtf8, const std::string& notFound,
                        CommandChannel& out, Io& io, bool stdinAllowed = false);

// Reads a key file as readKeyFile does, or, for "-", from standard input
// into memory (nothing is written anywhere), and answers as readKeyFile does.
// Nothing when standard input could not be read; "Ошибка открытия базы
// ключей!" and the cause are printed then.
std::optional<FileResult> readCommandKeyFile(const std::string& path, KeyBase& base,
                                             SecureChannel& channel, KeyFileContent& content,
                                             Io& io);

}  // namespace Talvek::Cli
