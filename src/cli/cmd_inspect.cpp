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

using Json = nlohmann::ordered_json;

int runInspect(const std::vector<std::string>& args, Io& io);

const Command kInspect{"inspect", "inspect FILE [--json]",
                       "Shows what the key file FILE holds: a key base (its nodes and their\n"
                       "channels) or, when FILE is no key base, a single channel record such as a\n"
                       "public-part file. Each channel shows its uses, key sizes and which key\n"
                       "parts are present. --json prints one JSON object instead: numbers in\n"
                       "upper-case hexadecimal, names decoded from Windows-1251.",
                       runInspect};

Json numberJson(const BIGNUM* number) {
    return number ? Json(bigNumHex(number)) : Json(nullptr);
}

Json keyJson(const RsaKeyRecord* key) {
    if (!key) return nullptr;
    Json j;
    j["kind"] = key->kind();
    j["name"] = cp1251ToUtf8(key->name());
    j["n"] = numberJson(key->n());
    j["e"] = numberJson(key->e());
    j["d"] = numberJson(key->d());
    j["p"] = numberJson(key->p());
    j["q"] = numberJson(key->q());
    j["dmp1"] = numberJson(key->dmp1());
    j["dmq1"] = numberJson(key->dmq1());
    j["iqmp"] = numberJson(key->iqmp());
    return j;
}

Json channelJson(const SecureChannel& c) {
    Json j;
    j["localName"] = cp1251ToUtf8(c.localName);
    j["remoteName"] = cp1251ToUtf8(c.remoteName);
    j["useCrypt"] = c.useCrypt;
    j["useSign"] = c.useSign;
    j["hasCryptPrivate"] = c.hasCryptPrivate;
    j["hasCryptPublic"] = c.hasCryptPublic;
    j["hasSignPrivate"] = c.hasSignPrivate;
    j["hasSignPublic"] = c.hasSignPublic;
    j["cryptSize"] = c.cryptSize;
    j["signSize"] = c.signSize;
    j["cryptPublicKey"] = keyJson(c.cryptPublicKey.get());
    j["cryptPrivateKey"] = keyJson(c.cryptPrivateKey.get());
    j["signPrivateKey"] = keyJson(c.signPrivateKey.get());
    j["signPublicKey"] = keyJson(c.signPublicKey.get());
    return j;
}

// Writes text with every line after the first indented by prefix.
void writeIndented(std::ostream& out, const std::string& text, const std::string& prefix) {
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        out.write(text.data() + start, static_cast<std::streamsize>(nl + 1 - start));
        out << prefix;
        start = nl + 1;
    }
    out.write(text.data() + start, static_cast<std::streamsize>(text.size() - start));
}

// The base object, written channel by channel: a large base never exists as
// one JSON tree in memory. Every value is serialised by the JSON library; the
// result is what dump(2) of the whole object would print.
void writeBaseJson(std::ostream& out, const KeyBase& base) {
    out << "{\n  \"kind\": \"base\",\n  \"name\": " << Json(cp1251ToUtf8(base.name)).dump()
        << ",\n  \"nodes\": ";
    if (base.nodes.empty()) {
        out << "[]\n}\n";
        return;
    }
    out << "[";
    bool firstNode = true;
    for (const auto& [key, node] : base.nodes) {
        out << (firstNode ? "\n" : ",\n")
            << "    {\n      \"name\": " << Json(cp1251ToUtf8(node->name)).dump()
            << ",\n      \"channels\": ";
        firstNode = false;
        if (node->channels.empty()) {
            out << "[]\n    }";
            continue;
        }
        out << "[";
        bool firstChannel = true;
        for (const auto& [remote, channel] : node->channels) {
            out << (firstChannel ? "\n" : ",\n") << "        ";
            firstChannel = false;
            writeIndented(out, channelJson(*channel).dump(2), "        ");
        }
        out << "\n      ]\n    }";
    }
    out << "\n  ]\n}\n";
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
                Json j;
                j["kind"] = "channel";
                j["channel"] = channelJson(channel);
                io.out << j.dump(2) << "\n";
            } else {
                printChannelFile(io.out, path, channel);
            }
            return Success;
        }
    } catch (const SecureException& e) {
        io.err << e.message() << "\n";
    }
    io.err << kOpenFailed << "\n";
    return Failure;
}

const CommandRegistration kRegistration(kInspect);

}  // namespace

}  // namespace Talvek::Cli
