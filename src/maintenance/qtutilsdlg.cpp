#include "maintenance/qtutilsdlg.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <exception>
#include <unordered_map>
#include <utility>

#include "gui/backgroundwork.h"
#include "gui/pictures.h"

namespace Talvek {

namespace {

QTreeWidgetItem* toItem(TreeItem handle) {
    return reinterpret_cast<QTreeWidgetItem*>(static_cast<std::uintptr_t>(handle));
}
TreeItem toHandle(QTreeWidgetItem* item) {
    return static_cast<TreeItem>(reinterpret_cast<std::uintptr_t>(item));
}

// Every item of the tree is made by insertItem, as one of these, so that the
// search finds an item's place among the children it thins out on the item
// itself rather than in a table.
class FilterItem : public QTreeWidgetItem {
public:
    explicit FilterItem(const QString& text) : QTreeWidgetItem(QStringList{text}, UserType) {}
    // Its index among those children in their first order; -1 for any other
    // item.
    int position = -1;
};

FilterItem* filterItem(QTreeWidgetItem* item) {
    return static_cast<FilterItem*>(item);
}

}  // namespace

// The column is as wide as the widest text, which the tree finds by measuring
// up to a thousand rows each time the rows change; each measurement shapes
// the text anew. An item's text, image and font do not change while it
// lives, so its size is measured once and kept until the items are replaced
// or the font or style changes.
class RowSizes : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (index.column() != 0) return QStyledItemDelegate::sizeHint(option, index);
        auto [at, added] = sizes_.try_emplace(index.internalPointer());
        if (added) at->second = QStyledItemDelegate::sizeHint(option, index);
        return at->second;
    }
    void forget() { sizes_.clear(); }

private:
    mutable std::unordered_map<const void*, QSize> sizes_;
};

QtUtilsDlg::QtUtilsDlg(const std::string& path, SettingsStore& settings, QWidget* parent)
    : QDialog(parent), files_(this), logic_(path, *this, settings) {
    setWindowTitle(QStringLiteral("Обслуживание ключей"));
    setObjectName(QStringLiteral("UtilsDlg"));
    setWindowFlags((windowFlags() | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) &
                   ~Qt::WindowContextHelpButtonHint);

    kindText_ = new QLabel(this);
    kindText_->setObjectName(QStringLiteral("1017"));
    kindText_->setAccessibleDescription(QStringLiteral("Вид файла"));
    kindText_->setWordWrap(true);
    kindText_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    tree_ = new QTreeWidget(this);
    tree_->setObjectName(QStringLiteral("1014"));
    tree_->setAccessibleName(QStringLiteral("Секретные каналы"));
    tree_->setColumnCount(1);
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(true);
    tree_->setUniformRowHeights(true);
    // Ctrl/Shift+click and Shift+arrows select several channels.
    tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tree_->setAllColumnsShowFocus(true);
    tree_->setDragEnabled(false);
    tree_->setDragDropMode(QAbstractItemView::NoDragDrop);
    tree_->setIconSize(QSize(16, 15));
    rowSizes_ = new RowSizes(tree_);
    tree_->setItemDelegate(rowSizes_);
    tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // As wide as the widest text: a long path scrolls sideways instead of
    // being cut short.
    tree_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tree_->header()->setStretchLastSection(false);
    // ...but never narrower than the view, so a selected row is marked across
    // the whole width.
    tree_->viewport()->installEventFilter(this);
    tree_->installEventFilter(this);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree_, &QWidget::customContextMenuRequested, this, &QtUtilsDlg::showChannelMenu);
    kindText_->setBuddy(tree_);

    // The search above the tree: what is typed narrows the tree at once.
    filter_ = new QLineEdit(this);
    filter_->setObjectName(QStringLiteral("ChannelFilter"));
    filter_->setAccessibleName(QStringLiteral("Поиск каналов"));
    filter_->setClearButtonEnabled(true);
    filter_->installEventFilter(this);
    auto* filterLabel = new QLabel(QStringLiteral("Найти:"), this);
    filterLabel->setBuddy(filter_);
    connect(filter_, &QLineEdit::textChanged, this, [this](const QString& text) {
        logic_.onFilterChanged(text.toStdString());
    });

    // The object names are the controls' old ids, by which tools find them.
    deleteButton_ = addButton(QStringLiteral("Удалить"), "1015", UtilsCommand::Delete);
    exportButton_ = addButton(QStringLiteral("Экспорт..."), "1016", UtilsCommand::Export);
    javaButton_ = addButton(QStringLiteral("\"Java\" ключ..."), "1018", UtilsCommand::Java);
    QPushButton* close = addButton(QStringLiteral("Выход"), "1", UtilsCommand::Close);
    close->setDefault(true);
    close->setAutoDefault(true);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(deleteButton_);
    buttons->addWidget(exportButton_);
    buttons->addWidget(javaButton_);
    buttons->addStretch(1);
    buttons->addWidget(close);

    auto* body = new QHBoxLayout;
    body->addWidget(tree_, 1);
    body->addLayout(buttons);

    auto* search = new QHBoxLayout;
    search->addWidget(filterLabel);
    search->addWidget(filter_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(kindText_);
    layout->addLayout(search);
    layout->addLayout(body, 1);

    setTabOrder(filter_, tree_);
    setTabOrder(tree_, deleteButton_);
    setTabOrder(deleteButton_, exportButton_);
    setTabOrder(exportButton_, javaButton_);
    setTabOrder(javaButton_, close);

    connect(tree_, &QTreeWidget::itemSelectionChanged, this, &QtUtilsDlg::reportSelection);
    // A channel's rows are made when it is first opened.
    connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        expandedItems_.insert(item);
        logic_.onItemExpanding(toHandle(item));
    });
    connect(tree_, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* item) { expandedItems_.erase(item); });
    resize(520, 360);
    for (QPushButton* b : {deleteButton_, exportButton_, javaButton_}) b->setEnabled(false);
}

