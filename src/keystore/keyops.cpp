#include "keystore/keyops.h"

#include <cerrno>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/encoding.h"
#include "fileio/fileexists.h"
#include "fileio/filefault.h"
#include "keystore/fingerprint.h"
#include "keystore/keybase.h"
#include "fileio/transaction.h"

namespace Talvek {

namespace {

// A public key that came from the other side: it must be a real RSA public
// key of the size the channel declares. An even modulus, a modulus of another
// size or an exponent of 1 (which "encrypts" to the plain text) is refused, so
// such a key never enters a base.
bool isPlausiblePeerKey(const std::unique_ptr<RsaKeyRecord>& key, uint32_t declaredBits) {
    // The size also sets what the receiver generates for its own half: a
    // declared 16392 bits would hold the program for minutes.
    return key && key->isSet() && key->hasPlausiblePublic() && declaredBits >= kMinKeyBits &&
           declaredBits <= kMaxKeyBits &&
           static_cast<uint32_t>(BN_num_bits(key->n())) == declaredBits;
}

// The public half of an own key pair, or null when the pair is incomplete.
std::unique_ptr<RsaKeyRecord> publicHalf(const std::unique_ptr<RsaKeyRecord>& own) {
    std::unique_ptr<RsaKeyRecord> out;
    if (!own || !own->extractPublic(out)) return nullptr;
    return out;
}

// The files of one action each play one role: a later write must never
// replace what an earlier one wrote or read, however the names are spelt.
bool rolesCollide(std::initializer_list<const std::string*> paths) {
    // Each file is found out once, however many it is compared with.
    std::vector<FileIdentity> files;
    files.reserve(paths.size());
    for (const std::string* path : paths) files.emplace_back(*path);
    for (size_t a = 0; a < files.size(); ++a) {
        for (size_t b = a + 1; b < files.size(); ++b) {
            if (sameFile(files[a], files[b])) {
                noteFileFailure(files[b].path(), FileFault::TwoRoles);
                return true;
            }
        }
    }
    return false;
}

PublicPartFingerprints fingerprintsOf(const RsaKeyRecord* crypt, const RsaKeyRecord* sign) {
    PublicPartFingerprints out;
    if (crypt) out.crypt = publicKeyFingerprint(*crypt);
    if (sign) out.sign = publicKeyFingerprint(*sign);
    return out;
}

// The public part's keys: those of the uses it has.
PublicPartFingerprints importedFingerprints(const SecureChannel& imported) {
    return fingerprintsOf(imported.useCrypt ? imported.cryptPublicKey.get() : nullptr,
                          imported.useSign ? imported.signPublicKey.get() : nullptr);
}

// The file may have changed since its fingerprints were shown; only the keys
// the user saw are imported.
bool stillAsShown(const SecureChannel& imported, const PublicPartFingerprints& shown) {
    return shown.empty() || importedFingerprints(imported) == shown;
}

void reportWritten(const SecureChannel& channel, PublicPartFingerprints* written) {
    if (!written) return;
    *written = fingerprintsOf(channel.useCrypt ? channel.cryptPrivateKey.get() : nullptr,
                              channel.useSign ? channel.signPrivateKey.get() : nullptr);
}

// The base a check looks at: the one the action holds, or the file read
// now into scratch. Null when it does not load.
const KeyBase* checkedBase(const KeyWizardData& data, KeyBase& scratch) {
    if (data.action && data.action->begun() && data.action->path() == data.baseFile) {
        return data.action->loaded() ? &data.action->base() : nullptr;
    }
    return scratch.loadBase(data.baseFile) ? &scratch : nullptr;
}

// The action a change runs in: the one the caller holds (the outputs are
// locked into it too), or one begun here.
BaseAction* actionFor(const KeyWizardData& data, BaseAction& local,
                      const std::vector<std::string>& outputs) {
    if (data.action && data.action->begun() && data.action->path() == data.baseFile) {
        return data.action->transaction().lock(outputs) ? data.action : nullptr;
    }
    return local.begin(data.baseFile, outputs) ? &local : nullptr;
}

// A base read only in part is never written back: the save would drop what
// its damaged count left unread.
bool readWhole(const KeyBase& base, const std::string& path) {
    if (base.unreadBytes() == 0) return true;
    noteUnreadBytes(path, base.unreadBytes());
    return false;
}

// The base holds, as own keys, one of the public keys of the imported part.
bool holdsOwnKeysOf(const KeyBase& base, const SecureChannel& imported) {
    const PublicPartFingerprints theirs = importedFingerprints(imported);
    auto held = [&](const std::string& fingerprint) {
        return !fingerprint.empty() && (fingerprint == theirs.crypt || fingerprint == theirs.sign);
    };
    for (const auto& [name, node] : base.nodes) {
        for (const auto& [remote, channel] : node->channels) {
            for (const auto* own :
                 {channel->cryptPrivateKey.get(), channel->signPrivateKey.get()}) {
                if (own && held(publicKeyFingerprint(*own))) return true;
            }
        }
    }
    return false;
}

// Mode 1: the server's channel that the imported part completes, made with
// the same uses and sizes and not completed yet; null otherwise.
const SecureChannel* channelCompletedBy(const KeyBase& base, const SecureChannel& imported) {
    const SecureChannel* own = base.findChannel(imported.remoteName, imported.localName);
    if (!own) return nullptr;
    if ((own->useCrypt != 0) != (imported.useCrypt != 0) ||
        (own->useSign != 0) != (imported.useSign != 0)) {
        return nullptr;
    }
    if (own->useCrypt && own->cryptSize != imported.cryptSize) return nullptr;
    if (own->useSign && own->signSize != imported.signSize) return nullptr;
    if (own->hasCryptPublic || own->hasSignPublic) return nullptr;
    return own;
}

}  // namespace

bool isPlausibleKeyName(const std::string& cp1251) {
    if (cp1251.size() > kMaxKeyNameBytes) return false;
    bool blank = true;
    for (const char c : cp1251) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
        if (byte != ' ' && byte != 0xA0) blank = false;  // 0xA0: no-break space
    }
    return cp1251.empty() || !blank;
}

