// talvekkey inspect: what a key file holds, as a tree like the maintenance
// dialog's or as JSON for scripts.

#include <nlohmann/json.hpp>

#include <ostream>
#include <sstream>

#include "cli/channelarg.h"
#include "cli/command.h"
#include "cli/commandtable.h"
#include "cli/input.h"
#include "cli/keyexchange.h"
#include "cli/keyfile.h"
#include "keystore/cp1251.h"
#include "keystore/encoding.h"
#include "keystore/fingerprint.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

using Json = nlohmann::json;

int runInspect(const std::vector<std::string>& args, Io& io);

const Command kInspect{
    "inspect", "inspect FILE [--match TEXT | --channel LOCAL REMOTE] [--json [--private]]",
    "Shows what the key file FILE holds (read from stdin when FILE is -): a key\n"
    "base (its nodes and their channels) or, when FILE is no key base, a single\n"
    "channel record such as a public-part file. Each channel shows its uses,\n"
    "key sizes, which key parts are present and their fingerprints\n"
    "(SHA256:..., as ssh-keygen shows them).\n"
    "--json prints one JSON object instead (schema in talvekkey-json.md): numbers\n"
    "in upper-case hexadecimal, names decoded from Windows-1251. The private\n"
    "numbers (d, p, q, ...) are left out unless --private is given.\n"
    "--match shows only the channels whose local or remote name contains TEXT,\n"
    "ignoring case; --channel only the channel LOCAL : REMOTE (exit status 1\n"
    "when FILE does not hold it).",
    runInspect};

// The JSON output is streamed: a 16 MB base never becomes one JSON tree in
// memory, and the many hexadecimal numbers (digits only, nothing to escape)
// skip the library's escaping, which otherwise dominates the run. Texts read
// from the file are always serialised by the library. The layout is that of
// dump(2).
class JsonObjectWriter {
public:
    JsonObjectWriter(std::ostream& out, int depth) : out_(out), depth_(depth) { out_ << '{'; }
    JsonObjectWriter(const JsonObjectWriter&) = delete;
    JsonObjectWriter& operator=(const JsonObjectWriter&) = delete;
    ~JsonObjectWriter() { out_ << '\n' << indent(depth_) << '}'; }

    // Starts a member and returns the stream for its value.
    std::ostream& member(const char* name) {
        out_ << (first_ ? "\n" : ",\n") << indent(depth_ + 1) << '"' << name << "\": ";
        first_ = false;
        return out_;
    }
    void text(const char* name, const std::string& cp1251) {
        member(name) << Json(cp1251ToUtf8(cp1251)).dump();
    }
    void number(const char* name, long long value) { member(name) << value; }
    void hex(const char* name, const BIGNUM* value) {
        if (value) {
            member(name) << '"' << bigNumHex(value) << '"';
        } else {
            member(name) << "null";
        }
    }
    int depth() const { return depth_; }

    static std::string indent(int depth) {
        return std::string(2 * static_cast<size_t>(depth), ' ');
    }

private:
    std::ostream& out_;
    int depth_;
    bool first_ = true;
};

// Which channels are shown: all, those whose names contain a text, or one
// by its full names.
struct ChannelFilter {
    bool active = false;
    NameFilter text;
    bool exact = false;
    std::string local;   // Windows-1251
    std::string remote;  // Windows-1251

    bool shows(const SecureChannel& c) const {
        if (!active) return true;
        if (exact) return c.localName == local && c.remoteName == remote;
        return text.matches(c.localName) || text.matches(c.remoteName);
    }
    size_t count(const KeyBase& base) const {
        size_t shown = 0;
        for (const auto& [key, node] : base.nodes) {
            for (const auto& [remote, channel] : node->channels) shown += shows(*channel) ? 1 : 0;
        }
        return shown;
    }
    bool showsAny(const KeyNode& node) const {
        for (const auto& [remote, channel] : node.channels) {
            if (shows(*channel)) return true;
        }
        return false;
    }
};

// The schema's version; documented for scripts, which may rely on every field
// of a version staying in later ones.
constexpr int kJsonFormat = 1;

