// links: talvek_keystore talvek_testsupport
// The whole three-step key exchange (server key, user key, import) with both
// uses at 1024 bits, against generating the same four keys alone: what the
// file work and checks add on top of key generation.

#include <benchmark/benchmark.h>

#include <memory>

#include "keystore/keyops.h"
#include "keystore/rsakeyrecord.h"
#include "support/tempdir.h"

namespace {

using namespace Talvek;

void BM_ThreeStepExchange1024(benchmark::State& state) {
    std::unique_ptr<TestSupport::TempDir> folder;
    for (auto _ : state) {
        state.PauseTiming();
        folder.reset();  // the last run's files are not part of this one
        folder = std::make_unique<TestSupport::TempDir>();
        const TestSupport::TempDir& dir = *folder;
        KeyWizardData server;
        server.mode = NewUserServerKey;
        server.baseFile = dir.file("server.key_base");
        server.exportFile = dir.file("openserv.okp");
        server.serverKeyName = "server";
        server.userKeyName = "user";
        server.useCrypt = server.useSign = true;
        server.cryptSize = server.signSize = 1024;
        state.ResumeTiming();

        bool ok = isPrivateBase(server.baseFile, false) && createServerKey(server);

        KeyWizardData user;
        user.mode = CreateUserKey;
        user.baseFile = dir.file("userkey.bin");
        user.importFile = server.exportFile;
        user.exportFile = dir.file("openuser.okp");
        ok = ok && isPublicPartFile(user.importFile) && readImportedChannel(user) &&
             checkImportNotInBase(user) && createUserKey(user, dir.file("javaclient.bin"));

        KeyWizardData import;
        import.mode = ImportUserPart;
        import.baseFile = server.baseFile;
        import.importFile = user.exportFile;
        ok = ok && isPrivateBase(import.baseFile, true) && isPublicPartFile(import.importFile) &&
             readImportedChannel(import) && importUserPublicPart(import);
        if (!ok) state.SkipWithError("exchange failed");
    }
}
BENCHMARK(BM_ThreeStepExchange1024)->Unit(benchmark::kMillisecond)->MinTime(20.0);

void BM_FourKeys1024(benchmark::State& state) {
    for (auto _ : state) {
        for (int i = 0; i < 4; ++i) {
            RsaKeyRecord key;
            if (!key.generate("k", 1024)) state.SkipWithError("generation failed");
            benchmark::DoNotOptimize(key.n());
        }
    }
}
BENCHMARK(BM_FourKeys1024)->Unit(benchmark::kMillisecond)->MinTime(20.0);

}  // namespace

BENCHMARK_MAIN();