std::unique_ptr<SecureChannel> newLocalChannel(const std::string& localName,
                                               const std::string& remoteName, bool useCrypt,
                                               bool useSign, uint32_t cryptBits,
                                               uint32_t signBits) {
    // Sizes nobody is offered are refused before minutes go into generating them.
    auto offered = [](uint32_t bits) { return bits >= kMinKeyBits && bits <= kMaxKeyBits; };
    if ((useCrypt && !offered(cryptBits)) || (useSign && !offered(signBits))) return nullptr;
    auto channel = std::make_unique<SecureChannel>();
    channel->localName = localName;
    channel->remoteName = remoteName;
    if (useCrypt) {
        channel->useCrypt = 1;
        channel->cryptPrivateKey = std::make_unique<RsaKeyRecord>();
        if (!channel->cryptPrivateKey->generate(localName, static_cast<int>(cryptBits))) {
            return nullptr;
        }
        channel->hasCryptPrivate = 1;
        channel->hasCryptPublic = 0;
        channel->cryptSize = cryptBits;
    }
    if (useSign) {
        channel->useSign = 1;
        channel->signPrivateKey = std::make_unique<RsaKeyRecord>();
        if (!channel->signPrivateKey->generate(localName, static_cast<int>(signBits))) {
            return nullptr;
        }
        channel->hasSignPrivate = 1;
        channel->hasSignPublic = 0;
        channel->signSize = signBits;
    }
    return channel;
}

bool writePublicPartTo(const SecureChannel& channel, FileWriter& file) {
    // Both halves are taken before the file is touched, so a channel without
    // its own keys leaves no partly written file behind.
    std::unique_ptr<RsaKeyRecord> cryptPublic;
    std::unique_ptr<RsaKeyRecord> signPublic;
    if (channel.useCrypt && !(cryptPublic = publicHalf(channel.cryptPrivateKey))) return false;
    if (channel.useSign && !(signPublic = publicHalf(channel.signPrivateKey))) return false;
    writeMagic(file, kChannelMagic);
    writeU8(file, channel.useCrypt);
    writeU8(file, channel.useSign);
    writeString(file, channel.localName);
    writeString(file, channel.remoteName);
    writeU8(file, 0);
    writeU8(file, channel.useCrypt ? 1 : 0);
    writeU8(file, 0);
    writeU8(file, channel.useSign ? 1 : 0);
    writeU32(file, channel.cryptSize);
    writeU32(file, channel.signSize);
    bool ok = true;
    if (cryptPublic) ok = ok && cryptPublic->writePublic(file);
    if (signPublic) ok = ok && signPublic->writePublic(file);
    return ok && !file.writeFailed();
}

