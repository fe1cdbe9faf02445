#include "report/report.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include <unistd.h>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/encoding.h"
#include "fileio/fileexists.h"

#ifndef TALVEK_DATA_DIR
#define TALVEK_DATA_DIR ""
#endif

namespace Talvek {

namespace {

// Fixed texts of the report, in Windows-1251 like every text the program writes.
const std::string kYes = "\xC4\xE0";             // "Да"
const std::string kNo = "\xCD\xE5\xF2";          // "Нет"
const std::string kNotApplicable = "\xCD/\xC4";  // "Н/Д"

std::string spacedHex(const BIGNUM* number) {
    const std::string hex = bigNumHex(number);
    std::string out;
    out.reserve(hex.size() + hex.size() / 2);
    for (size_t i = 0; i < hex.size(); ++i) {
        if (i > 0 && i % 2 == 0) out += ' ';
        out += hex[i];
    }
    return out;
}

bool present(uint8_t flag, const std::unique_ptr<RsaKeyRecord>& key) {
    return flag && key;
}

// A key the report shows. One cut short in its file has no value to show:
// printing its missing numbers as blanks would pass it off as a key.
bool showKey(std::string& token, const RsaKeyRecord& key) {
    if (!key.hasAllNumbers()) return false;
    token = formatKeyPublicPart(key);
    return true;
}

// The two key tokens of one use: own key and peer key, or the peer's key alone.
// False when a key to be shown is incomplete.
bool keyTokens(TokenTable& tokens, const std::string& prefix, uint8_t used, uint8_t hasPrivate,
               const std::unique_ptr<RsaKeyRecord>& privateKey, uint8_t hasPublic,
               const std::unique_ptr<RsaKeyRecord>& publicKey) {
    std::string& local = tokens[prefix + "_PUB_LOCAL"];
    std::string& remote = tokens[prefix + "_PUB_REMOTE"];
    local = kNotApplicable;
    remote = kNotApplicable;
    if (!used) return true;
    if (present(hasPrivate, privateKey)) {
        if (!showKey(local, *privateKey)) return false;
        if (present(hasPublic, publicKey)) return showKey(remote, *publicKey);
    } else if (present(hasPublic, publicKey)) {
        return showKey(local, *publicKey);
    }
    return true;
}

bool writeText(FileWriter& file, const std::string& text) {
    return file.write(text);
}

// "Private owner: NAME", the key's numbers, and (unless it is the last block of
// the dump) the line holding one space.
bool dumpKey(FileWriter& file, const char* label, const std::unique_ptr<RsaKeyRecord>& key,
             bool isPrivate, bool closingLine) {
    if (!key) return false;
    writeText(file, std::string(label) + key->name() + "\r\n");
    const int written = isPrivate ? key->writeHexPrivate(file) : key->writeHexPublic(file);
    if (!written) return false;
    if (closingLine) writeText(file, " \r\n");
    return true;
}

std::string executableFolder() {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return {};
    std::string path(buffer.data(), static_cast<size_t>(n));
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

LocalDateTime currentLocalDateTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

FileResult fillTemplate(const std::string& templatePath, const std::string& outputPath,
                        const TokenTable& tokens) {
    // The report must never replace the template it is filled from.
    if (sameFile(templatePath, outputPath))
        return FileResult::failed(outputPath, FileFault::TwoRoles);
    std::string text;
    {
        FileReader in;
        if (FileResult opened = in.openShared(templatePath); !opened) return opened;
        const auto bytes = in.take(in.remaining());
        if (!bytes) return FileResult::failed();
        text.assign(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        in.close();
    }

    for (const auto& [name, value] : tokens) {
        const std::string marker = "#" + name + "#";
        size_t found = text.find(marker);
        if (found == std::string::npos) continue;
        // Built anew in one pass: the search resumes behind each inserted value.
        std::string filled;
        filled.reserve(text.size());
        size_t from = 0;
        while (found != std::string::npos) {
            filled.append(text, from, found - from);
            filled += value;
            from = found + marker.size();
            found = text.find(marker, from);
        }
        filled.append(text, from, std::string::npos);
        text = std::move(filled);
    }

    if (text.size() > UINT32_MAX) return FileResult::failed(outputPath, FileFault::TooLarge);
    return writeWhole(outputPath, FileWriter::Permissions::Normal,
                      [&text](FileWriter& out) { return out.write(text); });
}

std::string formatKeyPublicPart(const RsaKeyRecord& key) {
    return spacedHex(key.n()) + " : " + spacedHex(key.e());
}

std::optional<TokenTable> channelReportTokens(const SecureChannel& channel,
                                              const LocalDateTime& now) {
    TokenTable tokens;
    char date[64];
    std::snprintf(date, sizeof date, "%2.2d.%2.2d.%4.4d", now.day, now.month, now.year);
    char time[64];
    std::snprintf(time, sizeof time, "%2.2d:%2.2d:%2.2d", now.hour, now.minute, now.second);
    tokens["DATE"] = date;
    tokens["TIME"] = time;
    tokens["LOCAL"] = htmlEscape(channel.localName);
    tokens["REMOTE"] = htmlEscape(channel.remoteName);
    tokens["CRYPT"] = channel.useCrypt ? kYes : kNo;
    tokens["SIGN"] = channel.useSign ? kYes : kNo;
    if (!keyTokens(tokens, "CRYPT", channel.useCrypt, channel.hasCryptPrivate,
                   channel.cryptPrivateKey, channel.hasCryptPublic, channel.cryptPublicKey) ||
        !keyTokens(tokens, "SIGN", channel.useSign, channel.hasSignPrivate, channel.signPrivateKey,
                   channel.hasSignPublic, channel.signPublicKey)) {
        return std::nullopt;
    }
    return tokens;
}

std::string resolveTemplatePath(const std::string& templatePath) {
    if (templatePath.empty() || templatePath.find('/') != std::string::npos) return templatePath;
    if (fileExists(templatePath)) return templatePath;
    std::vector<std::string> folders;
    if (TALVEK_DATA_DIR[0] != '\0') folders.emplace_back(TALVEK_DATA_DIR);
    const std::string exe = executableFolder();
    if (!exe.empty()) folders.push_back(exe + "/../share/talvekconfig");
    for (const std::string& folder : folders) {
        const std::string candidate = folder + "/" + templatePath;
        if (fileExists(candidate)) return candidate;
    }
    return templatePath;
}

FileResult exportChannelHtml(const SecureChannel& channel, const std::string& outputPath,
                             const std::string& templatePath) {
    return exportChannelHtml(channel, outputPath, templatePath, currentLocalDateTime());
}

FileResult exportChannelHtml(const SecureChannel& channel, const std::string& outputPath,
                             const std::string& templatePath, const LocalDateTime& now) {
    // Checked before the template is read, so a refused channel writes nothing.
    const auto tokens = channelReportTokens(channel, now);
    if (!tokens) return FileResult::failed();
    return fillTemplate(resolveTemplatePath(templatePath), outputPath, *tokens);
}

FileResult dumpChannelText(const SecureChannel& channel, const std::string& path) {
    FileWriter file;
    if (FileResult created = file.create(path); !created) return created;
    bool ok = writeText(file, channel.localName + ":" + channel.remoteName + "\r\n\r\n");
    if (ok && channel.useCrypt) {
        writeText(file, "Crypting:\r\n");
        if (ok && channel.hasCryptPrivate) {
            ok = dumpKey(file, "Private owner: ", channel.cryptPrivateKey, true, true);
        }
        if (ok && channel.hasCryptPublic) {
            ok = dumpKey(file, "Public owner: ", channel.cryptPublicKey, false, true);
        }
    }
    if (ok && channel.useSign) {
        writeText(file, "Signing:\r\n");
        if (ok && channel.hasSignPrivate) {
            ok = dumpKey(file, "Private owner: ", channel.signPrivateKey, true, true);
        }
        if (ok && channel.hasSignPublic) {
            ok = dumpKey(file, "Public owner: ", channel.signPublicKey, false, false);
        }
    }
    // A dump cut short by a key without numbers is kept as far as it got; a
    // dump the disk could not take is a failure, not a success.
    FileResult stored = file.close();
    if (stored && !ok) return FileResult::failed();
    return stored;
}

}  // namespace Talvek
