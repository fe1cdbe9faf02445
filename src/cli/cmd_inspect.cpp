// talvekkey inspect: what a key file holds, as a tree like the maintenance
// dialog's or as JSON for scripts.

#include <nlohmann/json.hpp>

#include <ostream>
#include <sstream>

#include "cli/command.h"
#include "cli/keyfile.h"
#include "keystore/cp1251.h"
#include "keystore/encoding.h"
#include "keystore/keybase.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

namespace {

using Json = nlohmann::json;

int runInspect(const std::vector<std::string>& args, Io& io);

const Command kInspect{"inspect", "inspect FILE [--json]",
                       "Shows what the key file FILE holds: a key base (its nodes and their\n"
                       "channels) or, when FILE is no key base, a single channel record such as a\n"
                       "public-part file. Each channel shows its uses, key sizes and which key\n"
                       "parts are present. --json prints one JSON object instead: numbers in\n"
                       "upper-case hexadecimal, names decoded from Windows-1251.",
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

void writeKeyJson(std::ostream& out, const RsaKeyRecord* key, int depth) {
    if (!key) {
        out << "null";
        return;
    }
    JsonObjectWriter j(out, depth);
    j.number("kind", key->kind());
    j.text("name", key->name());
    j.hex("n", key->n());
    j.hex("e", key->e());
    j.hex("d", key->d());
    j.hex("p", key->p());
    j.hex("q", key->q());
    j.hex("dmp1", key->dmp1());
    j.hex("dmq1", key->dmq1());
    j.hex("iqmp", key->iqmp());
}

void writeChannelJson(std::ostream& out, const SecureChannel& c, int depth) {
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
    writeKeyJson(j.member("cryptPublicKey"), c.cryptPublicKey.get(), depth + 1);
    writeKeyJson(j.member("cryptPrivateKey"), c.cryptPrivateKey.get(), depth + 1);
    writeKeyJson(j.member("signPrivateKey"), c.signPrivateKey.get(), depth + 1);
    writeKeyJson(j.member("signPublicKey"), c.signPublicKey.get(), depth + 1);
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

void writeBaseJson(std::ostream& out, const KeyBase& base) {
    {
        JsonObjectWriter j(out, 0);
        j.member("kind") << "\"base\"";
        j.text("name", base.name);
        writeArray(j.member("nodes"), base.nodes, 1, [&out](const auto& entry, int depth) {
            JsonObjectWriter node(out, depth);
            node.text("name", entry.second->name);
            writeArray(
                node.member("channels"), entry.second->channels, depth + 1,
                [&out](const auto& channel, int d) { writeChannelJson(out, *channel.second, d); });
        });
    }
    out << '\n';
}

void writeChannelFileJson(std::ostream& out, const SecureChannel& channel) {
    {
        JsonObjectWriter j(out, 0);
        j.member("kind") << "\"channel\"";
        writeChannelJson(j.member("channel"), channel, 1);
    }
    out << '\n';
}

// One use of a channel as the maintenance dialog shows it: the group, its
// key size, and the key parts present.
void printUse(std::ostream& out, const std::string& indent, const char* group, bool complete,
              uint32_t size, bool hasPrivate, bool hasPublic) {
    out << indent << group << (complete ? "" : " (неполный)") << "\n";
    out << indent << "  Размер ключа: " << size << "\n";
    if (hasPrivate) out << indent << "  Приватная часть ключа\n";
    if (hasPublic) out << indent << "  Открытая часть ключа\n";
}

void printChannel(std::ostream& out, const std::string& indent, const SecureChannel& c) {
    const std::string local = cp1251ToUtf8(c.localName);
    const std::string remote = cp1251ToUtf8(c.remoteName);
    out << indent << local << " : " << remote << "\n";
    out << indent << "  Имя локального ключа: " << local << "\n";
    out << indent << "  Имя удаленного ключа: " << remote << "\n";
    if (c.useCrypt) {
        printUse(out, indent + "  ", "Кодирование", c.hasCryptPrivate && c.hasCryptPublic,
                 c.cryptSize, c.hasCryptPrivate, c.hasCryptPublic);
    }
    if (c.useSign) {
        printUse(out, indent + "  ", "Подпись", c.hasSignPrivate && c.hasSignPublic, c.signSize,
                 c.hasSignPrivate, c.hasSignPublic);
    }
}

void printBase(std::ostream& out, const std::string& path, const KeyBase& base) {
    out << path << "\n";
    out << "  База полных и приватных ключей.\n  " << base.channelCount()
        << " секретных каналов.\n";
    if (!base.name.empty()) out << "  Имя базы: " << cp1251ToUtf8(base.name) << "\n";
    for (const auto& [key, node] : base.nodes) {
        out << "  Узел: " << cp1251ToUtf8(node->name);
        if (node->channels.empty()) out << " (нет каналов)";
        out << "\n";
        for (const auto& [remote, channel] : node->channels) printChannel(out, "    ", *channel);
    }
}

void printChannelFile(std::ostream& out, const std::string& path, const SecureChannel& channel) {
    out << path << "\n  База импорта/экспорта открытых ключей.\n";
    printChannel(out, "  ", channel);
}

int runInspect(const std::vector<std::string>& args, Io& io) {
    bool json = false;
    bool optionsEnded = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--json") {
            json = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return usageError(io, kInspect, "unknown option \"" + arg + "\"");
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 1) return usageError(io, kInspect, "expected one FILE");
    const std::string& path = files[0];

    try {
        // Whatever loads as a key base is one; any other file is read as a
        // single channel record, as the maintenance dialog does.
        KeyBase base;
        if (base.loadBase(path)) {
            if (json) {
                writeBaseJson(io.out, base);
            } else {
                printBase(io.out, path, base);
            }
            return Success;
        }
        base.clearBase();
        BinaryFile file;
        SecureChannel channel;
        if (file.openExisting(path) && channel.readChannel(file)) {
            file.close();
            if (json) {
                writeChannelFileJson(io.out, channel);
            } else {
                printChannelFile(io.out, path, channel);
            }
            return Success;
        }
    } catch (const SecureException& e) {
        return keyStoreFailure(e, kOpenFailed, io);
    }
    io.err << kOpenFailed << "\n";
    return Failure;
}

const CommandRegistration kRegistration(kInspect);

}  // namespace

}  // namespace Talvek::Cli