namespace {

bool writeJavaKeyFileTo(const SecureChannel& channel, FileWriter& file) {
    const auto& own = channel.signPrivateKey;
    const auto& peer = channel.signPublicKey;
    if (!own || !own->isSet() || !own->hasCompletePrivate()) return false;
    if (!peer || !peer->isSet() || !peer->hasPlausiblePublic()) return false;
    return own->writeHexPrivate(file) == 1 && peer->writeHexPublic(file) == 1 &&
           !file.writeFailed();
}

// Writes one file whole or not at all.
template <typename Writer>
bool writeWhole(const std::string& path, FileWriter::Permissions permissions, Writer writer) {
    FileWriter file;
    if (!file.create(path, permissions)) return false;
    if (!writer(file)) {
        file.discard();
        return false;
    }
    return file.close();
}

}  // namespace

bool writePublicPart(const SecureChannel& channel, const std::string& path) {
    // Checked before the file is created: a channel without its own keys
    // touches nothing.
    if (channel.useCrypt && !publicHalf(channel.cryptPrivateKey)) return false;
    if (channel.useSign && !publicHalf(channel.signPrivateKey)) return false;
    return writeWhole(path, FileWriter::Permissions::Normal,
                      [&](FileWriter& file) { return writePublicPartTo(channel, file); });
}

bool readChannelFile(SecureChannel& channel, const std::string& path) {
    FileReader file;
    if (!file.openExisting(path)) return false;
    const bool ok = channel.readChannel(file);
    file.close();
    if (!ok) noteFileFailure(path, FileFault::NotAKeyFile);
    return ok;
}

bool completeWithPublicPart(SecureChannel& channel, const SecureChannel* imported) {
    if (!imported) return false;
    if (channel.useCrypt && !isPlausiblePeerKey(imported->cryptPublicKey, channel.cryptSize)) {
        return false;
    }
    if (channel.useSign && !isPlausiblePeerKey(imported->signPublicKey, channel.signSize)) {
        return false;
    }
    // Copied into new records first: the channel changes only when every
    // copy succeeded.
    std::unique_ptr<RsaKeyRecord> cryptPublic;
    std::unique_ptr<RsaKeyRecord> signPublic;
    if (channel.useCrypt) {
        cryptPublic = std::make_unique<RsaKeyRecord>();
        if (!cryptPublic->copyPublicFrom(imported->cryptPublicKey.get())) return false;
    }
    if (channel.useSign) {
        signPublic = std::make_unique<RsaKeyRecord>();
        if (!signPublic->copyPublicFrom(imported->signPublicKey.get())) return false;
    }
    if (cryptPublic) {
        channel.cryptPublicKey = std::move(cryptPublic);
        channel.hasCryptPublic = 1;
    }
    if (signPublic) {
        channel.signPublicKey = std::move(signPublic);
        channel.hasSignPublic = 1;
    }
    return true;
}

bool writeJavaKeyFile(const SecureChannel& channel, const std::string& path) {
    return writeWhole(path, FileWriter::Permissions::OwnerOnly,
                      [&](FileWriter& file) { return writeJavaKeyFileTo(channel, file); });
}

namespace {

// A key base if it reads as one, else a single channel record.
KeyFileContent classifyKeyFile(FileReader& file, KeyBase& base, SecureChannel& channel) {
    if (base.readBase(file)) return KeyFileContent::Base;
    base.clearBase();
    file.rewind();
    if (channel.readChannel(file)) return KeyFileContent::Channel;
    noteFileFailure(file.path(), FileFault::NotAKeyFile);
    return KeyFileContent::Neither;
}

}  // namespace

KeyFileContent readKeyFile(const std::string& path, KeyBase& base, SecureChannel& channel) {
    FileReader file;
    if (!file.openExisting(path)) return KeyFileContent::Neither;
    return classifyKeyFile(file, base, channel);
}

