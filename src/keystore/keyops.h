#pragma once
// The operations of the three-step key exchange and the checks that guard
// them. Every call builds its own base and channels and destroys them before
// it returns; nothing stays loaded between calls. None of them words a
// message: each answers whether it worked and, where a file is to blame, which file
// and why; the caller says what went wrong.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <vector>

#include "fileio/fileresult.h"
#include "fileio/transaction.h"
#include "fileio/wipingallocator.h"
#include "keystore/keybase.h"
#include "keystore/securechannel.h"

namespace Talvek {

class BaseAction;

// The key sizes, in bits, an imported public part may declare: from the
// smallest OpenSSL makes to the largest a user is offered.
inline constexpr uint32_t kMinKeyBits = 512;
inline constexpr uint32_t kMaxKeyBits = 4096;
// The sizes a person is offered when keys are made, smallest first.
inline constexpr std::array<uint32_t, 6> kOfferedKeyBits = {512, 768, 1024, 2048, 3072, 4096};

// The longest key name, in Windows-1251 bytes (one per character).
inline constexpr size_t kMaxKeyNameBytes = 259;

// A key name (Windows-1251 bytes) as a person could have typed it: at most
// kMaxKeyNameBytes, not blanks only, no control characters. The empty name
// passes: the names page says which one is missing.
bool isPlausibleKeyName(const std::string& cp1251);

enum KeyCreationMode : uint32_t {
    NewUserServerKey = 0,  // server side: own keys for a new user, public part out
    ImportUserPart = 1,    // server side: the user's public part completes the channel
    CreateUserKey = 2,     // user side: full key from the server's public part
};

// The fingerprints of a public part's keys: what the two sides compare before
// they trust it. Empty for a use the part does not have.
struct PublicPartFingerprints {
    std::string crypt;
    std::string sign;

    bool empty() const { return crypt.empty() && sign.empty(); }
    bool operator==(const PublicPartFingerprints&) const = default;
};

// The inputs of the checks and operations, filled page by page by the key
// creation wizard (or from the command line). File paths are in the file
// system's encoding; key names are Windows-1251 bytes, exactly as stored.
struct KeyWizardData {
    KeyCreationMode mode = NewUserServerKey;
    std::string baseFile;    // server key base (modes 0, 1) or user key base (mode 2)
    std::string exportFile;  // public-part file written (modes 0, 2)
    std::string importFile;  // public-part file read (modes 1, 2)
    std::string serverKeyName;
    std::string userKeyName;
    bool useCrypt = false;
    bool useSign = false;
    bool javaClient = false;  // also write the Java client key file (mode 2)
    uint32_t cryptSize = 0;   // bits
    uint32_t signSize = 0;    // bits
    // Of importFile's keys as readImportedChannel read them (modes 1, 2): shown
    // to the user, and the operation imports only keys that still match.
    PublicPartFingerprints imported;
    // The base this action holds for its whole run (talvekkey): the checks
    // and the operation use it instead of reading baseFile again. Null: each
    // reads the file itself (the wizard, whose pages wait for the user).
    BaseAction* action = nullptr;

