// links: talvek_cli
// Loading and saving a key base of 10,000 complete channels (both uses,
// 1024-bit keys, about 16 MB), against minimal parsers and a minimal writer
// that do only the unavoidable work: one read of the file and the big-number
// conversions (and, in one variant, the OpenSSL key objects).
//
// TALVEK_BENCH_DIR names the folder for the files (default /tmp); with
// TALVEK_BENCH_KEEP set the base stays there afterwards, for timing whole
// talvekkey runs on it.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/core_names.h>

#include "cli/command.h"
#include "keystore/keybase.h"
#include "keystore/ossl.h"

using namespace Talvek;

namespace {

constexpr int kChannels = 10000;
constexpr int kBits = 1024;

std::string benchDir() {
    const char* dir = std::getenv("TALVEK_BENCH_DIR");
    return dir ? dir : "/tmp";
}

std::unique_ptr<RsaKeyRecord> named(const RsaKeyRecord& key, const std::string& name) {
    auto copy = key.clone();
    copy->setName(name);
    return copy;
}

// Four generated keys, cloned into every channel under the channel's names,
// so the file has the size and shape of real keys without 40,000 generations.
KeyBase makeBase() {
    RsaKeyRecord ownCrypt, ownSign, peerCrypt, peerSign;
    if (!ownCrypt.generate("k", kBits) || !ownSign.generate("k", kBits) ||
        !peerCrypt.generate("k", kBits) || !peerSign.generate("k", kBits)) {
        throw std::runtime_error("key generation failed");
    }
    KeyBase base;
    for (int i = 0; i < kChannels; ++i) {
        char remote[32];
        std::snprintf(remote, sizeof remote, "user%05d", i);
        const std::string local = i % 2 ? "server-b" : "server-a";
        auto c = std::make_unique<SecureChannel>();
        c->localName = local;
        c->remoteName = remote;
        c->useCrypt = c->useSign = 1;
        c->hasCryptPrivate = c->hasCryptPublic = c->hasSignPrivate = c->hasSignPublic = 1;
        c->cryptSize = c->signSize = kBits;
        c->cryptPrivateKey = named(ownCrypt, local);
        c->signPrivateKey = named(ownSign, local);
        std::unique_ptr<RsaKeyRecord> pub;
        named(peerCrypt, remote)->extractPublic(pub);
        c->cryptPublicKey = std::move(pub);
        named(peerSign, remote)->extractPublic(pub);
        c->signPublicKey = std::move(pub);
        base.addChannel(std::move(c));
    }
    return base;
}

struct Fixture {
    Fixture() : base(makeBase()), path(benchDir() + "/talvek-bench.key_base") {
        if (!base.saveBase(path)) throw std::runtime_error("cannot save " + path);
        struct stat st {};
        stat(path.c_str(), &st);
        bytes = static_cast<int64_t>(st.st_size);
    }
    ~Fixture() {
        if (!std::getenv("TALVEK_BENCH_KEEP")) unlink(path.c_str());
    }
    KeyBase base;
    std::string path;
    int64_t bytes = 0;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

std::vector<uint8_t> readWhole(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    fstat(fd, &st);
    std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t r = read(fd, data.data() + got, data.size() - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    return data;
}

// The least a reader of this format must do: walk the records of a well-formed
// file and convert every number.
class MinimalParser {
public:
    MinimalParser(const std::vector<uint8_t>& data, bool buildKeys)
        : p_(data.data()), end_(data.data() + data.size()), buildKeys_(buildKeys) {}

    size_t parseBase() {
        p_ += 5;
        skipText();
        const uint32_t nodes = u32();
        for (uint32_t i = 0; i < nodes && p_ < end_; ++i) {
            p_ += 5;
            skipText();
            const uint32_t channels = u32();
            for (uint32_t c = 0; c < channels; ++c) parseChannel();
        }
        return keys_.size() + numbers_.size();
    }

private:
    uint32_t u32() {
        uint32_t v;
        std::memcpy(&v, p_, 4);
        p_ += 4;
        return v;
    }
    void skipText() { p_ += u32(); }

    void parseChannel() {
        p_ += 5;
        const uint8_t useCrypt = *p_++;
        const uint8_t useSign = *p_++;
        skipText();
        skipText();
        const uint8_t flags[4] = {p_[0], p_[1], p_[2], p_[3]};
        p_ += 4 + 8;
        if (useCrypt && flags[1]) parseKey();
        if (useCrypt && flags[0]) parseKey();
        if (useSign && flags[2]) parseKey();
        if (useSign && flags[3]) parseKey();
    }

    void parseKey() {
        p_ += 5;
        const uint32_t kind = u32();
        skipText();
        const int count = kind == 2 ? 8 : 2;
        BignumPtr numbers[8];
        for (int i = 0; i < count; ++i) {
            const uint32_t length = u32();
            numbers[i].reset(BN_bin2bn(p_, static_cast<int>(length), nullptr));
            p_ += length;
        }
        if (!buildKeys_) {
            for (int i = 0; i < count; ++i) numbers_.push_back(std::move(numbers[i]));
            return;
        }
        static const char* const names[8] = {
            OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
            OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
            OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
            OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
        ParamBldPtr bld(OSSL_PARAM_BLD_new());
        for (int i = 0; i < count; ++i)
            OSSL_PARAM_BLD_push_BN(bld.get(), names[i], numbers[i].get());
        ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
        EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        EVP_PKEY* key = nullptr;
        EVP_PKEY_fromdata_init(ctx.get());
        EVP_PKEY_fromdata(ctx.get(), &key, count == 8 ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get());
        keys_.emplace_back(key);
    }

    const uint8_t* p_;
    const uint8_t* end_;
    bool buildKeys_;
    std::vector<BignumPtr> numbers_;
    std::vector<EvpPkeyPtr> keys_;
};

// The least a writer must do: every number through BN_bn2bin into one buffer,
// written, synced and renamed into place as the key store does.
size_t minimalSave(const KeyBase& base, const std::string& path) {
    std::vector<uint8_t> out;
    out.reserve(1u << 24);
    auto u32 = [&](uint32_t v) {
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        out.insert(out.end(), b, b + 4);
    };
    auto text = [&](const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    };
    auto number = [&](const BIGNUM* n) {
        const int length = BN_num_bytes(n);
        u32(static_cast<uint32_t>(length));
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(length));
        BN_bn2bin(n, out.data() + at);
    };
    auto key = [&](const RsaKeyRecord& k, bool withPrivate) {
        out.insert(out.end(), {'K', 'R', 'S', 'K', '0'});
        u32(withPrivate ? 2 : 1);
        text(k.name());
        number(k.n());
        number(k.e());
        if (!withPrivate) return;
        for (const BIGNUM* b : {k.d(), k.p(), k.q(), k.dmp1(), k.dmq1(), k.iqmp()}) number(b);
    };
    out.insert(out.end(), {'K', 'N', 'E', 'T', '0'});
    text(base.name);
    u32(static_cast<uint32_t>(base.nodes.size()));
    for (const auto& [name, node] : base.nodes) {
        out.insert(out.end(), {'K', 'N', 'O', 'D', '0'});
        text(node->name);
        u32(static_cast<uint32_t>(node->channels.size()));
        for (const auto& [remote, c] : node->channels) {
            out.insert(out.end(), {'K', 'C', 'H', 'A', '1', c->useCrypt, c->useSign});
            text(c->localName);
            text(c->remoteName);
            out.insert(out.end(), {c->hasCryptPrivate, c->hasCryptPublic, c->hasSignPrivate,
                                   c->hasSignPublic});
            u32(c->cryptSize);
            u32(c->signSize);
            key(*c->cryptPublicKey, false);
            key(*c->cryptPrivateKey, true);
            key(*c->signPrivateKey, true);
            key(*c->signPublicKey, false);
        }
    }
    const std::string temp = path + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool ok =
        write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size()) && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) throw std::runtime_error("write failed");
    return out.size();
}

void BM_LoadBase(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        KeyBase base;
        if (!base.loadBase(f.path)) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(base.nodes.size());
    }
    state.SetBytesProcessed(state.iterations() * f.bytes);
}