KeyFileContent readKeyContent(const std::string& name, SecretBytes content, KeyBase& base,
                              SecureChannel& channel) {
    FileReader file;
    if (!file.openContent(name, std::move(content))) return KeyFileContent::Neither;
    return classifyKeyFile(file, base, channel);
}

KeyFileContent listKeyFileChannels(const std::string& path,
                                   std::vector<ChannelSummary>& channels) {
    channels.clear();
    FileReader file;
    if (!file.openExisting(path)) return KeyFileContent::Neither;
    KeyBase base;
    KeyBaseSummary header;
    if (base.readSummaries(file, header, channels)) return KeyFileContent::Base;
    channels.clear();
    file.rewind();
    SecureChannel channel;
    if (channel.readChannel(file, KeyParts::PublicOnly) &&
        channel.toSummary(&channels.emplace_back()))
        return KeyFileContent::Channel;
    channels.clear();
    noteFileFailure(path, FileFault::NotAKeyFile);
    return KeyFileContent::Neither;
}

bool isPublicPartFile(const std::string& path) {
    if (!fileExists(path)) {
        noteFileFailure(path, FileFault::System, ENOENT);
        return false;
    }
    SecureChannel scratch;
    return readChannelFile(scratch, path);
}

bool isPrivateBase(const std::string& path, bool mustExist) {
    if (!mustExist && !fileExists(path)) return true;
    KeyBase base;
    return base.loadBase(path);
}

bool BaseAction::begin(const std::string& basePath, const std::vector<std::string>& outputs) {
    path_ = basePath;
    std::vector<std::string> all{basePath};
    all.insert(all.end(), outputs.begin(), outputs.end());
    if (!transaction_.lock(all)) return false;
    begun_ = true;
    exists_ = transaction_.exists(basePath);
    if (exists_) {
        loaded_ = base_.loadBaseLocked(transaction_, basePath);
        if (!loaded_) readFailure_ = lastFileFailure();
    } else {
        readFailure_ = {basePath, FileFault::System, ENOENT};
    }
    return true;
}

bool BaseAction::loaded() const {
    if (!loaded_) noteFileFailure(readFailure_.path, readFailure_.fault, readFailure_.error);
    return loaded_;
}

bool baseLoads(const KeyWizardData& data, bool mustExist) {
    if (data.action && data.action->begun() && data.action->path() == data.baseFile) {
        return (!mustExist && !data.action->exists()) || data.action->loaded();
    }
    return isPrivateBase(data.baseFile, mustExist);
}

bool isImportablePublicPart(const SecureChannel& imported) {
    // A public-part file carries no private key; one that does was made from
    // a key base by mistake and must not travel further.
    if (imported.hasCryptPrivate || imported.hasSignPrivate) return false;
    if (imported.useCrypt && !isPlausiblePeerKey(imported.cryptPublicKey, imported.cryptSize)) {
        return false;
    }
    if (imported.useSign && !isPlausiblePeerKey(imported.signPublicKey, imported.signSize)) {
        return false;
    }
    // Names from a file follow the rules of typed names.
    return isPlausibleKeyName(imported.localName) && isPlausibleKeyName(imported.remoteName);
}

PublicPartFingerprints publicPartFingerprints(const SecureChannel& imported) {
    return importedFingerprints(imported);
}

PublicPartFingerprints ownFingerprints(const SecureChannel& channel) {
    PublicPartFingerprints out;
    reportWritten(channel, &out);
    return out;
}

bool readImportedChannel(KeyWizardData& data) {
    SecureChannel imported;
    if (!readChannelFile(imported, data.importFile)) return false;
    // A public-part file carries no private key; one that does was made from
    // a key base by mistake and must not travel further.
    if (imported.hasCryptPrivate || imported.hasSignPrivate) return false;
    if (imported.useCrypt && !isPlausiblePeerKey(imported.cryptPublicKey, imported.cryptSize)) {
        return false;
    }
    if (imported.useSign && !isPlausiblePeerKey(imported.signPublicKey, imported.signSize)) {
        return false;
    }
    // Names from a file follow the rules of typed names: a name nobody could
    // type (control characters, blanks only, too long) came from a damaged
    // or hostile file.
    if (!isPlausibleKeyName(imported.localName) || !isPlausibleKeyName(imported.remoteName)) {
        noteFileFailure(data.importFile, FileFault::NotAKeyFile);
        return false;
    }

    if (data.mode == ImportUserPart) {
        data.userKeyName = imported.localName;
        data.serverKeyName = imported.remoteName;
    } else {
        data.serverKeyName = imported.localName;
        data.userKeyName = imported.remoteName;
    }
    data.useCrypt = imported.useCrypt != 0;
    data.useSign = imported.useSign != 0;
    data.cryptSize = imported.cryptSize;
    data.signSize = imported.signSize;
    data.imported = importedFingerprints(imported);
    if (data.mode != ImportUserPart) return true;

    // The server base must hold the channel this part completes. Looked up
    // by the full names, so names of any length match.
    KeyBase scratch;
    const KeyBase* base = checkedBase(data, scratch);
    return base && channelCompletedBy(*base, imported);
}

