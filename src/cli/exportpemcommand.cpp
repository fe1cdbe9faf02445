// talvekkey export-pem: a channel's public keys in the form every other tool
// reads (PEM SubjectPublicKeyInfo), so that `openssl pkey -pubin` takes them
// and anyone can recompute the fingerprints inspect shows.

#include <ostream>
#include <sstream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "fileio/filewriter.h"
#include "keystore/cp1251.h"
#include "keystore/fingerprint.h"
#include "keystore/rsakeyrecord.h"

namespace Talvek::Cli {

namespace {

int runExportPem(const std::vector<std::string>& args, Io& io);

const Command kExportPem{
    "export-pem", "export-pem FILE LOCAL REMOTE [OUTPUT]",
    "Writes the public keys of the channel LOCAL : REMOTE of the key file FILE\n"
    "(a key base or a public-part file) as PEM blocks (SubjectPublicKeyInfo),\n"
    "one per key, each after a comment line that names its use, its owner and\n"
    "its fingerprint, to OUTPUT or else to standard output. openssl pkey -pubin\n"
    "reads each block. FILE may be - (stdin).",
    runExportPem};

constexpr const char* kExportFailed = "Ошибка экспорта канала!";

// A key name for a comment line: a control character would end the line.
std::string printableName(const std::string& cp1251) {
    std::string name = cp1251ToUtf8(cp1251);
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return name;
}

void appendKey(std::string& out, const char* use, const std::string& owner,
               const RsaKeyRecord* key) {
    if (!key) return;
    const std::string pem = publicKeyPem(*key);
    if (pem.empty()) return;
    out += std::string("# ") + use + " key of \"" + printableName(owner) + "\", " +
           std::to_string(BN_num_bits(key->n())) + " bits, " + publicKeyFingerprint(*key) + "\n";
    out += pem;
}

// Own keys first (their public halves), then the peer's. A public-part file
// holds its sender's keys as public keys, named after its local key.
std::string channelPem(const SecureChannel& c, KeyFileKind kind) {
    const std::string& peer = kind == KeyFileKind::PublicPart ? c.localName : c.remoteName;
    std::string out;
    if (c.useCrypt) {
        if (c.hasCryptPrivate) appendKey(out, "encryption", c.localName, c.cryptPrivateKey.get());
        if (c.hasCryptPublic) appendKey(out, "encryption", peer, c.cryptPublicKey.get());
    }
    if (c.useSign) {
        if (c.hasSignPrivate) appendKey(out, "signature", c.localName, c.signPrivateKey.get());
        if (c.hasSignPublic) appendKey(out, "signature", peer, c.signPublicKey.get());
    }
    return out;
}

int runExportPem(const std::vector<std::string>& args, Io& io) {
    if (args.size() != 3 && args.size() != 4) {
        return usageError(io, kExportPem, "expected FILE LOCAL REMOTE [OUTPUT]");
    }
    const bool toFile = args.size() == 4;
    if (toFile && refusesOutput(args[0], args[3], io)) return Failure;
    std::string pem;
    try {
        CommandChannel c;
        if (!loadCommandChannel(args[0], args[1], args[2], kExportFailed, c, io, true)) return Failure;
        pem = channelPem(*c.channel, c.kind);
    } catch (const SecureException& e) {
        return keyStoreFailure(e, kExportFailed, io);
    }
    if (pem.empty()) {
        io.err << "talvekkey: the channel holds no public key\n";
        return Failure;
    }
    if (!toFile) {
        io.out << pem;
        return Success;
    }
    const FileResult written = writeWhole(args[3], FileWriter::Permissions::Normal,
                                          [&pem](FileWriter& out) { return out.write(pem); });
    if (!written) {
        printFailure(io.err, kExportFailed, written.failure());
        return Failure;
    }
    return Success;
}

}  // namespace

const Command& exportPemCommand() { return kExportPem; }

}  // namespace Talvek::Cli
