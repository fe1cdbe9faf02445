#include "maintenance/utilsdlg.h"

#include <utility>

#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "keystore/report.h"
#include "keystore/secureexception.h"
#include "checks/keychecks.h"

namespace Talvek {

namespace {

const char* const kTitleInformation = "Информация";
const char* const kTitleQuestion = "Вопрос";
const char* const kTitleError = "Ошибка";

const char* const kOpenFailed = "Ошибка открытия базы ключей!";
const char* const kBaseText = "База полных и приватных ключей.\n";
const char* const kBaseCount = " секретных каналов.";
const char* const kPublicPartText = "База импорта/экспорта открытых ключей.";

const char* const kNoDeleteInPublicPart = "Нельзя удалять каналы из баз импорта/экспорта";
const char* const kAskDeleteIncomplete =
    "Этот кананл содержит только приватные ключи.\nВы уверены, что хотите удалить секретный\n"
    "канал \"";
const char* const kAskDelete = "Вы уверены, что хотите удалить секретный канал \"";
const char* const kDeleted = "Канал успешно удален!";
const char* const kDeleteFailed = "Ошибка удаления канала!";

const char* const kExported =
    "Информация о канале успешно экспортирована!\nОткрыть файл для просмотра или печати?";
const char* const kExportFailed = "Ошибка экспорта канала!";
const char* const kNoViewer =
    "Не найдена программа для просмотра HTML-файлов.\nОтчет сохранен в файле \"";

const char* const kJavaWritten = "\"Java\" канал успешно экспортирован!";
const char* const kJavaFailed = "Ошибка экспорта \"Java\" канала!";

const char* const kKeySize = "Размер ключа: ";
const char* const kPrivatePart = "Приватная часть ключа";
const char* const kPublicPart = "Открытая часть ключа";
const char* const kFingerprint = "Отпечаток: ";

// The wait cursor for the life of the object.
class Busy {
public:
    explicit Busy(UtilsDlgView& view) : view_(view) { view_.setBusy(true); }
    ~Busy() { view_.setBusy(false); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    UtilsDlgView& view_;
};

// "local : remote" as the question quotes it, in the user's encoding.
std::string quotedPair(const ChannelSummary& channel) {
    return cp1251ToUtf8(channel.fullLocalName) + " : " + cp1251ToUtf8(channel.fullRemoteName);
}

}  // namespace

UtilsDlg::UtilsDlg(std::string path, UtilsDlgView& view, SettingsStore& settings,
                   FileDialogRunner& files)
    : path_(std::move(path)), view_(view), settings_(settings), files_(files) {}

bool UtilsDlg::isChannelComplete(const ChannelSummary& channel) {
    if (!channel.useCrypt && !channel.useSign) return false;
    if (channel.useCrypt && !(channel.hasCryptPrivate && channel.hasCryptPublic)) return false;
    if (channel.useSign && !(channel.hasSignPrivate && channel.hasSignPublic)) return false;
    return true;
}

bool UtilsDlg::open() {
    view_.attachImageList();
    root_ = NoTreeItem;
    channels_.clear();
    channelItems_.clear();
    clearSelection();
    if (!loadKeyFile()) {
        view_.endDialog(0);
        return false;
    }
    return true;
}

bool UtilsDlg::loadKeyFile(bool afterDeletion) {
    clearSelection();
    channels_.clear();
    channelItems_.clear();
    bool loaded = false;
    try {
        Busy busy(view_);
        loaded = loadChannels(afterDeletion);
    } catch (const SecureException& e) {
        // Shown like every other failure to open the file; the channel list
        // stays empty, so no action can reach a half-read channel.
        channels_.clear();
        error(e.message());
        enableActions(false);
        return false;
    }
    if (!loaded) {
        error(kOpenFailed);
        enableActions(false);
        return false;
    }
    return true;
}

// Fills the channel list and, on success, the static text and the tree.
bool UtilsDlg::loadChannels(bool afterDeletion) {
    KeyBase base;
    if (base.loadBase(path_)) {
        KeyBaseSummary header;
        if (!base.listChannels(header, channels_)) {
            channels_.clear();
            // The deletion that emptied the base succeeded: show the empty
            // base rather than an error and a tree of channels that are gone.
            if (!afterDeletion) return false;
            showEmptyBase();
            return true;
        }
        kind_ = FileKind::KeyBase;
        view_.setKindText(kBaseText + std::to_string(channels_.size()) + kBaseCount);
    } else {
        // Only a file that is no key base at all is tried as a public part.
        SecureChannel channel;
        ChannelSummary summary;
        if (!readChannelFile(channel, path_) || !channel.toSummary(&summary)) return false;
        channels_.push_back(std::move(summary));
        kind_ = FileKind::PublicPart;
        view_.setKindText(kPublicPartText);
    }
    fillTree();
    enableActions(false);
    clearSelection();
    return true;
}

void UtilsDlg::showEmptyBase() {
    kind_ = FileKind::KeyBase;
    view_.setTreeRedraw(false);
    view_.deleteAllItems();
    root_ = NoTreeItem;
    channelItems_.clear();
    view_.setTreeRedraw(true);
    view_.setKindText(std::string(kBaseText) + "0" + kBaseCount);
    enableActions(false);
    clearSelection();
}

// A key part item; its tool tip gives the key's fingerprint, which the two
// sides of a channel compare to know they hold each other's genuine keys.
void UtilsDlg::insertKeyPart(const char* text, const std::string& fingerprint, TreeItem group) {
    const TreeItem item = view_.insertItem(text, ImageNone, group);
    if (!fingerprint.empty()) view_.setItemToolTip(item, kFingerprint + fingerprint);
}

void UtilsDlg::fillTree() {
    view_.setTreeRedraw(false);
    view_.deleteAllItems();
    channelItems_.clear();
    root_ = view_.insertItem(
        path_, kind_ == FileKind::PublicPart ? ImagePublicPartFile : ImageKeyBase, NoTreeItem);
    channelItems_.reserve(channels_.size());
    for (size_t i = 0; i < channels_.size(); ++i) {
        const ChannelSummary& c = channels_[i];
        const std::string local = cp1251ToUtf8(c.localName);
        const std::string remote = cp1251ToUtf8(c.remoteName);
        const TreeItem item = view_.insertItem(local + " : " + remote, ImageChannel, root_);
        channelItems_.emplace(item, i);
        view_.insertItem("Имя локального ключа: " + local, ImageLocalName, item);
        view_.insertItem("Имя удаленного ключа: " + remote, ImageRemoteName, item);
        if (c.useCrypt) {
            const bool complete = c.hasCryptPrivate && c.hasCryptPublic;
            const TreeItem group = view_.insertItem(
                "Кодирование", complete ? ImageCryptComplete : ImageCryptIncomplete, item);
            view_.insertItem(kKeySize + std::to_string(c.cryptSize), ImageNone, group);
            if (c.hasCryptPrivate) insertKeyPart(kPrivatePart, c.cryptPrivateFingerprint, group);
            if (c.hasCryptPublic) insertKeyPart(kPublicPart, c.cryptPublicFingerprint, group);
        }
        if (c.useSign) {
            const bool complete = c.hasSignPrivate && c.hasSignPublic;
            const TreeItem group = view_.insertItem(
                "Подпись", complete ? ImageSignComplete : ImageSignIncomplete, item);
            view_.insertItem(kKeySize + std::to_string(c.signSize), ImageNone, group);
            if (c.hasSignPrivate) insertKeyPart(kPrivatePart, c.signPrivateFingerprint, group);
            if (c.hasSignPublic) insertKeyPart(kPublicPart, c.signPublicFingerprint, group);
        }
    }
    view_.expandItem(root_);
    view_.setTreeRedraw(true);
}

void UtilsDlg::onSelectionChanged(TreeItem item) {
    clearSelection();
    bool isChannel = false;
    if (root_ != NoTreeItem && item != NoTreeItem && view_.itemParent(item) == root_) {
        const auto found = channelItems_.find(item);
        if (found != channelItems_.end() && found->second < channels_.size()) {
            const ChannelSummary& c = channels_[found->second];
            selectedLocal_ = c.fullLocalName;
            selectedRemote_ = c.fullRemoteName;
            isChannel = true;
        }
    }
    enableActions(isChannel);
}

bool UtilsDlg::isChannelItem(TreeItem item) const {
    return item != NoTreeItem && channelItems_.count(item) != 0;
}

const ChannelSummary* UtilsDlg::findSelectedChannel() const {
    if (selectedLocal_.empty()) return nullptr;
    for (const ChannelSummary& c : channels_) {
        if (c.fullLocalName == selectedLocal_ && c.fullRemoteName == selectedRemote_) return &c;
    }
    return nullptr;
}

void UtilsDlg::onDelete() {
    const ChannelSummary* found = findSelectedChannel();
    if (!found) return;
    if (kind_ == FileKind::PublicPart) {
        info(kNoDeleteInPublicPart);
        return;
    }
    // The reload below replaces the list the record lives in.
    const ChannelSummary channel = *found;
    const std::string question =
        std::string(isChannelComplete(channel) ? kAskDelete : kAskDeleteIncomplete) +
        quotedPair(channel) + "\"?";
    if (!ask(question, kTitleQuestion, UtilsMessageIcon::Question)) return;

    bool deleted = false;
    try {
        deleted = deleteSelected(channel);
    } catch (const SecureException& e) {
        error(e.message());
        return;
    }
    if (deleted)
        info(kDeleted);
    else
        error(kDeleteFailed);
    loadKeyFile(true);
}

bool UtilsDlg::deleteSelected(const ChannelSummary& channel) {
    KeyBase base;
    return base.loadBase(path_) &&
           base.deleteChannel(channel.fullLocalName, channel.fullRemoteName) &&
           base.saveBase(path_);
}

void UtilsDlg::onExport() {
    const ChannelSummary* found = findSelectedChannel();
    if (!found) return;
    const ChannelSummary channel = *found;
    try {
        std::string outputPath;
        if (!selectFile(files_, settings_, outputPath, false,
                        {{"Html file (*.html)", "*.html"}, {"All Files (*.*)", "*.*"}},
                        "Export.html", ".html"))
            return;
        if (!exportSelected(channel, outputPath)) {
            error(kExportFailed);
            return;
        }
        // Without a program for HTML the report would seem to vanish; the
        // user is told where it is to open it another way.
        if (ask(kExported, kTitleInformation, UtilsMessageIcon::Information) &&
            !view_.openWithDesktop(outputPath)) {
            info(kNoViewer + outputPath + "\".");
        }
    } catch (const SecureException& e) {
        error(e.message());
    }
}

bool UtilsDlg::exportSelected(const ChannelSummary& channel, const std::string& outputPath) {
    if (kind_ == FileKind::PublicPart) {
        SecureChannel fromFile;
        return readChannelFile(fromFile, path_) &&
               exportChannelHtml(fromFile, outputPath, kTemplateName);
    }
    KeyBase base;
    if (!base.loadBase(path_)) return false;
    const SecureChannel* inBase = base.findChannel(channel.fullLocalName, channel.fullRemoteName);
    return inBase && exportChannelHtml(*inBase, outputPath, kTemplateName);
}

void UtilsDlg::onJavaKey() {
    const ChannelSummary* found = findSelectedChannel();
    if (!found) return;
    const ChannelSummary channel = *found;
    // The Java client signs and verifies only, with both halves of the pair.
    if (const auto refusal =
            javaChannelRefusal(channel.useCrypt, channel.useSign, isChannelComplete(channel))) {
        info(*refusal);
        return;
    }
    try {
        std::string outputPath;
        if (!selectFile(files_, settings_, outputPath, false,
                        {{"База ключей \"Java\" (javaclient.bin)", "javaclient.bin"},
                         {"All Files (*.*)", "*.*"}},
                        "javaclient.bin", ""))
            return;
        if (writeJavaFile(channel, outputPath))
            info(kJavaWritten);
        else
            error(kJavaFailed);
    } catch (const SecureException& e) {
        error(e.message());
    }
}

bool UtilsDlg::writeJavaFile(const ChannelSummary& channel, const std::string& outputPath) {
    KeyBase base;
    if (!base.loadBase(path_)) return false;
    const SecureChannel* inBase = base.findChannel(channel.fullLocalName, channel.fullRemoteName);
    return inBase && writeJavaKeyFile(*inBase, outputPath);
}

void UtilsDlg::onClose() {
    view_.endDialog(2);
}

void UtilsDlg::onCommand(int id) {
    switch (id) {
        case IdUtilsDelete:
            onDelete();
            break;
        case IdUtilsExport:
            onExport();
            break;
        case IdUtilsJava:
            onJavaKey();
            break;
        case IdUtilsOk:
        case IdUtilsCancel:
            onClose();
            break;
        default:
            break;
    }
}

void UtilsDlg::enableActions(bool enabled) {
    view_.enableButton(IdUtilsDelete, enabled);
    view_.enableButton(IdUtilsExport, enabled);
    view_.enableButton(IdUtilsJava, enabled);
}

void UtilsDlg::clearSelection() {
    selectedLocal_.clear();
    selectedRemote_.clear();
}

void UtilsDlg::info(const std::string& text) {
    view_.messageBox(text, kTitleInformation, UtilsMessageIcon::Information, false);
}

void UtilsDlg::error(const std::string& text) {
    view_.messageBox(text, kTitleError, UtilsMessageIcon::Error, false);
}

bool UtilsDlg::ask(const std::string& text, const std::string& title, UtilsMessageIcon icon) {
    return view_.messageBox(text, title, icon, true);
}

}  // namespace Talvek