bool importIsOwnPart(const KeyWizardData& data) {
    SecureChannel imported;
    KeyBase scratch;
    if (!readChannelFile(imported, data.importFile)) return false;
    const KeyBase* base = checkedBase(data, scratch);
    const bool own = base && holdsOwnKeysOf(*base, imported);
    forgetFileFailure();  // a base that does not load is judged by its own check
    return own;
}

bool checkImportNotInBase(const KeyWizardData& data) {
    KeyBase scratch;
    const KeyBase* base = checkedBase(data, scratch);
    if (!base) {
        forgetFileFailure();  // a new user base will be made
        return true;
    }
    SecureChannel imported;
    if (!readChannelFile(imported, data.importFile)) return false;
    return !base->findChannel(imported.remoteName, imported.localName) &&
           !base->findChannel(imported.localName, imported.remoteName);
}

bool checkNamesUnused(const KeyWizardData& data) {
    KeyBase scratch;
    // A file that is no key base counts as taken, so it is never replaced.
    // A base whose channels were all deleted is a base like any other: its
    // empty nodes hold no names, and new channels go into it.
    const KeyBase* base = checkedBase(data, scratch);
    return base && !base->findChannel(data.serverKeyName, data.userKeyName) &&
           !base->findChannel(data.userKeyName, data.serverKeyName);
}

namespace {

// The base's new content staged in the transaction.
bool stageBase(Transaction& transaction, const std::string& path, const KeyBase& base) {
    FileWriter* file = transaction.stage(path, FileWriter::Permissions::OwnerOnly);
    return file && base.writeBase(*file);
}

// The base of a change: it loads, or (where a new one may be made) does not
// exist; it was read whole.
bool usableBase(BaseAction& action, bool mayBeNew) {
    if (mayBeNew && !action.exists()) return true;
    return action.loaded() && readWhole(action.base(), action.path());
}

}  // namespace

bool createServerKey(const KeyWizardData& data, PublicPartFingerprints* written) {
    if (rolesCollide({&data.baseFile, &data.exportFile})) return false;
    BaseAction local;
    BaseAction* action = actionFor(data, local, {data.exportFile});
    if (!action || !usableBase(*action, true)) return false;
    KeyBase& base = action->base();
    // The names page looked before the lock was taken; another program may
    // have made a channel of these names since. A channel is never replaced.
    if (base.findChannel(data.serverKeyName, data.userKeyName) ||
        base.findChannel(data.userKeyName, data.serverKeyName)) {
        return false;
    }
    auto channel = newLocalChannel(data.serverKeyName, data.userKeyName, data.useCrypt,
                                   data.useSign, data.cryptSize, data.signSize);
    if (!channel) return false;
    const SecureChannel& made = *channel;
    reportWritten(made, written);
    base.addChannel(std::move(channel));
    // The public part goes out only together with the base that holds its
    // keys: both are staged, the base is put in place first.
    Transaction& transaction = action->transaction();
    if (!stageBase(transaction, data.baseFile, base)) return false;
    FileWriter* part = transaction.stage(data.exportFile, FileWriter::Permissions::Normal);
    if (!part || !writePublicPartTo(made, *part)) return false;
    return transaction.commit();
}

