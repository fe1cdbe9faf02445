#include "maintenance/utilsdlg.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "keystore/batchops.h"
#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "report/report.h"
#include "keystore/secureexception.h"
#include "checks/filecause.h"
#include "checks/keychecks.h"
#include "checks/maintenancechecks.h"
#include "fileio/fileresult.h"

namespace Talvek {

namespace {

const char* const kBaseText = "База полных и приватных ключей.\n";
const char* const kBaseCount = " секретных каналов.";
const char* const kPublicPartText = "База импорта/экспорта открытых ключей.";

const char* const kAskDeleteIncomplete =
    "Этот кананл содержит только приватные ключи.\nВы уверены, что хотите удалить секретный\n"
    "канал \"";
const char* const kAskDelete = "Вы уверены, что хотите удалить секретный канал \"";
const char* const kAskDeleteSeveral = "Удалить выбранные секретные каналы (";
const char* const kDeletedSeveral = "Секретные каналы успешно удалены!";

const std::string kExported =
    std::string(MaintenanceMessages::Exported) + "\nОткрыть файл для просмотра или печати?";
const char* const kNoViewer =
    "Не найдена программа для просмотра HTML-файлов.\nОтчет сохранен в файле \"";

const char* const kKeySize = "Размер ключа: ";
const char* const kPrivatePart = "Приватная часть ключа";
const char* const kPublicPart = "Открытая часть ключа";
const char* const kFingerprint = "Отпечаток: ";

// "local : remote" as the question quotes it, in the user's encoding.
std::string quotedPair(const ChannelSummary& channel) {
    return cp1251ToUtf8(channel.fullLocalName) + " : " + cp1251ToUtf8(channel.fullRemoteName);
}

}  // namespace

UtilsDlg::UtilsDlg(std::string path, UtilsDlgView& view, SettingsStore& settings)
    : path_(std::move(path)), view_(view), settings_(settings) {}

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
    // The items the selection named are about to go.
    selectedItems_.clear();
    clearSelection();
    channels_.clear();
    channelItems_.clear();
    FileResult loaded = FileResult::failed();
    try {
        BusyCursor busy(view_);
        loaded = loadChannels(afterDeletion);
    } catch (const SecureException& e) {
        // Shown like every other failure to open the file; the channel list
        // stays empty, so no action can reach a half-read channel.
        channels_.clear();
        view_.showError(e.message());
        enableActions(false);
        return false;
    }
    if (!loaded) {
        view_.showError(MaintenanceMessages::OpenFailed, fileFailureDetail(loaded.failure()));
        enableActions(false);
        return false;
    }
    return true;
}

// Fills the channel list and, on success, the static text and the tree.
FileResult UtilsDlg::loadChannels(bool afterDeletion) {
    // The file may be held by another program: read away from the window.
    KeyFileListing listing;
    FileResult listed = FileResult::failed();
    view_.runInBackground([this, &listing, &listed] { listed = listKeyFile(path_, listing); });
    if (listing.kind == KeyFileKind::KeyBase && listing.channels.empty() &&
        listed.failure().fault == FileFault::NoChannel) {
        // The deletion that emptied the base succeeded: show the empty
        // base rather than an error and a tree of channels that are gone.
        if (!afterDeletion) return listed;
        showEmptyBase();
        return {};
    }
    if (!listed) return listed;
    channels_ = std::move(listing.channels);
    kind_ = listing.kind == KeyFileKind::KeyBase ? FileKind::KeyBase : FileKind::PublicPart;
    foldedNames_.clear();
    foldedNames_.reserve(2 * channels_.size());
    for (const ChannelSummary& c : channels_) {
        foldedNames_.push_back(foldCaseCp1251(c.fullLocalName));
        foldedNames_.push_back(foldCaseCp1251(c.fullRemoteName));
    }
    fillTree();
    enableActions(false);
    clearSelection();
    return {};
}

void UtilsDlg::showEmptyBase() {
    kind_ = FileKind::KeyBase;
    view_.setTreeRedraw(false);
    view_.deleteAllItems();
    root_ = NoTreeItem;
    channelItems_.clear();
    rowsBuilt_.clear();
    fingerprints_.clear();
    itemOf_.clear();
    shown_.clear();
    foldedNames_.clear();
    shownCount_ = 0;
    view_.setTreeRedraw(true);
    view_.setKindText(std::string(kBaseText) + "0" + kBaseCount);
    enableActions(false);
    clearSelection();
}

