// links: talvek_keystore
// Enrolling many users at once in a busy server's base of 10,000 channels:
// importing 500 public parts in one transaction against importing one, and
// making 100 users' 2048-bit keys (both uses) in one action against making
// a single key. One import rewrites the whole base once, so 500 should cost
// little more than one; the users' keys are made on every core, so 100 of
// them should take well under the sum of 200 single generations.
//
// TALVEK_BENCH_DIR names the folder for the files (default /tmp).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "keystore/batchops.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "keystore/rsakeyrecord.h"

using namespace Talvek;
namespace fs = std::filesystem;

namespace {

constexpr int kChannels = 10000;
constexpr int kPending = 500;
constexpr uint32_t kBits = 1024;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_batch: %s\n", what);
    std::abort();
}

std::unique_ptr<RsaKeyRecord> named(const RsaKeyRecord& key, const std::string& name) {
    auto copy = key.clone();
    copy->setName(name);
    return copy;
}

// The server's base: 10,000 complete channels (four generated keys cloned
// into all of them) and 500 new users' channels that wait for their public
// parts, which the users have made from the server's parts and sent back.
class Enrolment {
public:
    Enrolment() {
        const char* root = std::getenv("TALVEK_BENCH_DIR");
        std::string pattern = std::string(root ? root : "/tmp") + "/talvek-batch-XXXXXX";
        if (!mkdtemp(pattern.data())) fail("no temporary folder");
        dir_ = pattern;
        pristine_ = dir_ + "/pristine.key_base";
        work_ = dir_ + "/server.key_base";

        RsaKeyRecord keys[4];
        for (auto& k : keys)
            if (!k.generate("server", kBits)) fail("key generation");
        KeyBase base;
        for (int i = 0; i < kChannels; ++i) {
            char remote[32];
            std::snprintf(remote, sizeof remote, "user%05d", i);
            auto c = std::make_unique<SecureChannel>();
            c->localName = "server";
            c->remoteName = remote;
            c->useCrypt = c->useSign = 1;
            c->hasCryptPrivate = c->hasCryptPublic = c->hasSignPrivate = c->hasSignPublic = 1;
            c->cryptSize = c->signSize = kBits;
            c->cryptPrivateKey = named(keys[0], "server");
            c->signPrivateKey = named(keys[1], "server");
            std::unique_ptr<RsaKeyRecord> pub;
            named(keys[2], remote)->extractPublic(pub);
            c->cryptPublicKey = std::move(pub);
            named(keys[3], remote)->extractPublic(pub);
            c->signPublicKey = std::move(pub);
            base.addChannel(std::move(c));
        }
        if (!base.saveBase(pristine_)) fail("cannot save the base");

        fs::create_directories(dir_ + "/out");
        ServerKeyBatch batch{pristine_, "server", false, true, 0, kBits};
        std::vector<NewUserKey> users(kPending);
        for (int i = 0; i < kPending; ++i) {
            users[static_cast<size_t>(i)].userName = "new" + std::to_string(i);
            users[static_cast<size_t>(i)].exportFile =
                dir_ + "/out/new" + std::to_string(i) + ".okp";
        }
        if (createServerKeys(batch, users) != BatchOutcome::Done) fail("server keys");
        for (int i = 0; i < kPending; ++i) {
            const std::string n = std::to_string(i);
            KeyWizardData user;
            user.mode = CreateUserKey;
            user.baseFile = dir_ + "/user" + n + ".bin";
            user.importFile = dir_ + "/out/new" + n + ".okp";
            user.exportFile = dir_ + "/part" + n + ".okp";
            user.serverKeyName = "server";
            user.userKeyName = "new" + n;
            user.useSign = true;
            user.signSize = kBits;
            if (!readImportedChannel(user) || !createUserKey(user, std::string()))
                fail("user key");
            parts_.push_back(user.exportFile);
        }
    }
    ~Enrolment() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // A fresh copy of the server's base to change.
    const std::string& freshBase() {
        fs::copy_file(pristine_, work_, fs::copy_options::overwrite_existing);
        return work_;
    }
    const std::vector<std::string>& parts() const { return parts_; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_, pristine_, work_;
    std::vector<std::string> parts_;
};

Enrolment& enrolment() {
    static Enrolment e;
    return e;
}

void BM_ImportParts(benchmark::State& state) {
    Enrolment& e = enrolment();
    const auto count = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::string& base = e.freshBase();
        std::vector<ImportedPart> parts(count);
        for (size_t i = 0; i < count; ++i) parts[i].path = e.parts()[i];
        state.ResumeTiming();
        if (importUserPublicParts(base, parts) != BatchOutcome::Done) fail("import");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ImportParts)->Arg(1)->Arg(kPending)->Unit(benchmark::kMillisecond)->UseRealTime();

// The single generation the batch is measured against.
void BM_GenerateKey2048(benchmark::State& state) {
    for (auto _ : state) {
        RsaKeyRecord key;
        if (!key.generate("server", 2048)) fail("key generation");
    }
}
BENCHMARK(BM_GenerateKey2048)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(10.0);

// 100 users, a 2048-bit key for each use: 200 generations, one base write,
// 100 public parts.
void BM_ServerKeys100(benchmark::State& state) {
    Enrolment& e = enrolment();
    for (auto _ : state) {
        state.PauseTiming();
        const std::string& base = e.freshBase();
        const std::string out = e.dir() + "/batch";
        fs::remove_all(out);
        fs::create_directories(out);
        ServerKeyBatch batch{base, "server", true, true, 2048, 2048};
        std::vector<NewUserKey> users(100);
        for (size_t i = 0; i < users.size(); ++i) {
            users[i].userName = "batch" + std::to_string(i);
            users[i].exportFile = out + "/" + users[i].userName + ".okp";
        }
        state.ResumeTiming();
        if (createServerKeys(batch, users) != BatchOutcome::Done) fail("server keys");
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_ServerKeys100)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    enrolment();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
