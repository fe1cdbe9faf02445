// links: talvek_testsupport_net
// Fetch and upload of a 16 MB key base over loopback: socket layer, protocol
// and channel codec (sealing, base64, RC4, MD5) on both ends.

#include <filesystem>
#include <memory>
#include <stdexcept>

#include <benchmark/benchmark.h>

#include "cryptoclient/cryptoserverclient.h"
#include "cryptoserver/cryptoserver.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

namespace {

using namespace Talvek;

struct Setup {
    TestSupport::TempDir dir;
    std::unique_ptr<CryptoServer> server;
    CryptoServerParams params;
    uint64_t baseSize = 0;

    Setup() {
        const std::string serverBase = dir.file("server.key_base");
        const std::string adminBase = dir.file("admin.key_base");
        // The administrator's channel by the three-step exchange.
        KeyWizardData s;
        s.mode = NewUserServerKey;
        s.baseFile = serverBase;
        s.exportFile = dir.file("openserv.okp");
        s.serverKeyName = "cryptoserver";
        s.userKeyName = "admin";
        s.useCrypt = s.useSign = true;
        s.cryptSize = s.signSize = 1024;
        KeyWizardData u;
        u.mode = CreateUserKey;
        u.baseFile = adminBase;
        u.importFile = s.exportFile;
        u.exportFile = dir.file("openuser.okp");
        KeyWizardData i;
        i.mode = ImportUserPart;
        i.baseFile = serverBase;
        i.importFile = u.exportFile;
        if (!createServerKey(s) || !readImportedChannel(u) || !createUserKey(u, "") ||
            !readImportedChannel(i) || !importUserPublicPart(i))
            throw std::runtime_error("key exchange failed");

        // A 16 MB interface base: complete channels of 1024-bit keys.
        const std::string folder = dir.file("interfaces");
        std::filesystem::create_directory(folder);
        KeyBase base;
        base.name = "interface";
        for (int n = 0; n < 10000; ++n) {
            base.addChannel(
                TestSupport::completeChannel("main", "user" + std::to_string(n), true, true, 1024));
        }
        const std::string path = folder + "/main.key_base";
        if (!base.saveBase(path)) throw std::runtime_error("cannot write the base");
        baseSize = std::filesystem::file_size(path);

        CryptoServerConfig config;
        config.serverBase = serverBase;
        config.serverName = "cryptoserver";
        config.folder = folder;
        server = std::make_unique<CryptoServer>(config);
        if (!server->start()) throw std::runtime_error("cannot listen");

        params.address = "127.0.0.1";
        params.port = server->port();
        params.serverKeyName = "cryptoserver";
        params.adminKeyName = "admin";
        params.adminKeyBase = adminBase;
        params.interfaceName = "main";
        params.localFile = dir.file("fetched.key_base");
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

void BM_Fetch(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        if (!fetchKeyBase(s.params)) state.SkipWithError("fetch failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.baseSize));
    state.counters["base_MB"] = static_cast<double>(s.baseSize) / 1e6;
}
BENCHMARK(BM_Fetch)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Upload(benchmark::State& state) {
    Setup& s = setup();
    if (!std::filesystem::exists(s.params.localFile) && !fetchKeyBase(s.params))
        state.SkipWithError("fetch failed");
    for (auto _ : state) {
        if (!uploadKeyBase(s.params)) state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.baseSize));
}
BENCHMARK(BM_Upload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
