#pragma once
// The client's operations with the message the user sees, worded as the
// connection wizard and talvekkey word them: the shape the tests assert.

#include <string>

#include "checks/servermessages.h"
#include "cryptoclient/cryptoserverclient.h"

namespace TestSupport {

inline bool worded(const Talvek::ExchangeResult& result, const Talvek::CryptoServerParams& params,
                   std::string* message) {
    if (message) *message = Talvek::exchangeMessage(result, params);
    return result.ok();
}

inline bool listInterfaces(Talvek::CryptoServerParams& params, std::string* message) {
    return worded(Talvek::listInterfaces(params), params, message);
}
inline bool fetchKeyBase(const Talvek::CryptoServerParams& params, std::string* message) {
    return worded(Talvek::fetchKeyBase(params), params, message);
}
inline bool uploadKeyBase(const Talvek::CryptoServerParams& params, std::string* message) {
    return worded(Talvek::uploadKeyBase(params), params, message);
}
inline bool exchange(const Talvek::CryptoServerParams& params,
                     const Talvek::ServerRequest& request, Talvek::ServerReply& reply,
                     std::string* message) {
    return worded(Talvek::exchange(params, request, reply), params, message);
}

}  // namespace TestSupport