void writeKeyJson(std::ostream& out, const RsaKeyRecord* key, int depth, bool withPrivate) {
    if (!key) {
        out << "null";
        return;
    }
    JsonObjectWriter j(out, depth);
    j.number("kind", static_cast<int32_t>(key->kind()));
    j.text("name", key->name());
    // Base64 and "SHA256:" only: nothing to escape.
    const std::string fingerprint = publicKeyFingerprint(*key);
    if (fingerprint.empty()) {
        j.member("fingerprint") << "null";
    } else {
        j.member("fingerprint") << '"' << fingerprint << '"';
    }
    j.hex("n", key->n());
    j.hex("e", key->e());
    // Standard output ends up in logs and terminals; the secret numbers are
    // printed only when asked for.
    if (!withPrivate) return;
    j.hex("d", key->d());
    j.hex("p", key->p());
    j.hex("q", key->q());
    j.hex("dmp1", key->dmp1());
    j.hex("dmq1", key->dmq1());
    j.hex("iqmp", key->iqmp());
}

void writeChannelJson(std::ostream& out, const SecureChannel& c, int depth, bool withPrivate) {
    JsonObjectWriter j(out, depth);
    j.text("localName", c.localName);
    j.text("remoteName", c.remoteName);
    j.number("useCrypt", c.useCrypt);
    j.number("useSign", c.useSign);
    j.number("hasCryptPrivate", c.hasCryptPrivate);
    j.number("hasCryptPublic", c.hasCryptPublic);
    j.number("hasSignPrivate", c.hasSignPrivate);
    j.number("hasSignPublic", c.hasSignPublic);
    j.number("cryptSize", c.cryptSize);
    j.number("signSize", c.signSize);
    writeKeyJson(j.member("cryptPublicKey"), c.cryptPublicKey.get(), depth + 1, withPrivate);
    writeKeyJson(j.member("cryptPrivateKey"), c.cryptPrivateKey.get(), depth + 1, withPrivate);
    writeKeyJson(j.member("signPrivateKey"), c.signPrivateKey.get(), depth + 1, withPrivate);
    writeKeyJson(j.member("signPublicKey"), c.signPublicKey.get(), depth + 1, withPrivate);
}

// Writes "[]" or the items one per line, each by writeItem at the given depth.
template <typename Range, typename WriteItem>
void writeArray(std::ostream& out, const Range& items, int depth, WriteItem writeItem) {
    if (items.empty()) {
        out << "[]";
        return;
    }
    out << '[';
    bool first = true;
    for (const auto& item : items) {
        out << (first ? "\n" : ",\n") << JsonObjectWriter::indent(depth + 1);
        first = false;
        writeItem(item, depth + 1);
    }
    out << '\n' << JsonObjectWriter::indent(depth) << ']';
}

// The items of range that keep() keeps, as pointers, in order.
template <typename Range, typename Keep>
auto kept(const Range& items, Keep keep) {
    std::vector<const typename Range::value_type*> out;
    for (const auto& item : items) {
        if (keep(item)) out.push_back(&item);
    }
    return out;
}

// One output document: the members every kind starts with, then what body
// adds, then the line's end.
template <typename Body>
void writeDocument(std::ostream& out, const char* kind, bool withPrivate, Body body) {
    {
        JsonObjectWriter j(out, 0);
        j.number("format", kJsonFormat);
        j.member("kind") << '"' << kind << '"';
        j.member("private") << (withPrivate ? "true" : "false");
        body(j);
    }
    out << '\n';
}

void writeBaseJson(std::ostream& out, const KeyBase& base, bool withPrivate,
                   const ChannelFilter& filter) {
    writeDocument(out, "base", withPrivate, [&](JsonObjectWriter& j) {
        j.text("name", base.name);
        auto writeNode = [&](const KeyNode& n, int depth) {
            JsonObjectWriter node(out, depth);
            node.text("name", n.name);
            auto writeChannel = [&](const SecureChannel& channel, int d) {
                writeChannelJson(out, channel, d, withPrivate);
            };
            if (!filter.active) {
                writeArray(node.member("channels"), n.channels, depth + 1,
                           [&](const auto& c, int d) { writeChannel(*c.second, d); });
                return;
            }
            writeArray(node.member("channels"),
                       kept(n.channels, [&](const auto& c) { return filter.shows(*c.second); }),
                       depth + 1, [&](const auto* c, int d) { writeChannel(*c->second, d); });
        };
        if (!filter.active) {
            writeArray(j.member("nodes"), base.nodes, 1,
                       [&](const auto& entry, int depth) { writeNode(*entry.second, depth); });
        } else {
            // Only the nodes that hold a channel shown, and how many are.
            j.number("channelCount", base.channelCount());
            j.number("shownCount", static_cast<long long>(filter.count(base)));
            writeArray(j.member("nodes"),
                       kept(base.nodes, [&](const auto& e) { return filter.showsAny(*e.second); }),
                       1, [&](const auto* entry, int depth) { writeNode(*entry->second, depth); });
        }
    });
}