// A key part item; its tool tip gives the key's fingerprint, which the two
// sides of a channel compare to know they hold each other's genuine keys.
void UtilsDlg::insertKeyPart(const char* text, const std::string& fingerprint, TreeItem group) {
    const TreeItem item = view_.insertItem(text, ImageNone, group);
    if (fingerprint.empty()) return;
    view_.setItemToolTip(item, kFingerprint + fingerprint);
    fingerprints_.emplace(item, fingerprint);
}

// A use's group under its channel: the key size and the key parts it holds.
void UtilsDlg::insertUseGroup(const KeyUse& use, TreeItem item) {
    const bool complete = use.hasPrivate && use.hasPublic;
    const TreeItem group =
        view_.insertItem(use.title, complete ? use.completeImage : use.incompleteImage, item);
    view_.insertItem(kKeySize + std::to_string(use.size), ImageNone, group);
    if (use.hasPrivate) insertKeyPart(kPrivatePart, use.privateFingerprint, group);
    if (use.hasPublic) insertKeyPart(kPublicPart, use.publicFingerprint, group);
}

// The rows below a channel: its two names, then a group for each use.
void UtilsDlg::insertChannelRows(const ChannelSummary& c, TreeItem item) {
    view_.insertItem("Имя локального ключа: " + cp1251ToUtf8(c.localName), ImageLocalName, item);
    view_.insertItem("Имя удаленного ключа: " + cp1251ToUtf8(c.remoteName), ImageRemoteName, item);
    if (c.useCrypt) {
        insertUseGroup({"Кодирование", ImageCryptComplete, ImageCryptIncomplete, c.cryptSize,
                        c.hasCryptPrivate != 0, c.hasCryptPublic != 0,
                        c.cryptPrivateFingerprint, c.cryptPublicFingerprint},
                       item);
    }
    if (c.useSign) {
        insertUseGroup({"Подпись", ImageSignComplete, ImageSignIncomplete, c.signSize,
                        c.hasSignPrivate != 0, c.hasSignPublic != 0, c.signPrivateFingerprint,
                        c.signPublicFingerprint},
                       item);
    }
}

void UtilsDlg::onItemExpanding(TreeItem item) {
    const auto found = channelItems_.find(item);
    if (found == channelItems_.end() || found->second >= rowsBuilt_.size() ||
        rowsBuilt_[found->second])
        return;
    rowsBuilt_[found->second] = true;
    insertChannelRows(channels_[found->second], item);
}

std::string UtilsDlg::fingerprintOf(TreeItem item) const {
    const auto found = fingerprints_.find(item);
    return found == fingerprints_.end() ? std::string() : found->second;
}

void UtilsDlg::fillTree() {
    view_.setTreeRedraw(false);
    view_.deleteAllItems();
    channelItems_.clear();
    root_ = view_.insertItem(
        path_, kind_ == FileKind::PublicPart ? ImagePublicPartFile : ImageKeyBase, NoTreeItem);
    channelItems_.reserve(channels_.size());
    itemOf_.assign(channels_.size(), NoTreeItem);
    shown_.assign(channels_.size(), true);
    shownCount_ = channels_.size();
    // One item per channel; its rows follow when it is first expanded.
    rowsBuilt_.assign(channels_.size(), false);
    fingerprints_.clear();
    std::string text;
    for (size_t i = 0; i < channels_.size(); ++i) {
        const ChannelSummary& c = channels_[i];
        text = cp1251ToUtf8(c.localName);
        text += " : ";
        text += cp1251ToUtf8(c.remoteName);
        const TreeItem item = view_.insertItem(text, ImageChannel, root_);
        view_.setChildrenOnDemand(item);
        channelItems_.emplace(item, i);
        itemOf_[i] = item;
    }
    view_.expandItem(root_);
    view_.setTreeRedraw(true);
    // Items can be hidden only once they are in the tree.
    applyFilter();
}

void UtilsDlg::onFilterChanged(const std::string& text) {
    if (text == filterText_) return;
    filterText_ = text;
    applyFilter();
    // A channel the filter hides is no longer acted on.
    updateSelection();
}

void UtilsDlg::applyFilter() {
    const NameFilter filter(filterText_);
    shownCount_ = 0;
    bool changed = false;
    for (size_t i = 0; i < itemOf_.size(); ++i) {
        const bool show = filter.containsFolded(foldedNames_[2 * i]) ||
                          filter.containsFolded(foldedNames_[2 * i + 1]);
        // Only the items whose state changes are touched: a keystroke over
        // many channels changes few of them. Once any changes, the view may
        // show all the changes in one go.
        if (show != shown_[i]) {
            if (!changed) view_.setTreeRedraw(false);
            changed = true;
            view_.setItemHidden(itemOf_[i], !show);
        }
        shown_[i] = show;
        shownCount_ += show ? 1 : 0;
    }
    if (changed) view_.setTreeRedraw(true);
    showKindText();
}

