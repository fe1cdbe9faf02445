// links: talvek_sealing
// Sealing and opening a 64 KiB message with a 1024-bit channel, against the
// RSA operations it needs (one sign, one verify, one encrypt, one decrypt):
// the rest (MD5, RC4, base64 both ways) should stay a small share.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "sealing/message.h"
#include "keystore/rsakeyrecord.h"

using namespace Talvek;

namespace {

std::unique_ptr<RsaKeyRecord> newKey(const char* owner) {
    auto key = std::make_unique<RsaKeyRecord>();
    if (!key->generate(owner, 1024)) throw std::runtime_error("key generation failed");
    return key;
}

std::unique_ptr<RsaKeyRecord> publicOf(const RsaKeyRecord& key) {
    std::unique_ptr<RsaKeyRecord> out;
    if (!key.extractPublic(out)) throw std::runtime_error("no public part");
    return out;
}

// The two sides of a complete channel, each with its own pairs and the
// other's public keys.
struct ChannelPair {
    SecureChannel a, b;
    ChannelPair() {
        for (SecureChannel* c : {&a, &b}) {
            c->useCrypt = c->useSign = 1;
            c->hasCryptPrivate = c->hasCryptPublic = c->hasSignPrivate = c->hasSignPublic = 1;
            c->cryptSize = c->signSize = 1024;
            c->cryptPrivateKey = newKey("x");
            c->signPrivateKey = newKey("x");
        }
        a.cryptPublicKey = publicOf(*b.cryptPrivateKey);
        b.cryptPublicKey = publicOf(*a.cryptPrivateKey);
        a.signPublicKey = publicOf(*b.signPrivateKey);
        b.signPublicKey = publicOf(*a.signPrivateKey);
    }
};

ChannelPair& pair() {
    static ChannelPair p;
    return p;
}

std::vector<uint8_t> message() {
    std::vector<uint8_t> data(64 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 17);
    return data;
}

void BM_SealAndOpen64K(benchmark::State& state) {
    ChannelPair& p = pair();
    const std::vector<uint8_t> data = message();
    std::string sealed;
    std::vector<uint8_t> opened;
    for (auto _ : state) {
        if (!sealMessage(p.a, data.data(), data.size(), sealed) ||
            !openMessage(p.b, sealed.data(), sealed.size(), opened) || opened != data) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_SealAndOpen64K)->Unit(benchmark::kMicrosecond);

void BM_Seal64K(benchmark::State& state) {
    ChannelPair& p = pair();
    const std::vector<uint8_t> data = message();
    std::string sealed;
    for (auto _ : state) {
        if (!sealMessage(p.a, data.data(), data.size(), sealed)) state.SkipWithError("seal failed");
        benchmark::DoNotOptimize(sealed.data());
    }
}
BENCHMARK(BM_Seal64K)->Unit(benchmark::kMicrosecond);

void BM_Open64K(benchmark::State& state) {
    ChannelPair& p = pair();
    const std::vector<uint8_t> data = message();
    std::string sealed;
    sealMessage(p.a, data.data(), data.size(), sealed);
    std::vector<uint8_t> opened;
    for (auto _ : state) {
        if (!openMessage(p.b, sealed.data(), sealed.size(), opened))
            state.SkipWithError("open failed");
        benchmark::DoNotOptimize(opened.data());
    }
}
BENCHMARK(BM_Open64K)->Unit(benchmark::kMicrosecond);

// A 16 MB message sealed whole, slice by slice as a transfer sends it: from
// data the sealer must leave alone (argument 0), or from a copy it may
// encrypt where it is while it digests it (1).
void BM_Seal16M(benchmark::State& state) {
    ChannelPair& p = pair();
    std::vector<uint8_t> data(16u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
    std::vector<uint8_t> copy = data;
    std::vector<char> piece(256u << 10);
    for (auto _ : state) {
        state.PauseTiming();
        copy = data;
        state.ResumeTiming();
        MessageSealer sealer;
        const bool started = state.range(0) ? sealer.startInPlace(p.a, {copy})
                                            : sealer.start(p.a, {std::span<const uint8_t>(data)});
        size_t text = 0;
        while (const size_t n = sealer.next(piece.data(), piece.size())) text += n;
        if (!started || text != sealer.textLength()) state.SkipWithError("seal failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_Seal16M)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 16 MB message opened as it arrives, in the pieces a transfer brings,
// into a taker that only looks at it. Told the text's length (argument 1),
// the opener digests and hands on what it opened on a second thread while it
// decodes and decrypts the next pieces; not told (0), it does it all itself.
void BM_OpenArriving16M(benchmark::State& state) {
    ChannelPair& p = pair();
    std::vector<uint8_t> data(16u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
    std::string sealed;
    if (!sealMessage(p.a, data.data(), data.size(), sealed)) state.SkipWithError("seal failed");
    const size_t told = state.range(0) ? sealed.size() : 0;
    constexpr size_t kPiece = 256u << 10;
    for (auto _ : state) {
        uint8_t seen = 0;
        MessageOpener opener;
        bool ok = opener.start(p.b, told, [&seen](const uint8_t* d, size_t n) {
            seen ^= d[n - 1];
            return true;
        });
        for (size_t at = 0; ok && at < sealed.size(); at += kPiece)
            ok = opener.feed(sealed.data() + at, std::min(kPiece, sealed.size() - at));
        SecretBytes none;
        if (!ok || !opener.finish(none)) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(seen);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_OpenArriving16M)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: the four RSA operations of one round trip, same keys, same library.
void BM_RsaSignVerifyEncryptDecrypt(benchmark::State& state) {
    ChannelPair& p = pair();
    uint8_t digest[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t sessionKey[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    uint8_t signature[128], encrypted[128], decrypted[128];
    for (auto _ : state) {
        unsigned sigLength = 0;
        int encLength = 0, decLength = 0;
        const bool ok =
            signDigest(*p.a.signPrivateKey, digest, signature, &sigLength) &&
            verifyDigest(*p.b.signPublicKey, digest, signature, sigLength) &&
            publicEncrypt(*p.a.cryptPublicKey, sessionKey, 16, encrypted, &encLength) &&
            privateDecrypt(*p.b.cryptPrivateKey, encrypted, encLength, decrypted, &decLength);
        if (!ok || decLength != 16) state.SkipWithError("rsa failed");
        benchmark::DoNotOptimize(decrypted);
    }
}
BENCHMARK(BM_RsaSignVerifyEncryptDecrypt)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
