#include "keystore/batchops.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "fileio/fileexists.h"
#include "fileio/fileresult.h"
#include "fileio/transaction.h"
#include "keystore/keybase.h"
#include "keystore/secureexception.h"

namespace Talvek {

namespace {

// The part's file read and checked on its own, before the base is locked.
ItemFault readPart(const std::string& baseFile, ImportedPart& part, SecureChannel& channel) {
    if (sameFile(baseFile, part.path)) return ItemFault::SameFileAsBase;
    FileResult read = FileResult::failed();
    try {
        read = readChannelFile(channel, part.path);
    } catch (const SecureException&) {
        read = FileResult::failed();
    }
    if (!read) {
        part.cause = read.failure();
        return ItemFault::Unreadable;
    }
    part.userName = channel.localName;
    part.serverName = channel.remoteName;
    if (!isImportablePublicPart(channel)) return ItemFault::NotImportable;
    if (!channel.useCrypt && !channel.useSign) return ItemFault::NotImportable;
    part.fingerprints = publicPartFingerprints(channel);
    return ItemFault::None;
}

// The server's channel a part completes: there, made with the part's uses
// and sizes, and not completed yet.
bool completes(const SecureChannel& own, const SecureChannel& part) {
    if ((own.useCrypt != 0) != (part.useCrypt != 0) || (own.useSign != 0) != (part.useSign != 0)) {
        return false;
    }
    if (part.useCrypt && own.cryptSize != part.cryptSize) return false;
    if (part.useSign && own.signSize != part.signSize) return false;
    return !own.hasCryptPublic && !own.hasSignPublic;
}

}  // namespace

BatchResult importUserPublicParts(const std::string& baseFile, std::vector<ImportedPart>& parts) {
    std::vector<SecureChannel> read(parts.size());
    bool refused = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        parts[i].fault = readPart(baseFile, parts[i], read[i]);
        refused = refused || parts[i].fault != ItemFault::None;
    }

    Transaction transaction;
    if (FileResult locked = transaction.lock(baseFile); !locked)
        return {BatchOutcome::LockFailed, locked.failure()};
    KeyBase base;
    if (!transaction.exists(baseFile)) {
        return {BatchOutcome::NotABase,
                FileResult::failed(baseFile, FileFault::System, ENOENT).failure()};
    }
    if (FileResult loaded = base.loadBaseLocked(transaction, baseFile); !loaded)
        return {BatchOutcome::NotABase, loaded.failure()};

    std::set<const SecureChannel*> taken;
    for (size_t i = 0; i < parts.size(); ++i) {
        ImportedPart& part = parts[i];
        if (part.fault != ItemFault::None) continue;
        SecureChannel* own = base.findChannel(part.serverName, part.userName);
        if (own && taken.count(own)) {
            part.fault = ItemFault::Repeated;
        } else if (!own || !completes(*own, read[i]) || !completeWithPublicPart(*own, &read[i])) {
            part.fault = ItemFault::NoChannel;
        } else {
            taken.insert(own);
        }
        refused = refused || part.fault != ItemFault::None;
    }
    // Nothing is written while any part is refused: the base read above is
    // thrown away with the channels it completed.
    if (refused) return {BatchOutcome::Refused, {}};
    FileResult saved = stageBase(transaction, baseFile, base);
    if (saved) saved = transaction.commit();
    if (!saved) return {BatchOutcome::SaveFailed, saved.failure()};
    return {BatchOutcome::Done, {}};
}