bool importUserPublicPart(const KeyWizardData& data) {
    if (rolesCollide({&data.baseFile, &data.importFile})) return false;
    SecureChannel imported;
    if (!readChannelFile(imported, data.importFile)) return false;
    if (imported.localName != data.userKeyName || imported.remoteName != data.serverKeyName) {
        return false;
    }
    if (!stillAsShown(imported, data.imported)) return false;
    BaseAction local;
    BaseAction* action = actionFor(data, local, {});
    if (!action || !usableBase(*action, false)) return false;
    KeyBase& base = action->base();
    // Checked again under the lock. The user's keys are taken once: a
    // completed channel keeps the keys it was completed with, even if the
    // file changed since it was checked.
    if (holdsOwnKeysOf(base, imported)) return false;
    SecureChannel* own = channelCompletedBy(base, imported)
                             ? base.findChannel(imported.remoteName, imported.localName)
                             : nullptr;
    if (!own || !completeWithPublicPart(*own, &imported)) return false;
    return stageBase(action->transaction(), data.baseFile, base) && action->transaction().commit();
}

bool createUserKey(const KeyWizardData& data, const std::string& javaPath,
                   PublicPartFingerprints* written) {
    if (rolesCollide({&data.baseFile, &data.importFile, &data.exportFile})) return false;
    if (data.javaClient &&
        rolesCollide({&javaPath, &data.baseFile, &data.importFile, &data.exportFile})) {
        return false;
    }
    SecureChannel imported;
    if (!readChannelFile(imported, data.importFile)) return false;
    if (imported.localName != data.serverKeyName || imported.remoteName != data.userKeyName) {
        return false;
    }
    if (!stillAsShown(imported, data.imported)) return false;
    // The Java client file needs the signing keys.
    if (data.javaClient && !data.useSign) return false;

    BaseAction local;
    BaseAction* action =
        actionFor(data, local, {data.exportFile, data.javaClient ? javaPath : std::string()});
    // A file that exists but does not load may hold keys we cannot read;
    // replacing it would lose them. Only a missing file is made anew.
    if (!action || !usableBase(*action, true)) return false;
    KeyBase& base = action->base();
    // Checked again under the lock: no channel between the two names in
    // either order, and not this base's own public part coming back.
    if (base.findChannel(data.userKeyName, data.serverKeyName) ||
        base.findChannel(data.serverKeyName, data.userKeyName) || holdsOwnKeysOf(base, imported)) {
        return false;
    }

    auto channel = newLocalChannel(data.userKeyName, data.serverKeyName, data.useCrypt,
                                   data.useSign, data.cryptSize, data.signSize);
    if (!channel) return false;
    // Completed before anything is written: a server part that cannot
    // complete the channel must not leave a public part of ours behind.
    if (!completeWithPublicPart(*channel, &imported)) return false;
    const SecureChannel& made = *channel;
    reportWritten(made, written);
    base.addChannel(std::move(channel));
    // Base, public part and Java file all or none: a failed Java file must
    // not leave a base that refuses the retry.
    Transaction& transaction = action->transaction();
    if (!stageBase(transaction, data.baseFile, base)) return false;
    FileWriter* part = transaction.stage(data.exportFile, FileWriter::Permissions::Normal);
    if (!part || !writePublicPartTo(made, *part)) return false;
    if (data.javaClient) {
        FileWriter* java = transaction.stage(javaPath, FileWriter::Permissions::OwnerOnly);
        if (!java || !writeJavaKeyFileTo(made, *java)) return false;
    }
    return transaction.commit();
}

RemoveOutcome removeChannelFrom(const std::string& path, const std::string& localName,
                                const std::string& remoteName) {
    Transaction transaction;
    if (!transaction.lock(path)) return RemoveOutcome::LockFailed;
    KeyBase base;
    if (!base.loadBaseLocked(transaction, path)) return RemoveOutcome::NotABase;
    if (base.channelCount() <= 0) return RemoveOutcome::NoChannels;
    if (!base.deleteChannel(localName, remoteName)) return RemoveOutcome::NoSuchChannel;
    if (!readWhole(base, path)) return RemoveOutcome::SaveFailed;
    return stageBase(transaction, path, base) && transaction.commit() ? RemoveOutcome::Removed
                                                                      : RemoveOutcome::SaveFailed;
}

bool removeChannel(const std::string& path, const std::string& localName,
                   const std::string& remoteName) {
    return removeChannelFrom(path, localName, remoteName) == RemoveOutcome::Removed;
}

}  // namespace Talvek