    // Back to the zero state a run starts from.
    void clear() { *this = KeyWizardData{}; }
};

// One action on a key base: the base and every file the action writes are
// locked at once (in one fixed order, with one wait) before the base is
// read, and the base is read once. The checks and the change of the action
// then see the same content, which no other program changes in between.
class BaseAction {
public:
    // Fails when a lock cannot be had, naming the file and why. The base is
    // read when it exists; loaded() tells whether it read.
    FileResult begin(const std::string& basePath, const std::vector<std::string>& outputs);
    bool begun() const { return begun_; }
    const std::string& path() const { return path_; }
    bool exists() const { return exists_; }
    // The base exists and reads as a key base; otherwise why not.
    FileResult loaded() const;
    KeyBase& base() { return base_; }
    Transaction& transaction() { return transaction_; }

private:
    std::string path_;
    Transaction transaction_;
    KeyBase base_;
    bool begun_ = false;
    bool exists_ = false;
    FileResult read_ = FileResult::failed();
};

// --- Channel-level operations ---

// A channel holding freshly generated own key pairs for the uses asked for
// (encryption first, then signing). Null when a size is outside
// kMinKeyBits...kMaxKeyBits or a generation fails, so that no caller goes on
// to write a file with an empty key in it.
std::unique_ptr<SecureChannel> newLocalChannel(const std::string& localName,
                                               const std::string& remoteName, bool useCrypt,
                                               bool useSign, uint32_t cryptBits, uint32_t signBits);

// Writes the public half of the channel's own keys as one channel record
// (nothing secret in it). The channel must hold its own private key for each
// use; otherwise, or when the file cannot be written, false and the target is
// left as it was. Public-part files are readable by others.
FileResult writePublicPart(const SecureChannel& channel, const std::string& path);

// The public-part record into a file opened for writing (a transaction's
// staged file, say); false when the channel lacks an own key pair it uses.
bool writePublicPartTo(const SecureChannel& channel, FileWriter& file);

// A channel read from a public-part file that may be imported: no private
// key in it, and each used key a plausible public key of its declared size.
bool isImportablePublicPart(const SecureChannel& imported);
// The fingerprints of a public part's keys (those of the uses it has), and
// of the public halves of a channel's own keys.
PublicPartFingerprints publicPartFingerprints(const SecureChannel& imported);
PublicPartFingerprints ownFingerprints(const SecureChannel& channel);

// Reads one channel record from the start of a file; later bytes are ignored.
FileResult readChannelFile(SecureChannel& channel, const std::string& path);

// Puts the imported channel's public keys into the peer slots of each use the
// channel has. False when imported is missing, lacks a key for a used use, or
// that key is not a plausible public key of the channel's declared size; the
// channel is then unchanged.
bool completeWithPublicPart(SecureChannel& channel, const SecureChannel* imported);

// The Java client key file: four upper-case hex lines (n and d of the own
// signing key, n and e of the peer's). Needs both signing keys; owner-only.
FileResult writeJavaKeyFile(const SecureChannel& channel, const std::string& path);

// What a key file of unknown kind turned out to be.
enum class KeyFileContent { Neither, Base, Channel };

// Reads the file once and takes it as a key base, failing that as a single
// channel record (a public-part file); base or channel is filled accordingly.
FileResult readKeyFile(const std::string& path, KeyBase& base, SecureChannel& channel,
                       KeyFileContent& content);
// The same for a key file's bytes already in memory (read from a pipe);
// name labels a failure's cause. Nothing is written anywhere.
FileResult readKeyContent(const std::string& name, SecretBytes bytes, KeyBase& base,
                          SecureChannel& channel, KeyFileContent& content);

// As readKeyFile and then KeyBase::listChannels or SecureChannel::toSummary,
// without keeping the keys (KeyBase::readSummaries). For Base, channels may
// be empty (a base without channels).
FileResult listKeyFileChannels(const std::string& path, std::vector<ChannelSummary>& channels,
                               KeyFileContent& content);

// --- Checks ---

// The file exists and starts with a channel record.
FileResult isPublicPartFile(const std::string& path);
// The file loads as a key base; without mustExist a missing file also passes
// (the base will be made).
FileResult isPrivateBase(const std::string& path, bool mustExist);
// The same for the action's base (data.baseFile, or the base data.action holds).
FileResult baseLoads(const KeyWizardData& data, bool mustExist);
// Modes 1 and 2: the import file's public keys are keys the base already
// holds as its own: the base's own public part coming back, not the other
// side's.
bool importIsOwnPart(const KeyWizardData& data);
// Reads the import file's channel into the data (names by mode, use flags,
// sizes, fingerprints). Refuses a file carrying a private key or an implausible public key.
// In mode 1 the server base must also hold the matching, not yet completed
// channel with the same uses and sizes.
FileResult readImportedChannel(KeyWizardData& data);
// Mode 2: the user base (when it loads) holds no channel between the import's
// two names in either order, and the import reads.
FileResult checkImportNotInBase(const KeyWizardData& data);
// Mode 0: the base loads and no channel joins the two names in either order
// (a base left without channels holds none). A base that does not load
// fails with its cause; names taken fail without one.
FileResult checkNamesUnused(const KeyWizardData& data);

// --- Changes ---
//
// Each is one transaction: the key base stays locked from before it is read
// until its new content is in place (another program's lock is waited for up
// to lockWait()), and every file of the change is written whole to a
// temporary before any is renamed, the base first. On failure every file is
// as it was. Every check that depends on the base's content is made again
// under the lock, and a base whose read left bytes unread is never saved
// over itself (the fault NotReadWhole tells how many).

// Deletes the channel local -> remote from the key base at path, reading the
// base once, under its lock.
enum class RemoveOutcome {
    Removed,
    LockFailed,     // the base could not be locked (held too long, not a file, ...)
    NotABase,       // missing, or no key base (a public part, say)
    NoChannels,     // a key base without channels
    NoSuchChannel,  // the base holds no channel of these names
    SaveFailed,     // the new base could not be written; the old one stays
};
// How an action with more ends than worked or failed ended, and the file to
// blame with why, when one is.
template <typename Outcome>
struct ActionResult {
    Outcome outcome;
    FileFailure cause;
    bool operator==(Outcome other) const { return outcome == other; }
};
using RemoveResult = ActionResult<RemoveOutcome>;
RemoveResult removeChannelFrom(const std::string& path, const std::string& localName,
                               const std::string& remoteName);
FileResult removeChannel(const std::string& path, const std::string& localName,
                   const std::string& remoteName);

// For the key store's batch actions: the base's new content, and a file
// written by writer, staged in a transaction. A write the file refused names
// its cause.
FileResult stageBase(Transaction& transaction, const std::string& path, const KeyBase& base);
FileResult stageWritten(Transaction& transaction, const std::string& path,
                        FileWriter::Permissions permissions,
                        const std::function<bool(FileWriter&)>& writer);

// --- The three operations, one per mode ---

// Operations that write a public part report its fingerprints in written.

// Mode 0: new own keys for serverKeyName -> userKeyName; adds the channel to
// baseFile (made when missing) and writes its public part to exportFile.
FileResult createServerKey(const KeyWizardData& data, PublicPartFingerprints* written = nullptr);
// Mode 1: completes the server's channel in baseFile with the user's public
// part from importFile. Modes 1 and 2 refuse an import file whose keys no
// longer have the fingerprints in data.imported (when it holds any).
FileResult importUserPublicPart(const KeyWizardData& data);
// Mode 2: the user's full key from the server's public part; writes baseFile
// (made when missing, refused when it exists but does not load), exportFile
// and with javaClient the Java client key file at javaPath.
// Every operation refuses one file in two of its roles, however spelt.
FileResult createUserKey(const KeyWizardData& data, const std::string& javaPath,
                         PublicPartFingerprints* written = nullptr);

}  // namespace Talvek