void writeChannelFileJson(std::ostream& out, const SecureChannel& channel, bool withPrivate,
                          const ChannelFilter& filter) {
    writeDocument(out, "channel", withPrivate, [&](JsonObjectWriter& j) {
        // As a key base has them: a null channel is then told apart from a
        // missing one without knowing the command line.
        if (filter.active) {
            j.number("channelCount", 1);
            j.number("shownCount", filter.shows(channel) ? 1 : 0);
        }
        if (filter.shows(channel)) {
            writeChannelJson(j.member("channel"), channel, 1, withPrivate);
        } else {
            j.member("channel") << "null";
        }
    });
}

// One use of a channel as the maintenance dialog shows it: the group, its
// key size, and the key parts present.
// A key part present, with the fingerprint the other side compares.
void printPart(std::ostream& out, const std::string& indent, const char* part,
               const std::unique_ptr<RsaKeyRecord>& key) {
    out << indent << part << "\n";
    const std::string fingerprint = key ? publicKeyFingerprint(*key) : std::string();
    if (!fingerprint.empty()) out << indent << "  Отпечаток: " << fingerprint << "\n";
}

void printUse(std::ostream& out, const std::string& indent, const char* group, bool complete,
              uint32_t size, bool hasPrivate, const std::unique_ptr<RsaKeyRecord>& own,
              bool hasPublic, const std::unique_ptr<RsaKeyRecord>& peer) {
    out << indent << group << (complete ? "" : " (неполный)") << "\n";
    out << indent << "  Размер ключа: " << size << "\n";
    if (hasPrivate) printPart(out, indent + "  ", "Приватная часть ключа", own);
    if (hasPublic) printPart(out, indent + "  ", "Открытая часть ключа", peer);
}

void printChannel(std::ostream& out, const std::string& indent, const SecureChannel& c) {
    // Names from the file are printed with their control characters escaped.
    const std::string local = cp1251ToPrintable(c.localName);
    const std::string remote = cp1251ToPrintable(c.remoteName);
    out << indent << local << " : " << remote << "\n";
    out << indent << "  Имя локального ключа: " << local << "\n";
    out << indent << "  Имя удаленного ключа: " << remote << "\n";
    if (c.useCrypt) {
        printUse(out, indent + "  ", "Кодирование", c.hasCryptPrivate && c.hasCryptPublic,
                 c.cryptSize, c.hasCryptPrivate, c.cryptPrivateKey, c.hasCryptPublic,
                 c.cryptPublicKey);
    }
    if (c.useSign) {
        printUse(out, indent + "  ", "Подпись", c.hasSignPrivate && c.hasSignPublic, c.signSize,
                 c.hasSignPrivate, c.signPrivateKey, c.hasSignPublic, c.signPublicKey);
    }
}

void printBase(std::ostream& out, const std::string& path, const KeyBase& base,
               const ChannelFilter& filter) {
    out << path << "\n";
    out << "  База полных и приватных ключей.\n  " << base.channelCount()
        << " секретных каналов.\n";
    if (filter.active) {
        out << "  Показано " << filter.count(base) << " из " << base.channelCount()
            << " секретных каналов.\n";
    }
    if (!base.name.empty()) out << "  Имя базы: " << cp1251ToPrintable(base.name) << "\n";
    for (const auto& [key, node] : base.nodes) {
        if (filter.active && !filter.showsAny(*node)) continue;
        out << "  Узел: " << cp1251ToPrintable(node->name);
        if (node->channels.empty()) out << " (нет каналов)";
        out << "\n";
        for (const auto& [remote, channel] : node->channels) {
            if (filter.shows(*channel)) printChannel(out, "    ", *channel);
        }
    }
}