QtUtilsDlg::~QtUtilsDlg() {
    qDeleteAll(pendingTop_);
    dropHiding();
}

void QtUtilsDlg::reportSelection() {
    std::vector<TreeItem> items;
    for (QTreeWidgetItem* item : tree_->selectedItems()) items.push_back(toHandle(item));
    logic_.onSelectionChanged(items);
}

QPushButton* QtUtilsDlg::addButton(const QString& text, const char* name,
                                   UtilsCommand command) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(text);
    button->setAutoDefault(false);
    button->setMinimumWidth(
        button->fontMetrics().horizontalAdvance(QStringLiteral("\"Java\" ключ...")) + 32);
    connect(button, &QPushButton::clicked, this, [this, command] { logic_.onCommand(command); });
    return button;
}

bool QtUtilsDlg::load() {
    if (!loaded_) {
        loaded_ = true;
        endedBeforeShown_ = -1;
        if (!logic_.open()) return false;
    }
    return endedBeforeShown_ < 0;
}

int QtUtilsDlg::exec() {
    if (!load()) return endedBeforeShown_ < 0 ? 0 : endedBeforeShown_;
    tree_->setFocus();
    return QDialog::exec();
}

bool QtUtilsDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tree_->viewport() && event->type() == QEvent::Resize)
        tree_->header()->setMinimumSectionSize(tree_->viewport()->width());
    if (watched == tree_ &&
        (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        rowSizes_->forget();
    // Escape in a search field that holds text clears it; an empty one lets
    // Escape close the dialog as everywhere else.
    if (watched == filter_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !filter_->text().isEmpty()) {
        filter_->clear();
        return true;
    }
    if (watched == filter_ && event->type() == QEvent::ShortcutOverride &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !filter_->text().isEmpty()) {
        event->accept();
        return true;
    }
    // Delete in the tree is the "Удалить" button: the same question first.
    if (watched == tree_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        logic_.onCommand(UtilsCommand::Delete);
        return true;
    }
    // The menu key and Shift+F10 open the current item's menu beside it.
    if (watched == tree_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Menu && key->modifiers() == Qt::NoModifier) ||
            (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            QTreeWidgetItem* current = tree_->currentItem();
            if (current && !current->isHidden()) {
                tree_->scrollToItem(current);
                const QRect rect = tree_->visualItemRect(current);
                if (rect.isValid()) showChannelMenu(rect.center());
            }
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void QtUtilsDlg::reject() {
    // Work in progress ends first: closed now, the dialog would be gone
    // under the step that waits for it.
    if (work_.closeRequested()) return;
    logic_.onCommand(UtilsCommand::Close);
}

void QtUtilsDlg::setKindText(const std::string& text) {
    kindText_->setText(QString::fromStdString(text));
}

void QtUtilsDlg::enableCommand(UtilsCommand command, bool enabled) {
    switch (command) {
        case UtilsCommand::Delete:
            deleteButton_->setEnabled(enabled);
            break;
        case UtilsCommand::Export:
            exportButton_->setEnabled(enabled);
            break;
        case UtilsCommand::Java:
            javaButton_->setEnabled(enabled);
            break;
        case UtilsCommand::Close:
            break;
    }
}

void QtUtilsDlg::setTreeRedraw(bool enabled) {
    if (!enabled) {
        redrawSuspended_ = true;
        tree_->setUpdatesEnabled(false);
        return;
    }
    redrawSuspended_ = false;
    if (!pendingTop_.isEmpty()) {
        tree_->addTopLevelItems(pendingTop_);
        pendingTop_.clear();
    }
    for (QTreeWidgetItem* item : pendingExpand_) item->setExpanded(true);
    pendingExpand_.clear();
    applyHiding();
    tree_->setUpdatesEnabled(true);
}

void QtUtilsDlg::deleteAllItems() {
    qDeleteAll(pendingTop_);
    pendingTop_.clear();
    pendingExpand_.clear();
    dropHiding();
    tree_->clear();
    rowSizes_->forget();
    expandedItems_.clear();
}

// The items taken out of the tree are owned here until they are put back.
void QtUtilsDlg::dropHiding() {
    for (QTreeWidgetItem* item : hidingOrder_) {
        if (!item->parent() && !item->treeWidget())
            delete item;
        else
            filterItem(item)->position = -1;
    }
    selectedHidden_.clear();
    currentHidden_ = nullptr;
    hidingOrder_.clear();
    hidingMarks_.clear();
    hidingParent_ = nullptr;
    hidingChanged_ = false;
}

void QtUtilsDlg::applyHiding() {
    if (!hidingChanged_ || !hidingParent_) return;
    hidingChanged_ = false;
    QTreeWidgetItem* parent = hidingParent_;
    if (parent->treeWidget() != tree_) return;
    // Nothing the user sees changes but the rows: the selection and the
    // current item stay, so the logic is not told of a change.
    const QSignalBlocker blockTree(tree_);
    QTreeWidgetItem* current = tree_->currentItem();
    if (!current) current = currentHidden_;
    QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    for (QTreeWidgetItem* item : selectedHidden_) selected.append(item);
    selectedHidden_.clear();
    currentHidden_ = nullptr;
    const bool parentExpanded = parent->isExpanded();
    const int scroll = tree_->verticalScrollBar()->value();

    // What each of the children gets back is marked beside its place, so the
    // one pass below finds the new row of each without searching the list (an
    // item looks its row up by scanning its parent's children).
    std::vector<QTreeWidgetItem*> others;  // the root, rows below channels
    auto mark = [this](QTreeWidgetItem* item, uint8_t bit, bool on) {
        const int at = filterItem(item)->position;
        if (at < 0) return false;
        if (on)
            hidingMarks_[static_cast<size_t>(at)] |= bit;
        else
            hidingMarks_[static_cast<size_t>(at)] &= static_cast<uint8_t>(~bit);
        return true;
    };
    for (QTreeWidgetItem* item : selected) {
        if (!mark(item, MarkSelected, true)) others.push_back(item);
    }
    for (QTreeWidgetItem* item : expandedItems_) mark(item, MarkExpanded, true);
    if (current) mark(current, MarkCurrent, true);

    // All the rows below the parent go and the shown ones come back in one
    // removal and one insertion; the tree keeps the parent, so nothing above
    // the channels is disturbed.
    parent->takeChildren();
    QList<QTreeWidgetItem*> shown;
    shown.reserve(hidingOrder_.size());
    std::vector<std::pair<int, uint8_t>> marked;  // new row, marks
    for (qsizetype i = 0; i < hidingOrder_.size(); ++i) {
        const uint8_t marks = hidingMarks_[static_cast<size_t>(i)];
        const bool show = (marks & MarkHidden) == 0;
        if (marks & (MarkSelected | MarkExpanded | MarkCurrent)) {
            if (show)
                marked.emplace_back(static_cast<int>(shown.size()), marks);
            else if (marks & MarkSelected)
                selectedHidden_.insert(hidingOrder_[i]);
            if (!show && (marks & MarkCurrent)) currentHidden_ = hidingOrder_[i];
        }
        if (show) shown.append(hidingOrder_[i]);
    }
    for (QTreeWidgetItem* item : selected) mark(item, MarkSelected, false);
    for (QTreeWidgetItem* item : expandedItems_) mark(item, MarkExpanded, false);
    if (current) mark(current, MarkCurrent, false);
    parent->addChildren(shown);
    parent->setExpanded(parentExpanded);

    QAbstractItemModel* model = tree_->model();
    const QModelIndex parentIndex = tree_->indexFromItem(parent);
    QItemSelection selection;
    QModelIndex currentIndex;
    auto select = [&selection](const QModelIndex& index) {
        // Neighbouring rows make one range: a large selection comes back in
        // a few ranges, not one per row.
        if (!selection.isEmpty()) {
            QItemSelectionRange& last = selection.last();
            if (last.parent() == index.parent() && last.bottom() + 1 == index.row()) {
                last = QItemSelectionRange(last.topLeft(), index);
                return;
            }
        }
        selection.append(QItemSelectionRange(index));
    };
    for (const auto& [row, marks] : marked) {
        const QModelIndex index = model->index(row, 0, parentIndex);
        if (marks & MarkExpanded) tree_->setExpanded(index, true);
        if (marks & MarkSelected) select(index);
        if (marks & MarkCurrent) currentIndex = index;
    }
    // Rows below opened channels come back opened and selected with them.
    for (QTreeWidgetItem* item : expandedItems_) {
        if (filterItem(item)->position < 0 && item->treeWidget() == tree_)
            item->setExpanded(true);
    }
    for (QTreeWidgetItem* item : others) {
        if (item->treeWidget() == tree_)
            select(tree_->indexFromItem(item));
        else
            selectedHidden_.insert(item);
    }
    if (current && filterItem(current)->position < 0) {
        if (current->treeWidget() == tree_)
            currentIndex = tree_->indexFromItem(current);
        else
            currentHidden_ = current;
    }
    if (!selection.isEmpty())
        tree_->selectionModel()->select(selection,
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    if (currentIndex.isValid())
        tree_->selectionModel()->setCurrentIndex(currentIndex, QItemSelectionModel::NoUpdate);
    tree_->verticalScrollBar()->setValue(scroll);
}

TreeItem QtUtilsDlg::insertItem(const std::string& text, int image, TreeItem parent) {
    auto* item = new FilterItem(QString::fromStdString(text));
    if (image >= 0 && static_cast<size_t>(image) < images_.size())
        item->setIcon(0, images_[static_cast<size_t>(image)]);
    else if (!images_.empty())
        item->setIcon(0, images_[0]);
    if (parent != NoTreeItem)
        toItem(parent)->addChild(item);
    else if (redrawSuspended_)
        pendingTop_.append(item);
    else
        tree_->addTopLevelItem(item);
    return toHandle(item);
}

void QtUtilsDlg::setChildrenOnDemand(TreeItem item) {
    if (item != NoTreeItem)
        toItem(item)->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
}

void QtUtilsDlg::setItemHidden(TreeItem handle, bool hidden) {
    if (handle == NoTreeItem) return;
    QTreeWidgetItem* item = toItem(handle);
    const int known = filterItem(item)->position;
    QTreeWidgetItem* parent = known >= 0 ? hidingParent_ : item->parent();
    // Only the children of one top-level item are taken out; anything else
    // is hidden as a row.
    if (!parent || parent->parent() || (hidingParent_ && parent != hidingParent_)) {
        item->setHidden(hidden);
        return;
    }
    if (!hidingParent_) {
        hidingParent_ = parent;
        hidingOrder_.clear();
        hidingOrder_.reserve(parent->childCount());
        for (int i = 0; i < parent->childCount(); ++i) {
            filterItem(parent->child(i))->position = i;
            hidingOrder_.append(parent->child(i));
        }
        hidingMarks_.assign(hidingOrder_.size(), 0);
    }
    uint8_t& marks = hidingMarks_[static_cast<size_t>(filterItem(item)->position)];
    if (((marks & MarkHidden) != 0) != hidden) {
        marks ^= MarkHidden;
        hidingChanged_ = true;
    }
    if (!redrawSuspended_) applyHiding();
}

void QtUtilsDlg::setItemToolTip(TreeItem item, const std::string& text) {
    if (item != NoTreeItem) toItem(item)->setToolTip(0, QString::fromStdString(text));
}

std::string QtUtilsDlg::itemText(TreeItem item) {
    if (item == NoTreeItem) return {};
    return toItem(item)->text(0).toStdString();
}

TreeItem QtUtilsDlg::itemParent(TreeItem item) {
    if (item == NoTreeItem) return NoTreeItem;
    return toHandle(toItem(item)->parent());
}

void QtUtilsDlg::expandItem(TreeItem item) {
    if (item == NoTreeItem) return;
    QTreeWidgetItem* it = toItem(item);
    // An item not yet in the tree cannot expand; it does once it is added.
    if (it->treeWidget())
        it->setExpanded(true);
    else
        pendingExpand_.push_back(it);
}

void QtUtilsDlg::attachImageList() {
    images_ = treeIcons();
}

bool QtUtilsDlg::showMessageBox(const MessageBoxRequest& request) {
    return showMessage(this, request);
}

bool QtUtilsDlg::runInBackground(const std::function<void()>& work,
                                 const std::function<void()>& cancel) {
    // The tree and the buttons take no input meanwhile.
    return work_.run(this, inputControls(this), work, cancel);
}

FileDialogRunner& QtUtilsDlg::fileDialogs() {
    return files_;
}

bool QtUtilsDlg::openWithDesktop(const std::string& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

void QtUtilsDlg::showChannelMenu(const QPoint& pos) {
    QTreeWidgetItem* item = tree_->itemAt(pos);
    if (!item) return;
    if (const std::string fingerprint = logic_.fingerprintOf(toHandle(item)); !fingerprint.empty()) {
        showKeyMenu(item, fingerprint, pos);
        return;
    }
    if (!logic_.isChannelItem(toHandle(item))) return;
    // A click on one of several selected channels acts on them all.
    if (!item->isSelected()) tree_->setCurrentItem(item);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("ChannelMenu"));
    // The same commands as the buttons, so each asks and reports as they do.
    const std::pair<QPushButton*, UtilsCommand> actions[] = {
        {deleteButton_, UtilsCommand::Delete},
        {exportButton_, UtilsCommand::Export},
        {javaButton_, UtilsCommand::Java}};
    for (const auto& [button, command] : actions) {
        QAction* action = menu.addAction(button->text());
        action->setEnabled(button->isEnabled());
        connect(action, &QAction::triggered, this,
                [this, command = command] { logic_.onCommand(command); });
        if (command == UtilsCommand::Delete) action->setShortcut(QKeySequence::Delete);
    }
    menu.exec(tree_->viewport()->mapToGlobal(pos));
}

// A tool tip cannot be selected: the fingerprint it names is copied from here
// to compare it with what the other side reads out or sends.
void QtUtilsDlg::showKeyMenu(QTreeWidgetItem* item, const std::string& fingerprint,
                             const QPoint& pos) {
    tree_->setCurrentItem(item);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("KeyMenu"));
    QAction* copy = menu.addAction(QStringLiteral("Копировать отпечаток"));
    const QString text = QString::fromStdString(fingerprint);
    connect(copy, &QAction::triggered, this, [text] { QGuiApplication::clipboard()->setText(text); });
    menu.exec(tree_->viewport()->mapToGlobal(pos));
}

void QtUtilsDlg::beginBusy() {
    waitCursor_.begin();
}

void QtUtilsDlg::endBusy() {
    waitCursor_.end();
}

void QtUtilsDlg::endDialog(int code) {
    if (isVisible())
        done(code);
    else
        endedBeforeShown_ = code;
}

}  // namespace Talvek
