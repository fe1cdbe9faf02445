#pragma once
// The key maintenance dialog's logic: shows one key file (a key base or a
// public-part file) as a tree of its secure channels and deletes, exports or
// writes as the Java client's key file the channel the user selects. It keeps
// nothing open between actions: every action loads the file anew.

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gui/fileutils.h"
#include "gui/settingsstore.h"
#include "keystore/securechannel.h"
#include "maintenance/utilsdlgview.h"

namespace Talvek {

class UtilsDlg {
public:
    enum class FileKind { None, KeyBase, PublicPart };

    // path stays as given: it is shown as the tree's root and reloaded by
    // every action.
    UtilsDlg(std::string path, UtilsDlgView& view, SettingsStore& settings);

    // Builds the images and loads the file. A file that does not load has
    // been reported and the dialog ended with 0; then false.
    bool open();
    // At opening and after a deletion. Once a deletion has emptied a key
    // base, the empty base is shown instead of being reported as unreadable.
    bool loadKeyFile(bool afterDeletion = false);
    void fillTree();

    // The selected items, in any order; the actions apply to the channel
    // items among them that the filter shows.
    void onSelectionChanged(const std::vector<TreeItem>& items);
    void onSelectionChanged(TreeItem item);
    // The text of the search field (UTF-8), as typed: only the channels
    // whose local or remote name contains it, ignoring case, are shown.
    void onFilterChanged(const std::string& text);
    const std::string& filterText() const { return filterText_; }
    // How many channels the filter shows.
    size_t shownCount() const { return shownCount_; }
    // The selected channels' full names (Windows-1251), in list order.
    const std::vector<std::pair<std::string, std::string>>& selectedChannels() const {
        return selected_;
    }
    // The item stands for a channel: the actions apply to it.
    bool isChannelItem(TreeItem item) const;
    // The view is about to expand the item: a channel's rows (names, keys)
    // are inserted below it the first time.
    void onItemExpanding(TreeItem item);
    // The fingerprint ("SHA256:...") a key part item shows as its tool tip;
    // empty for every other item.
    std::string fingerprintOf(TreeItem item) const;
    // The listed channel of the selected names, or null.
    const ChannelSummary* findSelectedChannel() const;

    void onDelete();
    void onExport();
    void onJavaKey();
    // "Выход", Escape and the close box.
    void onClose();
    // The command routed to the handlers above.
    void onCommand(UtilsCommand command);

    FileKind fileKind() const { return kind_; }
    const std::string& path() const { return path_; }
    const std::vector<ChannelSummary>& channels() const { return channels_; }
    const std::string& selectedLocalName() const { return selectedLocal_; }
    const std::string& selectedRemoteName() const { return selectedRemote_; }
    TreeItem rootItem() const { return root_; }

private:
    FileResult loadChannels(bool afterDeletion);
    void showEmptyBase();
    void insertKeyPart(const char* text, const std::string& fingerprint, TreeItem group);
    // What the tree shows of one use of a channel.
    struct KeyUse {
        const char* title;
        TreeImage completeImage;
        TreeImage incompleteImage;
        uint32_t size;
        bool hasPrivate;
        bool hasPublic;
        const std::string& privateFingerprint;
        const std::string& publicFingerprint;
    };
    void insertUseGroup(const KeyUse& use, TreeItem item);
    void insertChannelRows(const ChannelSummary& channel, TreeItem item);
    void enableActions(bool enabled);
    void clearSelection();
    FileResult deleteSelected(const ChannelSummary& channel);
    void deleteSeveral();
    void applyFilter();
    void showKindText();
    void updateSelection();
    FileResult exportSelected(const ChannelSummary& channel, const std::string& outputPath);
    FileResult writeJavaFile(const ChannelSummary& channel, const std::string& outputPath);

    std::string path_;
    UtilsDlgView& view_;
    SettingsStore& settings_;

    FileKind kind_ = FileKind::None;
    std::vector<ChannelSummary> channels_;
    TreeItem root_ = NoTreeItem;
    // Channel items and the index of their record: the full names of the
    // record decide the selection, not the (cut) text shown in the tree.
    std::unordered_map<TreeItem, size_t> channelItems_;
    // Channels whose rows are in the tree, and the fingerprints of the key
    // part items among those rows.
    std::vector<bool> rowsBuilt_;
    std::unordered_map<TreeItem, std::string> fingerprints_;
    std::string selectedLocal_;
    std::string selectedRemote_;

    // The search: its text, the names folded once per load, which channels
    // it shows and the channel item of each channel.
    std::string filterText_;
    std::vector<std::string> foldedNames_;  // local and remote of each channel
    std::vector<TreeItem> itemOf_;
    std::vector<bool> shown_;
    size_t shownCount_ = 0;
    std::vector<TreeItem> selectedItems_;
    std::vector<std::pair<std::string, std::string>> selected_;
};

}  // namespace Talvek
