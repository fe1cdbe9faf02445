#include "checks/connectchecks.h"

#include "checks/guarded.h"
#include "checks/keychecks.h"
#include "sealing/talvekcodec.h"
#include "keystore/cp1251.h"
#include "fileio/fileexists.h"
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

CheckResult checkAdminChannel(const CryptoServerParams& params) {
    if (params.adminKeyBase.size() > kMaxPathBytes) return CheckResult::fail(KeyMessages::PathTooLong);
    // One read, shared with the other readers, answers all three questions.
    KeyBase base;
    if (FileResult loaded = guarded([&] { return base.loadBaseShared(params.adminKeyBase); });
        !loaded)
        return CheckResult::fail(ConnectMessages::NoPrivateBase, loaded.failure());
    const SecureChannel* channel = base.findChannel(params.adminKeyName, params.serverKeyName);
    if (!channel) {
        return CheckResult::fail(ConnectMessages::noChannel(params.adminKeyBase,
                                                            cp1251ToUtf8(params.adminKeyName),
                                                            cp1251ToUtf8(params.serverKeyName)));
    }
    if (!guarded([&] { return codecAccepts(*channel); })) {
        return CheckResult::fail(ConnectMessages::channelTooWeak(
            cp1251ToUtf8(params.adminKeyName), cp1251ToUtf8(params.serverKeyName)));
    }
    return CheckResult::pass();
}

CheckResult checkTransfer(const CryptoServerParams& params) {
    if (params.interfaceName.size() > ConnectLimits::Interface)
        return CheckResult::fail(
            ConnectMessages::interfaceTooLong(cp1251ToUtf8(params.interfaceName)));
    if (params.localFile.empty()) return CheckResult::fail(ConnectMessages::NoLocalFile);
    if (params.localFile.size() > kMaxPathBytes) return CheckResult::fail(KeyMessages::PathTooLong);
    if (params.operation == ServerCode::UploadKeyBase) {
        if (FileResult base = guarded([&] { return isPrivateBase(params.localFile, true); }); !base)
            return CheckResult::fail(ConnectMessages::NotKeyBase, base.failure());
    } else if (sameFile(params.localFile, params.adminKeyBase)) {
        return CheckResult::fail(ConnectMessages::FetchOverAdminBase);
    }
    return CheckResult::pass();
}

}  // namespace Talvek