void printChannelFile(std::ostream& out, const std::string& path, const SecureChannel& channel,
                      const ChannelFilter& filter) {
    out << path << "\n  База импорта/экспорта открытых ключей.\n";
    if (filter.shows(channel)) printChannel(out, "  ", channel);
}

// "--name" of "--name=value"; the word itself when it has no "=".
std::string optionName(const std::string& arg) {
    return arg.rfind("--", 0) == 0 ? arg.substr(0, arg.find('=')) : arg;
}

int runInspect(const std::vector<std::string>& args, Io& io) {
    bool json = false;
    bool withPrivate = false;
    bool optionsEnded = false;
    ChannelFilter filter;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--json") {
            json = true;
        } else if (!optionsEnded && arg == "--private") {
            withPrivate = true;
        } else if (!optionsEnded && (optionName(arg) == "--match" ||
                                     optionName(arg) == "--channel")) {
            const std::string name = optionName(arg);
            if (filter.active) return usageError(io, kInspect, "one --match or --channel only");
            // "--match=TEXT" and "--channel=LOCAL REMOTE" as well as the
            // values as words of their own.
            std::vector<std::string> values;
            if (name.size() < arg.size()) values.push_back(arg.substr(name.size() + 1));
            const size_t wanted = name == "--match" ? 1 : 2;
            while (values.size() < wanted) {
                if (i + 1 >= args.size()) {
                    return usageError(io, kInspect, "option " + name + " needs a value");
                }
                values.push_back(args[++i]);
            }
            filter.active = true;
            if (wanted == 1) {
                filter.text = NameFilter(values[0]);
            } else {
                filter.exact = true;
                if (!encodeChannelNames(values[0], values[1], filter.local, filter.remote, io)) {
                    return Failure;
                }
            }
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return usageError(io, kInspect, "unknown option \"" + arg + "\"");
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 1) return usageError(io, kInspect, "expected one FILE");
    if (withPrivate && !json) return usageError(io, kInspect, "--private goes with --json");
    // "-": the key file comes through standard input and is named stdin.
    const std::string& file = files[0];
    const std::string path = namesStdin(file) ? kStdinName : file;
    // The one channel asked for by name must be there.
    auto missing = [&] {
        io.err << "talvekkey: no channel " << cp1251ToPrintable(filter.local) << " : "
               << cp1251ToPrintable(filter.remote) << " in " << path << "\n";
        return Failure;
    };

    try {
        // Whatever loads as a key base is one; any other file is read as a
        // single channel record, as the maintenance dialog does.
        // One read: a base another program holds is waited for once and
        // then named as locked, never as no key file.
        KeyBase base;
        SecureChannel channel;
        KeyFileContent content = KeyFileContent::Neither;
        const std::optional<FileResult> read =
            readCommandKeyFile(file, base, channel, content, io);
        if (!read) return Failure;
        switch (content) {
            case KeyFileContent::Base:
                if (filter.exact && !base.findChannel(filter.local, filter.remote)) {
                    return missing();
                }
                if (json) {
                    writeBaseJson(io.out, base, withPrivate, filter);
                } else {
                    printBase(io.out, path, base, filter);
                }
                if (base.unreadBytes() > 0) {
                    io.err << "talvekkey: warning: " << path << ": "
                           << unreadWarning(base.unreadBytes()) << "\n";
                }
                return Success;
            case KeyFileContent::Channel:
                if (filter.exact && !filter.shows(channel)) return missing();
                if (json) {
                    writeChannelFileJson(io.out, channel, withPrivate, filter);
                } else {
                    printChannelFile(io.out, path, channel, filter);
                }
                return Success;
            case KeyFileContent::Neither:
                printFailure(io.err, MaintenanceMessages::OpenFailed, read->failure());
                return Failure;
        }
    } catch (const SecureException& e) {
        return keyStoreFailure(e, MaintenanceMessages::OpenFailed, io);
    }
    return Failure;
}

}  // namespace

const Command& inspectCommand() { return kInspect; }

}  // namespace Talvek::Cli