namespace {

// Generates the users' channels on every core. False when any generation
// failed; channels[i] belongs to users[i].
bool generateChannels(const ServerKeyBatch& batch, const std::vector<NewUserKey>& users,
                      std::vector<std::unique_ptr<SecureChannel>>& channels,
                      const std::function<void(size_t)>& progress) {
    channels.resize(users.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable doneChanged;
    size_t done = 0;
    auto work = [&] {
        for (size_t i; !failed && (i = next++) < users.size();) {
            std::unique_ptr<SecureChannel> channel;
            try {
                channel = newLocalChannel(batch.serverName, users[i].userName, batch.useCrypt,
                                          batch.useSign, batch.cryptSize, batch.signSize);
            } catch (const SecureException&) {
                channel.reset();
            }
            if (!channel) failed = true;
            channels[i] = std::move(channel);
            {
                const std::lock_guard lock(mutex);
                ++done;
            }
            doneChanged.notify_one();
        }
    };
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    {
        std::vector<std::jthread> workers;
        for (size_t t = 0; t < std::min(cores, users.size()); ++t) workers.emplace_back(work);
        // This thread only reports while the workers generate.
        std::unique_lock lock(mutex);
        size_t shown = 0;
        while (shown < users.size() && !failed) {
            doneChanged.wait(lock, [&] { return done != shown || failed; });
            shown = done;
            if (progress) {
                lock.unlock();
                progress(shown);
                lock.lock();
            }
        }
    }
    return !failed;
}

}  // namespace

BatchResult createServerKeys(const ServerKeyBatch& batch, std::vector<NewUserKey>& users,
                             const std::function<void(size_t)>& progress) {
    bool refused = false;
    std::set<std::string> names;
    // The base is found out once, not once per user.
    const FileIdentity baseFile(batch.baseFile);
    for (size_t i = 0; i < users.size(); ++i) {
        NewUserKey& user = users[i];
        user.fault = ItemFault::None;
        if (sameFile(baseFile, FileIdentity(user.exportFile))) {
            user.fault = ItemFault::FileInUse;
        }
        if (user.fault == ItemFault::None && !names.insert(user.userName).second) {
            user.fault = ItemFault::Repeated;
        }
        refused = refused || user.fault != ItemFault::None;
    }
    // Two users' parts that are one file however spelt (a link, say) are
    // refused by the transaction, which stages no file twice.
    if (refused) return {BatchOutcome::Refused, {}};

    // The keys are made before anything is locked: generating many takes
    // far longer than another program waits for a held base.
    std::vector<std::unique_ptr<SecureChannel>> channels;
    if (!generateChannels(batch, users, channels, progress))
        return {BatchOutcome::GenerationFailed, {}};

    // The base and every public part are locked at once, in the one order
    // every action locks in; the names are checked under that lock.
    std::vector<std::string> files{batch.baseFile};
    for (const NewUserKey& user : users) files.push_back(user.exportFile);
    Transaction transaction;
    if (FileResult locked = transaction.lock(files); !locked)
        return {BatchOutcome::LockFailed, locked.failure()};
    KeyBase base;
    if (transaction.exists(batch.baseFile)) {
        if (FileResult loaded = base.loadBaseLocked(transaction, batch.baseFile); !loaded)
            return {BatchOutcome::NotABase, loaded.failure()};
    }
    for (NewUserKey& user : users) {
        if (base.findChannel(batch.serverName, user.userName) ||
            base.findChannel(user.userName, batch.serverName)) {
            user.fault = ItemFault::NamesTaken;
            refused = true;
        }
    }
    if (refused) return {BatchOutcome::Refused, {}};

    std::vector<const SecureChannel*> made;
    for (size_t i = 0; i < users.size(); ++i) {
        users[i].written = ownFingerprints(*channels[i]);
        made.push_back(channels[i].get());
        base.addChannel(std::move(channels[i]));
    }
    // The base first, then the public parts: none goes out without the base
    // that holds its keys.
    FileResult saved = stageBase(transaction, batch.baseFile, base);
    for (size_t i = 0; saved && i < users.size(); ++i) {
        const SecureChannel& channel = *made[i];
        saved = stageWritten(transaction, users[i].exportFile, FileWriter::Permissions::Normal,
                             [&channel](FileWriter& file) { return writePublicPartTo(channel, file); });
    }
    if (saved) saved = transaction.commit();
    if (!saved) return {BatchOutcome::SaveFailed, saved.failure()};
    return {BatchOutcome::Done, {}};
}

RemoveResult removeChannelsFrom(const std::string& path, const std::vector<ChannelNames>& channels,
                                size_t* missing) {
    Transaction transaction;
    if (FileResult locked = transaction.lock(path); !locked)
        return {RemoveOutcome::LockFailed, locked.failure()};
    KeyBase base;
    if (FileResult loaded = base.loadBaseLocked(transaction, path); !loaded)
        return {RemoveOutcome::NotABase, loaded.failure()};
    if (base.channelCount() <= 0) return {RemoveOutcome::NoChannels, {}};
    std::set<std::pair<std::string, std::string>> seen;
    for (size_t i = 0; i < channels.size(); ++i) {
        const ChannelNames& names = channels[i];
        if (!seen.emplace(names.local, names.remote).second) continue;
        if (!base.deleteChannel(names.local, names.remote)) {
            if (missing) *missing = i;
            return {RemoveOutcome::NoSuchChannel, {}};
        }
    }
    FileResult saved = stageBase(transaction, path, base);
    if (saved) saved = transaction.commit();
    if (!saved) return {RemoveOutcome::SaveFailed, saved.failure()};
    return {RemoveOutcome::Removed, {}};
}

}  // namespace Talvek
