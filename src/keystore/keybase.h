#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "keystore/securechannel.h"

namespace Talvek {

// The channels of one local key name; record "KNOD0". Channels are keyed by
// their remote name in byte-wise order (std::string compares as unsigned bytes).
class KeyNode {
public:
    std::string name;
    std::map<std::string, std::unique_ptr<SecureChannel>> channels;

    bool addChannel(std::unique_ptr<SecureChannel> channel);
    SecureChannel* findChannel(const std::string& remoteName);
    const SecureChannel* findChannel(const std::string& remoteName) const;
    bool deleteChannel(const std::string& remoteName);
    void clear();
    // A node without channels writes nothing at all.
    bool writeNode(FileWriter& file) const;
    // A missing node magic is an empty, unnamed node (true).
    bool readNode(FileReader& file);
};

class Transaction;

// A whole key base file; record "KNET0". Nodes are keyed by name, byte-wise.
class KeyBase {
public:
    std::string name;
    std::map<std::string, std::unique_ptr<KeyNode>> nodes;

    void clearBase();
    FileResult loadBase(const std::string& path);
    // As loadBase, for a caller that only reads: other readers may hold the
    // file at the same time (a save still waits for them and they for it),
    // and a read-only file opens too.
    FileResult loadBaseShared(const std::string& path);
    // As loadBase, for a base the transaction has already locked.
    FileResult loadBaseLocked(const Transaction& transaction, const std::string& path);
    // Written to a temporary file and renamed over the target: a failed save
    // leaves the old file as it was. Key bases are owner-only.
    FileResult saveBase(const std::string& path) const;
    bool addChannel(std::unique_ptr<SecureChannel> channel);
    // The channel stays owned by the base; null when either name is missing.
    SecureChannel* findChannel(const std::string& localName, const std::string& remoteName);
    const SecureChannel* findChannel(const std::string& localName,
                                     const std::string& remoteName) const;
    bool findChannel(const std::string& localName, const std::string& remoteName,
                     SecureChannel** out);
    bool deleteChannel(const std::string& localName, const std::string& remoteName);
    // False when the base holds no channel; the summaries follow node order,
    // then channel order.
    bool listChannels(KeyBaseSummary& header, std::vector<ChannelSummary>& channels) const;
    int channelCount() const;
    // Bytes of the file that the last read left behind its last node: a
    // damaged count ends the read early. What was read is kept as read, but
    // such a base must not be saved back over its file, which would drop
    // the rest.
    uint64_t unreadBytes() const { return unread_; }

    // As readBase and then listChannels, without keeping the base: each
    // channel is summarised as it is read (public halves only) and dropped,
    // so a listing of a large base holds summaries, not keys. The base's
    // name is kept; its nodes stay empty. The summaries are in the order
    // and of the channels that readBase would keep (a later node or channel
    // of the same name replaces an earlier one). False as readBase is false.
    bool readSummaries(FileReader& file, KeyBaseSummary& header,
                       std::vector<ChannelSummary>& channels);

    // The byte-level halves of loadBase/saveBase, for callers that hold the
    // file themselves.
    bool readBase(FileReader& file);
    bool writeBase(FileWriter& file) const;

private:
    uint64_t unread_ = 0;
};

}  // namespace Talvek
