#pragma once
// The server's side of the administrators' channels, from the server base as
// it is now: read again whenever the file changed, so that a channel added
// for a new administrator counts without a restart.

#include <memory>
#include <mutex>
#include <string>

namespace Talvek {

class KeyBase;
class SecureChannel;

class ServerKeys {
public:
    // adminName empty: any administrator with a channel.
    ServerKeys(std::string serverBase, std::string serverName, std::string adminName)
        : serverBase_(std::move(serverBase)),
          serverName_(std::move(serverName)),
          adminName_(std::move(adminName)) {}

    // The base as last read; null when it never loaded.
    std::shared_ptr<const KeyBase> current();
    // The server's side of the administrator's channel in keys; null when
    // the administrator is not served or the codec does not accept it.
    const SecureChannel* channelFor(const KeyBase& keys, const std::string& adminName) const;

private:
    std::string serverBase_, serverName_, adminName_;
    std::mutex mutex_;
    std::shared_ptr<const KeyBase> keys_;
    std::string stamp_;  // what the server base's file looked like when read
};

}  // namespace Talvek
