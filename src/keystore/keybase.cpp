#include "keystore/keybase.h"

#include <algorithm>
#include <utility>

#include "keystore/encoding.h"
#include "fileio/fileresult.h"
#include "fileio/transaction.h"

namespace Talvek {

namespace {
const char* const kNodeMagic = "KNOD0";
const char* const kBaseMagic = "KNET0";
}  // namespace

bool KeyNode::addChannel(std::unique_ptr<SecureChannel> channel) {
    if (!channel) return false;
    if (name.empty()) name = channel->localName;
    const std::string key = channel->remoteName;
    channels[key] = std::move(channel);
    return true;
}

SecureChannel* KeyNode::findChannel(const std::string& remoteName) {
    const auto it = channels.find(remoteName);
    return it == channels.end() ? nullptr : it->second.get();
}

const SecureChannel* KeyNode::findChannel(const std::string& remoteName) const {
    const auto it = channels.find(remoteName);
    return it == channels.end() ? nullptr : it->second.get();
}

bool KeyNode::deleteChannel(const std::string& remoteName) {
    return channels.erase(remoteName) > 0;
}

void KeyNode::clear() {
    channels.clear();
    name.clear();
}

bool KeyNode::writeNode(FileWriter& file) const {
    if (channels.empty()) return true;
    writeMagic(file, kNodeMagic);
    writeString(file, name);
    writeU32(file, static_cast<uint32_t>(channels.size()));
    bool ok = true;
    for (const auto& [remote, channel] : channels) {
        ok = channel->writeChannel(file);
        if (!ok) break;
    }
    return ok;
}

bool KeyNode::readNode(FileReader& file) {
    clear();
    if (!readMagic(file, kNodeMagic)) return true;
    readString(file, name);
    const int32_t count = static_cast<int32_t>(readU32OrZero(file));
    for (int32_t i = 0; i < count; ++i) {
        auto channel = std::make_unique<SecureChannel>();
        if (!channel->readChannel(file)) return false;
        const std::string key = channel->remoteName;
        channels[key] = std::move(channel);
    }
    return true;
}

void KeyBase::clearBase() {
    name.clear();
    nodes.clear();
    unread_ = 0;
}

bool KeyBase::readBase(FileReader& file) {
    clearBase();
    if (!readMagic(file, kBaseMagic)) return false;
    readString(file, name);
    const int32_t count = static_cast<int32_t>(readU32OrZero(file));
    if (count <= 0) return false;
    for (int32_t i = 0; i < count; ++i) {
        const bool exhausted = file.remaining() == 0;
        auto node = std::make_unique<KeyNode>();
        if (!node->readNode(file)) return false;
        const std::string key = node->name;
        nodes[key] = std::move(node);
        // Past the end every further node reads as the same empty, unnamed
        // node, which replaces this one: a huge count costs nothing more.
        if (exhausted) break;
    }
    unread_ = file.remaining();
    return true;
}

bool KeyBase::readSummaries(FileReader& file, KeyBaseSummary& header,
                            std::vector<ChannelSummary>& channels) {
    clearBase();
    channels.clear();
    header = KeyBaseSummary{};
    if (!readMagic(file, kBaseMagic)) return false;
    readString(file, name);
    const int32_t count = static_cast<int32_t>(readU32OrZero(file));
    if (count <= 0) return false;
    // Each node as read, with the summaries of its channels; the map keeps
    // the last node of each name, as readBase's does.
    std::vector<std::vector<ChannelSummary>> read;
    std::map<std::string, size_t> nodeOf;
    SecureChannel channel;
    for (int32_t i = 0; i < count; ++i) {
        const bool exhausted = file.remaining() == 0;
        std::string nodeName;
        std::vector<ChannelSummary> summaries;
        if (readMagic(file, kNodeMagic)) {
            readString(file, nodeName);
            const int32_t channelCount = static_cast<int32_t>(readU32OrZero(file));
            for (int32_t j = 0; j < channelCount; ++j) {
                if (!channel.readChannel(file, KeyParts::PublicOnly)) return false;
                channel.toSummary(&summaries.emplace_back());
            }
        }
        nodeOf[nodeName] = read.size();
        read.push_back(std::move(summaries));
        if (exhausted) break;
    }
    unread_ = file.remaining();
    size_t total = 0;
    for (const auto& [nodeName, index] : nodeOf) total += read[index].size();
    channels.reserve(total);
    for (const auto& [nodeName, index] : nodeOf) {
        std::vector<ChannelSummary>& summaries = read[index];
        // Keyed by remote name in byte-wise order; of equal names the last
        // read stays. Files this program writes are in order already.
        const auto byRemote = [](const ChannelSummary& a, const ChannelSummary& b) {
            return a.fullRemoteName < b.fullRemoteName;
        };
        const auto byRemoteOrEqual = [](const ChannelSummary& a, const ChannelSummary& b) {
            return a.fullRemoteName <= b.fullRemoteName;
        };
        if (!std::is_sorted(summaries.begin(), summaries.end(), byRemoteOrEqual) ||
            std::adjacent_find(summaries.begin(), summaries.end(),
                               [](const ChannelSummary& a, const ChannelSummary& b) {
                                   return a.fullRemoteName == b.fullRemoteName;
                               }) != summaries.end()) {
            std::stable_sort(summaries.begin(), summaries.end(), byRemote);
            std::vector<ChannelSummary> kept;
            for (size_t k = 0; k < summaries.size(); ++k) {
                if (k + 1 < summaries.size() &&
                    summaries[k].fullRemoteName == summaries[k + 1].fullRemoteName)
                    continue;
                kept.push_back(std::move(summaries[k]));
            }
            summaries = std::move(kept);
        }
        for (ChannelSummary& s : summaries) channels.push_back(std::move(s));
    }
    copyCut31(header.baseName, name);
    header.channelCount = static_cast<int32_t>(channels.size());
    return true;
}

namespace {

FileResult loadFrom(KeyBase& base, const std::string& path, FileReader& file, FileResult opened) {
    base.clearBase();
    if (!opened) return opened;
    const bool ok = base.readBase(file);
    file.close();
    if (!ok) return FileResult::failed(path, FileFault::NotAKeyFile);
    return {};
}

}  // namespace

FileResult KeyBase::loadBase(const std::string& path) {
    FileReader file;
    return loadFrom(*this, path, file, file.openExisting(path));
}

FileResult KeyBase::loadBaseShared(const std::string& path) {
    FileReader file;
    return loadFrom(*this, path, file, file.openShared(path));
}

FileResult KeyBase::loadBaseLocked(const Transaction& transaction, const std::string& path) {
    FileReader file;
    return loadFrom(*this, path, file, transaction.openLocked(path, file));
}

bool KeyBase::writeBase(FileWriter& file) const {
    writeMagic(file, kBaseMagic);
    writeString(file, name);
    writeU32(file, static_cast<uint32_t>(nodes.size()));
    if (nodes.empty()) return false;
    bool ok = true;
    for (const auto& [key, node] : nodes) {
        ok = node->writeNode(file);
        if (!ok) break;
    }
    return ok;
}

FileResult KeyBase::saveBase(const std::string& path) const {
    if (nodes.empty()) {
        // A base without nodes has always been stored as its bare header and
        // reported as a failed save.
        const FileResult stored =
            writeWhole(path, FileWriter::Permissions::OwnerOnly, [this](FileWriter& file) {
                writeBase(file);
                return !file.writeFailed();
            });
        return stored ? FileResult::failed() : stored;
    }
    return writeWhole(path, FileWriter::Permissions::OwnerOnly,
                      [this](FileWriter& file) { return writeBase(file); });
}

bool KeyBase::addChannel(std::unique_ptr<SecureChannel> channel) {
    if (!channel) return false;
    auto& node = nodes[channel->localName];
    if (!node) node = std::make_unique<KeyNode>();
    return node->addChannel(std::move(channel));
}

SecureChannel* KeyBase::findChannel(const std::string& localName,
                                    const std::string& remoteName) {
    const auto it = nodes.find(localName);
    return it == nodes.end() ? nullptr : it->second->findChannel(remoteName);
}

const SecureChannel* KeyBase::findChannel(const std::string& localName,
                                          const std::string& remoteName) const {
    const auto it = nodes.find(localName);
    return it == nodes.end() ? nullptr : std::as_const(*it->second).findChannel(remoteName);
}

bool KeyBase::findChannel(const std::string& localName, const std::string& remoteName,
                          SecureChannel** out) {
    SecureChannel* channel = findChannel(localName, remoteName);
    if (out) *out = channel;
    return channel != nullptr;
}

bool KeyBase::deleteChannel(const std::string& localName, const std::string& remoteName) {
    const auto it = nodes.find(localName);
    return it != nodes.end() && it->second->deleteChannel(remoteName);
}

int KeyBase::channelCount() const {
    size_t count = 0;
    for (const auto& [key, node] : nodes) count += node->channels.size();
    return static_cast<int>(count);
}

bool KeyBase::listChannels(KeyBaseSummary& header, std::vector<ChannelSummary>& channels) const {
    copyCut31(header.baseName, name);
    header.channelCount = channelCount();
    channels.clear();
    if (header.channelCount <= 0) return false;
    channels.resize(static_cast<size_t>(header.channelCount));
    size_t i = 0;
    for (const auto& [key, node] : nodes) {
        for (const auto& [remote, channel] : node->channels) channel->toSummary(&channels[i++]);
    }
    return true;
}

}  // namespace Talvek