// talvekkey inspect as a user runs it, the tree or the JSON to a sink.
void BM_Inspect(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<std::string> args{"inspect", f.path};
    if (state.range(0)) args.push_back("--json");
    for (auto _ : state) {
        std::istringstream in;
        std::ostringstream out, err;
        Cli::Io io{in, out, err};
        if (Cli::runTalvekkey(args, io) != 0) state.SkipWithError("inspect failed");
        benchmark::DoNotOptimize(out.tellp());
    }
    state.SetBytesProcessed(state.iterations() * f.bytes);
}

void BM_MinimalParseNumbers(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        const auto data = readWhole(f.path);
        MinimalParser parser(data, false);
        benchmark::DoNotOptimize(parser.parseBase());
    }
    state.SetBytesProcessed(state.iterations() * f.bytes);
}

void BM_MinimalParseKeys(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        const auto data = readWhole(f.path);
        MinimalParser parser(data, true);
        benchmark::DoNotOptimize(parser.parseBase());
    }
    state.SetBytesProcessed(state.iterations() * f.bytes);
}

void BM_SaveBase(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string path = benchDir() + "/talvek-bench-save.key_base";
    for (auto _ : state) {
        if (!f.base.saveBase(path)) state.SkipWithError("save failed");
    }
    state.SetBytesProcessed(state.iterations() * f.bytes);
    unlink(path.c_str());
}

void BM_MinimalSave(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string path = benchDir() + "/talvek-bench-minimal.key_base";
    for (auto _ : state) benchmark::DoNotOptimize(minimalSave(f.base, path));
    state.SetBytesProcessed(state.iterations() * f.bytes);
    unlink(path.c_str());
}

}  // namespace

BENCHMARK(BM_LoadBase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inspect)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinimalParseNumbers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinimalParseKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveBase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinimalSave)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
