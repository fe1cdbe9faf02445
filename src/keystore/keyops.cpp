#include "keystore/keyops.h"

#include <cerrno>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/encoding.h"
#include "fileio/fileexists.h"
#include "fileio/fileresult.h"
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
// Fails, naming the later file, when two are one.
FileResult rolesApart(std::initializer_list<const std::string*> paths) {
    // Each file is found out once, however many it is compared with.
    std::vector<FileIdentity> files;
    files.reserve(paths.size());
    for (const std::string* path : paths) files.emplace_back(*path);
    for (size_t a = 0; a < files.size(); ++a) {
        for (size_t b = a + 1; b < files.size(); ++b) {
            if (sameFile(files[a], files[b]))
                return FileResult::failed(files[b].path(), FileFault::TwoRoles);
        }
    }
    return {};
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
// now into scratch. base is null when it does not load, and the result says why.
FileResult checkedBase(const KeyWizardData& data, KeyBase& scratch, const KeyBase*& base) {
    base = nullptr;
    const bool held = data.action && data.action->begun() && data.action->path() == data.baseFile;
    FileResult loaded = held ? data.action->loaded() : scratch.loadBase(data.baseFile);
    if (loaded) base = held ? &data.action->base() : &scratch;
    return loaded;
}

const KeyBase* checkedBase(const KeyWizardData& data, KeyBase& scratch) {
    const KeyBase* base = nullptr;
    static_cast<void>(checkedBase(data, scratch, base));
    return base;
}

// The action a change runs in: the one the caller holds (the outputs are
// locked into it too), or one begun here.
FileResult actionFor(const KeyWizardData& data, BaseAction& local,
                     const std::vector<std::string>& outputs, BaseAction*& action) {
    action = nullptr;
    FileResult result;
    if (data.action && data.action->begun() && data.action->path() == data.baseFile) {
        result = data.action->transaction().lock(outputs);
        if (result) action = data.action;
    } else {
        result = local.begin(data.baseFile, outputs);
        if (result) action = &local;
    }
    return result;
}

// A base read only in part is never written back: the save would drop what
// its damaged count left unread.
FileResult readWhole(const KeyBase& base, const std::string& path) {
    if (base.unreadBytes() == 0) return {};
    return FileResult::unreadBytes(path, base.unreadBytes());
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

}  // namespace

FileResult writePublicPart(const SecureChannel& channel, const std::string& path) {
    // Checked before the file is created: a channel without its own keys
    // touches nothing.
    if (channel.useCrypt && !publicHalf(channel.cryptPrivateKey)) return FileResult::failed();
    if (channel.useSign && !publicHalf(channel.signPrivateKey)) return FileResult::failed();
    return writeWhole(path, FileWriter::Permissions::Normal,
                      [&](FileWriter& file) { return writePublicPartTo(channel, file); });
}

FileResult readChannelFile(SecureChannel& channel, const std::string& path) {
    FileReader file;
    if (FileResult opened = file.openExisting(path); !opened) return opened;
    const bool ok = channel.readChannel(file);
    file.close();
    if (!ok) return FileResult::failed(path, FileFault::NotAKeyFile);
    return {};
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

FileResult writeJavaKeyFile(const SecureChannel& channel, const std::string& path) {
    return writeWhole(path, FileWriter::Permissions::OwnerOnly,
                      [&](FileWriter& file) { return writeJavaKeyFileTo(channel, file); });
}

namespace {

// A key base if it reads as one, else a single channel record.
FileResult classifyKeyFile(FileReader& file, KeyBase& base, SecureChannel& channel,
                           KeyFileContent& content) {
    content = KeyFileContent::Base;
    if (base.readBase(file)) return {};
    base.clearBase();
    file.rewind();
    content = KeyFileContent::Channel;
    if (channel.readChannel(file)) return {};
    content = KeyFileContent::Neither;
    return FileResult::failed(file.path(), FileFault::NotAKeyFile);
}

}  // namespace

FileResult readKeyFile(const std::string& path, KeyBase& base, SecureChannel& channel,
                       KeyFileContent& content) {
    content = KeyFileContent::Neither;
    FileReader file;
    if (FileResult opened = file.openExisting(path); !opened) return opened;
    return classifyKeyFile(file, base, channel, content);
}

FileResult readKeyContent(const std::string& name, SecretBytes bytes, KeyBase& base,
                          SecureChannel& channel, KeyFileContent& content) {
    content = KeyFileContent::Neither;
    FileReader file;
    if (FileResult opened = file.openContent(name, std::move(bytes)); !opened) return opened;
    return classifyKeyFile(file, base, channel, content);
}

FileResult listKeyFileChannels(const std::string& path, std::vector<ChannelSummary>& channels,
                               KeyFileContent& content) {
    channels.clear();
    content = KeyFileContent::Neither;
    FileReader file;
    if (FileResult opened = file.openExisting(path); !opened) return opened;
    KeyBase base;
    KeyBaseSummary header;
    content = KeyFileContent::Base;
    if (base.readSummaries(file, header, channels)) return {};
    channels.clear();
    file.rewind();
    SecureChannel channel;
    content = KeyFileContent::Channel;
    if (channel.readChannel(file, KeyParts::PublicOnly) &&
        channel.toSummary(&channels.emplace_back()))
        return {};
    channels.clear();
    content = KeyFileContent::Neither;
    return FileResult::failed(path, FileFault::NotAKeyFile);
}

FileResult isPublicPartFile(const std::string& path) {
    if (!fileExists(path)) return FileResult::failed(path, FileFault::System, ENOENT);
    SecureChannel scratch;
    return readChannelFile(scratch, path);
}

FileResult isPrivateBase(const std::string& path, bool mustExist) {
    if (!mustExist && !fileExists(path)) return {};
    KeyBase base;
    return base.loadBase(path);
}

FileResult BaseAction::begin(const std::string& basePath,
                             const std::vector<std::string>& outputs) {
    path_ = basePath;
    std::vector<std::string> all{basePath};
    all.insert(all.end(), outputs.begin(), outputs.end());
    if (FileResult locked = transaction_.lock(all); !locked) return locked;
    begun_ = true;
    exists_ = transaction_.exists(basePath);
    read_ = exists_ ? base_.loadBaseLocked(transaction_, basePath)
                    : FileResult::failed(basePath, FileFault::System, ENOENT);
    return {};
}

FileResult BaseAction::loaded() const {
    return read_;
}

FileResult baseLoads(const KeyWizardData& data, bool mustExist) {
    if (data.action && data.action->begun() && data.action->path() == data.baseFile) {
        if (!mustExist && !data.action->exists()) return {};
        return data.action->loaded();
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

FileResult readImportedChannel(KeyWizardData& data) {
    SecureChannel imported;
    if (FileResult read = readChannelFile(imported, data.importFile); !read) return read;
    // A public-part file carries no private key; one that does was made from
    // a key base by mistake and must not travel further.
    if (imported.hasCryptPrivate || imported.hasSignPrivate) return FileResult::failed();
    if (imported.useCrypt && !isPlausiblePeerKey(imported.cryptPublicKey, imported.cryptSize)) {
        return FileResult::failed();
    }
    if (imported.useSign && !isPlausiblePeerKey(imported.signPublicKey, imported.signSize)) {
        return FileResult::failed();
    }
    // Names from a file follow the rules of typed names: a name nobody could
    // type (control characters, blanks only, too long) came from a damaged
    // or hostile file.
    if (!isPlausibleKeyName(imported.localName) || !isPlausibleKeyName(imported.remoteName))
        return FileResult::failed(data.importFile, FileFault::NotAKeyFile);

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
    if (data.mode != ImportUserPart) return {};

    // The server base must hold the channel this part completes. Looked up
    // by the full names, so names of any length match.
    KeyBase scratch;
    const KeyBase* base = checkedBase(data, scratch);
    if (!base || !channelCompletedBy(*base, imported)) return FileResult::failed();
    return {};
}

bool importIsOwnPart(const KeyWizardData& data) {
    SecureChannel imported;
    KeyBase scratch;
    if (!readChannelFile(imported, data.importFile)) return false;
    const KeyBase* base = checkedBase(data, scratch);
    // A base that does not load is judged by its own check.
    return base && holdsOwnKeysOf(*base, imported);
}

FileResult checkImportNotInBase(const KeyWizardData& data) {
    KeyBase scratch;
    const KeyBase* base = checkedBase(data, scratch);
    if (!base) return {};  // a new user base will be made
    SecureChannel imported;
    if (FileResult read = readChannelFile(imported, data.importFile); !read) return read;
    if (base->findChannel(imported.remoteName, imported.localName) ||
        base->findChannel(imported.localName, imported.remoteName))
        return FileResult::failed();
    return {};
}

FileResult checkNamesUnused(const KeyWizardData& data) {
    // A file that is no key base counts as taken, so it is never replaced.
    // A base whose channels were all deleted is a base like any other: its
    // empty nodes hold no names, and new channels go into it.
    KeyBase scratch;
    const KeyBase* base = nullptr;
    if (FileResult loaded = checkedBase(data, scratch, base); !loaded) return loaded;
    if (base->findChannel(data.serverKeyName, data.userKeyName) ||
        base->findChannel(data.userKeyName, data.serverKeyName))
        return FileResult::failed();
    return {};
}

namespace {

// The base of a change: it loads, or (where a new one may be made) does not
// exist; it was read whole.
FileResult usableBase(BaseAction& action, bool mayBeNew) {
    if (mayBeNew && !action.exists()) return {};
    if (FileResult loaded = action.loaded(); !loaded) return loaded;
    return readWhole(action.base(), action.path());
}

}  // namespace

FileResult stageBase(Transaction& transaction, const std::string& path, const KeyBase& base) {
    FileWriter* file = nullptr;
    if (FileResult staged = transaction.stage(path, FileWriter::Permissions::OwnerOnly, file);
        !staged)
        return staged;
    return file->contentResult(base.writeBase(*file));
}

FileResult stageWritten(Transaction& transaction, const std::string& path,
                        FileWriter::Permissions permissions,
                        const std::function<bool(FileWriter&)>& writer) {
    FileWriter* file = nullptr;
    if (FileResult staged = transaction.stage(path, permissions, file); !staged) return staged;
    return file->contentResult(writer(*file));
}

namespace {

// A change's base, then the public part of the channel it made.
FileResult stageBaseAndPart(Transaction& transaction, const KeyWizardData& data,
                            const KeyBase& base, const SecureChannel& made) {
    if (FileResult staged = stageBase(transaction, data.baseFile, base); !staged) return staged;
    return stageWritten(transaction, data.exportFile, FileWriter::Permissions::Normal,
                        [&made](FileWriter& file) { return writePublicPartTo(made, file); });
}

}  // namespace

FileResult createServerKey(const KeyWizardData& data, PublicPartFingerprints* written) {
    if (FileResult apart = rolesApart({&data.baseFile, &data.exportFile}); !apart) return apart;
    BaseAction local;
    BaseAction* action = nullptr;
    if (FileResult begun = actionFor(data, local, {data.exportFile}, action); !begun)
        return begun;
    if (FileResult usable = usableBase(*action, true); !usable) return usable;
    KeyBase& base = action->base();
    // The names page looked before the lock was taken; another program may
    // have made a channel of these names since. A channel is never replaced.
    if (base.findChannel(data.serverKeyName, data.userKeyName) ||
        base.findChannel(data.userKeyName, data.serverKeyName)) {
        return FileResult::failed();
    }
    auto channel = newLocalChannel(data.serverKeyName, data.userKeyName, data.useCrypt,
                                   data.useSign, data.cryptSize, data.signSize);
    if (!channel) return FileResult::failed();
    const SecureChannel& made = *channel;
    reportWritten(made, written);
    base.addChannel(std::move(channel));
    // The public part goes out only together with the base that holds its
    // keys: both are staged, the base is put in place first.
    Transaction& transaction = action->transaction();
    if (FileResult staged = stageBaseAndPart(transaction, data, base, made); !staged)
        return staged;
    return transaction.commit();
}

FileResult importUserPublicPart(const KeyWizardData& data) {
    if (FileResult apart = rolesApart({&data.baseFile, &data.importFile}); !apart) return apart;
    SecureChannel imported;
    if (FileResult read = readChannelFile(imported, data.importFile); !read) return read;
    if (imported.localName != data.userKeyName || imported.remoteName != data.serverKeyName) {
        return FileResult::failed();
    }
    if (!stillAsShown(imported, data.imported)) return FileResult::failed();
    BaseAction local;
    BaseAction* action = nullptr;
    if (FileResult begun = actionFor(data, local, {}, action); !begun) return begun;
    if (FileResult usable = usableBase(*action, false); !usable) return usable;
    KeyBase& base = action->base();
    // Checked again under the lock. The user's keys are taken once: a
    // completed channel keeps the keys it was completed with, even if the
    // file changed since it was checked.
    if (holdsOwnKeysOf(base, imported)) return FileResult::failed();
    SecureChannel* own = channelCompletedBy(base, imported)
                             ? base.findChannel(imported.remoteName, imported.localName)
                             : nullptr;
    if (!own || !completeWithPublicPart(*own, &imported)) return FileResult::failed();
    if (FileResult staged = stageBase(action->transaction(), data.baseFile, base); !staged)
        return staged;
    return action->transaction().commit();
}

FileResult createUserKey(const KeyWizardData& data, const std::string& javaPath,
                         PublicPartFingerprints* written) {
    if (FileResult apart = rolesApart({&data.baseFile, &data.importFile, &data.exportFile});
        !apart)
        return apart;
    if (data.javaClient) {
        if (FileResult apart =
                rolesApart({&javaPath, &data.baseFile, &data.importFile, &data.exportFile});
            !apart)
            return apart;
    }
    SecureChannel imported;
    if (FileResult read = readChannelFile(imported, data.importFile); !read) return read;
    if (imported.localName != data.serverKeyName || imported.remoteName != data.userKeyName) {
        return FileResult::failed();
    }
    if (!stillAsShown(imported, data.imported)) return FileResult::failed();
    // The Java client file needs the signing keys.
    if (data.javaClient && !data.useSign) return FileResult::failed();

    BaseAction local;
    BaseAction* action = nullptr;
    if (FileResult begun = actionFor(
            data, local, {data.exportFile, data.javaClient ? javaPath : std::string()}, action);
        !begun)
        return begun;
    // A file that exists but does not load may hold keys we cannot read;
    // replacing it would lose them. Only a missing file is made anew.
    if (FileResult usable = usableBase(*action, true); !usable) return usable;
    KeyBase& base = action->base();
    // Checked again under the lock: no channel between the two names in
    // either order, and not this base's own public part coming back.
    if (base.findChannel(data.userKeyName, data.serverKeyName) ||
        base.findChannel(data.serverKeyName, data.userKeyName) || holdsOwnKeysOf(base, imported)) {
        return FileResult::failed();
    }

    auto channel = newLocalChannel(data.userKeyName, data.serverKeyName, data.useCrypt,
                                   data.useSign, data.cryptSize, data.signSize);
    if (!channel) return FileResult::failed();
    // Completed before anything is written: a server part that cannot
    // complete the channel must not leave a public part of ours behind.
    if (!completeWithPublicPart(*channel, &imported)) return FileResult::failed();
    const SecureChannel& made = *channel;
    reportWritten(made, written);
    base.addChannel(std::move(channel));
    // Base, public part and Java file all or none: a failed Java file must
    // not leave a base that refuses the retry.
    Transaction& transaction = action->transaction();
    if (FileResult staged = stageBaseAndPart(transaction, data, base, made); !staged)
        return staged;
    if (data.javaClient) {
        if (FileResult staged =
                stageWritten(transaction, javaPath, FileWriter::Permissions::OwnerOnly,
                             [&](FileWriter& file) { return writeJavaKeyFileTo(made, file); });
            !staged)
            return staged;
    }
    return transaction.commit();
}

RemoveResult removeChannelFrom(const std::string& path, const std::string& localName,
                               const std::string& remoteName) {
    Transaction transaction;
    if (FileResult locked = transaction.lock(path); !locked)
        return {RemoveOutcome::LockFailed, locked.failure()};
    KeyBase base;
    if (FileResult loaded = base.loadBaseLocked(transaction, path); !loaded)
        return {RemoveOutcome::NotABase, loaded.failure()};
    if (base.channelCount() <= 0) return {RemoveOutcome::NoChannels, {}};
    if (!base.deleteChannel(localName, remoteName)) return {RemoveOutcome::NoSuchChannel, {}};
    FileResult saved = readWhole(base, path);
    if (saved) saved = stageBase(transaction, path, base);
    if (saved) saved = transaction.commit();
    if (!saved) return {RemoveOutcome::SaveFailed, saved.failure()};
    return {RemoveOutcome::Removed, {}};
}

FileResult removeChannel(const std::string& path, const std::string& localName,
                         const std::string& remoteName) {
    const RemoveResult removal = removeChannelFrom(path, localName, remoteName);
    if (removal.outcome == RemoveOutcome::Removed) return {};
    return FileResult::failed(removal.cause);
}

}  // namespace Talvek
