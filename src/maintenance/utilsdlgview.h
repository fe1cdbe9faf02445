#pragma once
// What the key maintenance dialog needs from the window system. The logic in
// UtilsDlg talks only to this, so every message and state change can be
// exercised without a window; the Qt dialog implements it and does nothing else.

#include <cstdint>
#include <string>

#include "gui/dialogview.h"
#include "gui/treeimage.h"

namespace Talvek {

// What the user asks of the dialog: its buttons and menu items, Delete in
// the tree, and Close for "Выход", Escape and the close box.
enum class UtilsCommand { Delete, Export, Java, Close };

// An opaque handle of a tree item: the view hands it out, the logic only
// keeps and compares it. NoTreeItem stands for "none" (and, as a parent, for
// the tree's top level).
enum class TreeItem : std::uintptr_t {};
inline constexpr TreeItem NoTreeItem{};

class UtilsDlgView : public DialogView {
public:
    virtual ~UtilsDlgView() = default;

    // All texts are UTF-8.
    virtual void setKindText(const std::string& text) = 0;
    // Whether the command can be given now (Close always can).
    virtual void enableCommand(UtilsCommand command, bool enabled) = 0;

    // Tree. While redrawing is suspended the view may defer showing the new
    // items, but handles, texts and parents work at once.
    virtual void setTreeRedraw(bool enabled) = 0;
    virtual void deleteAllItems() = 0;
    // Appends an item at the end of parent's children (top level for
    // NoTreeItem) with a TreeImage; the same image is used when it is selected.
    virtual TreeItem insertItem(const std::string& text, int image, TreeItem parent) = 0;
    // The item can be expanded before it has children: they are inserted
    // when it is first expanded (UtilsDlg::onItemExpanding), so a base of
    // many channels builds one item per channel, not a dozen.
    virtual void setChildrenOnDemand(TreeItem item) = 0;
    // A hidden item and all below it are not shown (and not reached by the
    // keyboard) until shown again; only items already in the tree. While
    // redrawing is suspended the view may apply the changes when it resumes.
    virtual void setItemHidden(TreeItem item, bool hidden) = 0;
    // The text shown while the pointer rests on the item.
    virtual void setItemToolTip(TreeItem item, const std::string& text) = 0;
    virtual std::string itemText(TreeItem item) = 0;
    virtual TreeItem itemParent(TreeItem item) = 0;
    virtual void expandItem(TreeItem item) = 0;
    // Cuts the image strip into the tree's images.
    virtual void attachImageList() = 0;

    // The file opened with the program the desktop associates with it; false
    // when no program could be started for it.
    virtual bool openWithDesktop(const std::string& path) = 0;
    virtual void endDialog(int code) = 0;
};

}  // namespace Talvek
