#pragma once
// The key maintenance dialog as a Qt window: a thin view over UtilsDlg.

#include <QDialog>
#include <QIcon>
#include <QList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "gui/backgroundwork.h"
#include "gui/messagebox.h"
#include "gui/qtfiledialog.h"
#include "gui/settingsstore.h"
#include "maintenance/utilsdlg.h"
#include "maintenance/utilsdlgview.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace Talvek {

class RowSizes;

class QtUtilsDlg : public QDialog, private UtilsDlgView {
    Q_OBJECT
public:
    // path in the file system's encoding (UTF-8).
    QtUtilsDlg(const std::string& path, SettingsStore& settings, QWidget* parent = nullptr);
    ~QtUtilsDlg() override;

    // Loads the file before the dialog is shown; a file that does not load
    // is reported and the dialog never appears (result 0).
    int exec() override;
    // Loads the file without running a modal loop (screenshots, tests): false
    // when it did not load.
    bool load();
    void reject() override;

    UtilsDlg& logic() { return logic_; }
    // The menu of the item at a point of the tree's viewport, run modally:
    // a channel's actions, or for a key part "Копировать отпечаток". The
    // item is selected first. Nothing for other items. The Menu key and
    // Shift+F10 open it for the current item.
    void showChannelMenu(const QPoint& pos);
    QTreeWidget* tree() const { return tree_; }
    QLineEdit* filterField() const { return filter_; }

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void setKindText(const std::string& text) override;
    void enableCommand(UtilsCommand command, bool enabled) override;
    void setTreeRedraw(bool enabled) override;
    void deleteAllItems() override;
    TreeItem insertItem(const std::string& text, int image, TreeItem parent) override;
    void setChildrenOnDemand(TreeItem item) override;
    void setItemHidden(TreeItem item, bool hidden) override;
    void setItemToolTip(TreeItem item, const std::string& text) override;
    std::string itemText(TreeItem item) override;
    TreeItem itemParent(TreeItem item) override;
    void expandItem(TreeItem item) override;
    void attachImageList() override;
    bool openWithDesktop(const std::string& path) override;
    bool showMessageBox(const MessageBoxRequest& request) override;
    bool runInBackground(const std::function<void()>& work,
                         const std::function<void()>& cancel = {}) override;
    FileDialogRunner& fileDialogs() override;
    void beginBusy() override;
    void endBusy() override;
    void endDialog(int code) override;

    QPushButton* addButton(const QString& text, const char* name, UtilsCommand command);
    void reportSelection();
    void showKeyMenu(QTreeWidgetItem* item, const std::string& fingerprint, const QPoint& pos);
    void applyHiding();
    void dropHiding();

    QtFileDialogRunner files_;
    UtilsDlg logic_;
    QLabel* kindText_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    RowSizes* rowSizes_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QPushButton* javaButton_ = nullptr;
    std::vector<QIcon> images_;
    // While redrawing is suspended new top-level items wait here and are
    // added to the tree in one go when it resumes.
    bool redrawSuspended_ = false;
    QList<QTreeWidgetItem*> pendingTop_;
    std::vector<QTreeWidgetItem*> pendingExpand_;
    // Hiding the children of a top-level item (the channels under the
    // file's root): hiding rows one by one costs the tree a persistent index
    // each, far too slow for a keystroke over 200,000 channels. Instead the
    // hidden children are taken out and the shown ones put back in their
    // first order, all at once. Taken-out items keep their selection and
    // expansion for when they come back. Beside each child in its first
    // order: whether it is hidden, and while the rows are swapped what it gets
    // back.
    enum : uint8_t { MarkHidden = 1, MarkSelected = 2, MarkExpanded = 4, MarkCurrent = 8 };
    QTreeWidgetItem* hidingParent_ = nullptr;
    QList<QTreeWidgetItem*> hidingOrder_;
    std::vector<uint8_t> hidingMarks_;
    std::unordered_set<QTreeWidgetItem*> expandedItems_;
    std::unordered_set<QTreeWidgetItem*> selectedHidden_;
    QTreeWidgetItem* currentHidden_ = nullptr;
    bool hidingChanged_ = false;
    bool loaded_ = false;
    int endedBeforeShown_ = -1;
    WaitCursorDepth waitCursor_;
    // A close while work runs stops it; the dialog closes once it has.
    BusyWork work_{[this] { logic_.onCommand(UtilsCommand::Close); }};
};

}  // namespace Talvek
