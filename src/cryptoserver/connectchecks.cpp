#include "cryptoserver/connectchecks.h"

#include "checks/guarded.h"
#include "checks/keychecks.h"
#include "cryptoserver/talvekcodec.h"
#include "keystore/cp1251.h"
#include "keystore/fileexists.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"

namespace Talvek {

namespace ConnectMessages {

std::string noChannel(const std::string& base, const std::string& adminName,
                      const std::string& serverName) {
    return "В базе " + base + " нет секретного канала \"" + adminName + " : " + serverName + "\"!";
}

std::string channelTooWeak(const std::string& adminName, const std::string& serverName) {
    return "Секретный канал \"" + adminName + " : " + serverName +
           "\" должен и подписывать, и шифровать!";
}

std::string interfaceTooLong(const std::string& name) {
    return "Имя интерфейса \"" + name + "\" длиннее " + std::to_string(ConnectLimits::Interface) +
           " символов:\nкриптосервер не примет такой запрос!";
}

}  // namespace ConnectMessages

ConnectRefusal checkAdminChannel(const CryptoServerParams& params) {
    if (params.adminKeyBase.size() > kMaxPathBytes) return KeyMessages::PathTooLong;
    if (!guarded([&] { return isPrivateBase(params.adminKeyBase, true); }))
        return ConnectMessages::NoPrivateBase;
    if (!guarded([&] {
            return channelExists(params.adminKeyBase, params.adminKeyName, params.serverKeyName);
        })) {
        return ConnectMessages::noChannel(params.adminKeyBase, cp1251ToUtf8(params.adminKeyName),
                                          cp1251ToUtf8(params.serverKeyName));
    }
    if (!guarded([&] {
            KeyBase base;
            const SecureChannel* channel =
                base.loadBase(params.adminKeyBase)
                    ? base.findChannel(params.adminKeyName, params.serverKeyName)
                    : nullptr;
            return channel && codecAccepts(*channel);
        })) {
        return ConnectMessages::channelTooWeak(cp1251ToUtf8(params.adminKeyName),
                                               cp1251ToUtf8(params.serverKeyName));
    }
    return std::nullopt;
}

ConnectRefusal checkTransfer(const CryptoServerParams& params) {
    if (params.interfaceName.size() > ConnectLimits::Interface)
        return ConnectMessages::interfaceTooLong(cp1251ToUtf8(params.interfaceName));
    if (params.localFile.empty()) return ConnectMessages::NoLocalFile;
    if (params.localFile.size() > kMaxPathBytes) return KeyMessages::PathTooLong;
    if (params.operation == ServerCode::UploadKeyBase) {
        if (!guarded([&] { return isPrivateBase(params.localFile, true); }))
            return ConnectMessages::NotKeyBase;
    } else if (sameFile(params.localFile, params.adminKeyBase)) {
        return ConnectMessages::FetchOverAdminBase;
    }
    return std::nullopt;
}

}  // namespace Talvek
