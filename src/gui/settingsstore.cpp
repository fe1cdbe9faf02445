#include "gui/settingsstore.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cctype>
#include <climits>

#include "keystore/cp1251.h"

namespace Talvek {

namespace {

QString key(const std::string& name) {
    return QString::fromUtf8(name);
}

// The store is opened afresh for every operation and keeps nothing in memory,
// so two instances (or two runs) always see the same values.
class OpenedSettings {
public:
    OpenedSettings()
        : settings_(QSettings::NativeFormat, QSettings::UserScope, "Brenlow", "TalvekConfig") {}
    QSettings& operator*() { return settings_; }
    QSettings* operator->() { return &settings_; }

    // Writes through to disk and reports whether that worked.
    bool commit() {
        settings_.sync();
        return settings_.status() == QSettings::NoError;
    }

private:
    QSettings settings_;
};

// The text form of whatever the store holds under a name. A value written by
// another program may come back as a list (an unquoted text with commas) or
// as raw bytes; both are read as the text they were written as.
bool variantToText(const QVariant& v, std::string& out) {
    switch (v.typeId()) {
        case QMetaType::QString:
            out = v.toString().toUtf8().toStdString();
            return true;
        case QMetaType::QStringList:
            out = v.toStringList().join(", ").toUtf8().toStdString();
            return true;
        case QMetaType::QByteArray: {
            const QByteArray bytes = v.toByteArray();
            // Valid UTF-8 stays as it is; anything else is taken as ANSI bytes.
            const QString decoded = QString::fromUtf8(bytes);
            if (decoded.toUtf8() == bytes) {
                out = bytes.toStdString();
            } else {
                out = cp1251ToUtf8(std::string_view(bytes.constData(), bytes.size()));
            }
            return true;
        }
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            out = std::to_string(static_cast<uint32_t>(v.toLongLong()));
            return true;
        default:
            if (!v.canConvert<QString>()) return false;
            out = v.toString().toUtf8().toStdString();
            return true;
    }
}

uint32_t variantToNumber(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
            // A 32-bit registry number comes back signed on some platforms.
            return static_cast<uint32_t>(v.toLongLong());
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            return static_cast<uint32_t>(v.toULongLong());
        default: {
            std::string text;
            uint32_t value = 0;
            if (variantToText(v, text) && parseStoredNumber(text, value)) return value;
            return 0;
        }
    }
}

}  // namespace

std::size_t storedLength(const std::string& utf8) {
    std::string ansi;
    if (utf8ToCp1251(utf8, ansi)) return ansi.size();
    return utf8.size();
}

bool parseStoredNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

int parseDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool QtSettingsStore::readText(const std::string& name, std::string& out) {
    out.clear();
    OpenedSettings s;
    if (s->status() != QSettings::NoError) return false;
    const QVariant v = s->value(key(name));
    if (!v.isValid()) return false;
    std::string text;
    if (!variantToText(v, text) || storedLength(text) > SettingsTextLimit) return false;
    out = std::move(text);
    return true;
}

bool QtSettingsStore::writeText(const std::string& name, const std::string& text) {
    OpenedSettings s;
    if (s->status() != QSettings::NoError || !s->isWritable()) return false;
    s->setValue(key(name), QString::fromUtf8(text));
    return s.commit();
}

uint32_t QtSettingsStore::readNumber(const std::string& name) {
    OpenedSettings s;
    if (s->status() != QSettings::NoError) return 0;
    const QVariant v = s->value(key(name));
    return v.isValid() ? variantToNumber(v) : 0;
}

bool QtSettingsStore::writeNumber(const std::string& name, uint32_t value) {
    OpenedSettings s;
    if (s->status() != QSettings::NoError || !s->isWritable()) return false;
    s->setValue(key(name), QVariant::fromValue(value));
    return s.commit();
}

}  // namespace Talvek