void UtilsDlg::showKindText() {
    const std::string count =
        filterText_.empty()
            ? std::to_string(channels_.size()) + kBaseCount
            : "Показано " + std::to_string(shownCount_) + " из " +
                  std::to_string(channels_.size()) + kBaseCount;
    if (kind_ == FileKind::PublicPart) {
        view_.setKindText(filterText_.empty() ? std::string(kPublicPartText)
                                              : kPublicPartText + std::string("\n") + count);
    } else {
        view_.setKindText(kBaseText + count);
    }
}

void UtilsDlg::onSelectionChanged(TreeItem item) {
    onSelectionChanged(item == NoTreeItem ? std::vector<TreeItem>{} : std::vector<TreeItem>{item});
}

void UtilsDlg::onSelectionChanged(const std::vector<TreeItem>& items) {
    selectedItems_ = items;
    updateSelection();
}

void UtilsDlg::updateSelection() {
    clearSelection();
    std::vector<size_t> indices;
    for (const TreeItem item : selectedItems_) {
        if (root_ == NoTreeItem || item == NoTreeItem) continue;
        const auto found = channelItems_.find(item);
        if (found == channelItems_.end() || found->second >= channels_.size()) continue;
        if (!shown_.empty() && !shown_[found->second]) continue;
        indices.push_back(found->second);
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    for (const size_t i : indices) {
        selected_.emplace_back(channels_[i].fullLocalName, channels_[i].fullRemoteName);
    }
    if (selected_.size() == 1) {
        selectedLocal_ = selected_[0].first;
        selectedRemote_ = selected_[0].second;
    }
    // Delete takes every selected channel; a report or a Java file is of one.
    view_.enableCommand(UtilsCommand::Delete, !selected_.empty());
    view_.enableCommand(UtilsCommand::Export, selected_.size() == 1);
    view_.enableCommand(UtilsCommand::Java, selected_.size() == 1);
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
    if (selected_.size() > 1) {
        deleteSeveral();
        return;
    }
    const ChannelSummary* found = findSelectedChannel();
    if (!found) return;
    if (kind_ == FileKind::PublicPart) {
        view_.showInformation(MaintenanceMessages::NoDeleteInPublicPart);
        return;
    }
    // The reload below replaces the list the record lives in.
    const ChannelSummary channel = *found;
    const std::string question =
        std::string(isChannelComplete(channel) ? kAskDelete : kAskDeleteIncomplete) +
        quotedPair(channel) + "\"?";
    // Enter must not destroy a channel: "Нет" is the default.
    if (!view_.askDestructiveQuestion(question)) return;

    FileResult deleted = FileResult::failed();
    try {
        view_.runInBackground([this, &channel, &deleted] { deleted = deleteSelected(channel); });
    } catch (const SecureException& e) {
        view_.showError(e.message());
        return;
    }
    if (deleted)
        view_.showInformation(MaintenanceMessages::Deleted);
    else
        view_.showError(MaintenanceMessages::DeleteFailed, fileFailureDetail(deleted.failure()));
    loadKeyFile(true);
}

void UtilsDlg::deleteSeveral() {
    if (kind_ == FileKind::PublicPart) {
        view_.showInformation(MaintenanceMessages::NoDeleteInPublicPart);
        return;
    }
    // The reload below replaces the selection.
    std::vector<ChannelNames> names;
    for (const auto& [local, remote] : selected_) names.push_back({local, remote});
    if (!view_.askDestructiveQuestion(kAskDeleteSeveral + std::to_string(names.size()) + ")?"))
        return;
    RemoveResult removal{RemoveOutcome::SaveFailed, {}};
    try {
        BusyCursor busy(view_);
        view_.runInBackground(
            [this, &names, &removal] { removal = removeChannelsFrom(path_, names); });
    } catch (const SecureException& e) {
        view_.showError(e.message());
        return;
    }
    if (removal == RemoveOutcome::Removed)
        view_.showInformation(kDeletedSeveral);
    else
        view_.showError(MaintenanceMessages::DeleteFailed, fileFailureDetail(removal.cause));
    loadKeyFile(true);
}

FileResult UtilsDlg::deleteSelected(const ChannelSummary& channel) {
    return removeChannel(path_, channel.fullLocalName, channel.fullRemoteName);
}

void UtilsDlg::onExport() {
    const ChannelSummary* found = findSelectedChannel();
    if (!found) return;
    const ChannelSummary channel = *found;
    try {
        std::string outputPath;
        if (!selectFile(view_.fileDialogs(), settings_, outputPath, false,
                        {{"Html file (*.html)", "*.html"}, {"All Files (*.*)", "*.*"}},
                        "Export.html", ".html"))
            return;
        // The file dialog asks nothing before an existing file is chosen;
        // the open key file itself is never overwritten by its report.
        if (const CheckResult differs = checkOutputDiffers(path_, outputPath);
            !differs.advances()) {
            view_.showError(differs.message);
            return;
        }
        FileResult exported = FileResult::failed();
        view_.runInBackground([this, &channel, &outputPath, &exported] {
            exported = exportSelected(channel, outputPath);
        });
        if (!exported) {
            view_.showError(MaintenanceMessages::ExportFailed,
                            fileFailureDetail(exported.failure()));
            return;
        }
        // Without a program for HTML the report would seem to vanish; the
        // user is told where it is to open it another way.
        if (view_.messageBox(kExported, MessageIcon::Information, true) &&
            !view_.openWithDesktop(outputPath)) {
            view_.messageBox(kNoViewer + outputPath + "\".", MessageIcon::Information, false);
        }
    } catch (const SecureException& e) {
        view_.showError(e.message());
    }
}

FileResult UtilsDlg::exportSelected(const ChannelSummary& channel,
                                   const std::string& outputPath) {
    if (kind_ == FileKind::PublicPart) {
        SecureChannel fromFile;
        if (FileResult read = readChannelFile(fromFile, path_); !read) return read;
        return exportChannelHtml(fromFile, outputPath, kTemplateName);
    }
    KeyBase base;
    if (FileResult loaded = base.loadBase(path_); !loaded) return loaded;
    const SecureChannel* inBase = base.findChannel(channel.fullLocalName, channel.fullRemoteName);
    if (!inBase) return FileResult::failed();
    return exportChannelHtml(*inBase, outputPath, kTemplateName);
}

void UtilsDlg::onJavaKey() {
    const ChannelSummary* found = findSelectedChannel();
    if (!found) return;
    const ChannelSummary channel = *found;
    // The Java client signs and verifies only, with both halves of the pair.
    if (const auto refusal =
            javaChannelRefusal(channel.useCrypt, channel.useSign, isChannelComplete(channel))) {
        view_.showInformation(*refusal);
        return;
    }
    try {
        std::string outputPath;
        if (!selectFile(view_.fileDialogs(), settings_, outputPath, false,
                        {{"База ключей \"Java\" (javaclient.bin)", "javaclient.bin"},
                         {"All Files (*.*)", "*.*"}},
                        "javaclient.bin", ""))
            return;
        if (const CheckResult differs = checkOutputDiffers(path_, outputPath);
            !differs.advances()) {
            view_.showError(differs.message);
            return;
        }
        FileResult written = FileResult::failed();
        view_.runInBackground([this, &channel, &outputPath, &written] {
            written = writeJavaFile(channel, outputPath);
        });
        if (written)
            view_.showInformation(MaintenanceMessages::JavaWritten);
        else
            view_.showError(MaintenanceMessages::JavaFailed, fileFailureDetail(written.failure()));
    } catch (const SecureException& e) {
        view_.showError(e.message());
    }
}

FileResult UtilsDlg::writeJavaFile(const ChannelSummary& channel,
                                  const std::string& outputPath) {
    KeyBase base;
    if (FileResult loaded = base.loadBase(path_); !loaded) return loaded;
    const SecureChannel* inBase = base.findChannel(channel.fullLocalName, channel.fullRemoteName);
    if (!inBase) return FileResult::failed();
    return writeJavaKeyFile(*inBase, outputPath);
}

void UtilsDlg::onClose() {
    view_.endDialog(2);
}

void UtilsDlg::onCommand(UtilsCommand command) {
    switch (command) {
        case UtilsCommand::Delete:
            onDelete();
            break;
        case UtilsCommand::Export:
            onExport();
            break;
        case UtilsCommand::Java:
            onJavaKey();
            break;
        case UtilsCommand::Close:
            onClose();
            break;
    }
}

void UtilsDlg::enableActions(bool enabled) {
    view_.enableCommand(UtilsCommand::Delete, enabled);
    view_.enableCommand(UtilsCommand::Export, enabled);
    view_.enableCommand(UtilsCommand::Java, enabled);
}

void UtilsDlg::clearSelection() {
    selectedLocal_.clear();
    selectedRemote_.clear();
    selected_.clear();
}

}  // namespace Talvek
