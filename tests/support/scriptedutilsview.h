#pragma once
// A maintenance view that records the tree the logic builds; messages,
// questions, file dialogs and the wait cursor are ScriptedDialogView's.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "maintenance/utilsdlgview.h"
#include "support/scripteddialogview.h"

namespace TestSupport {

class ScriptedUtilsView : public ScriptedDialogView<Talvek::UtilsDlgView> {
public:
    struct Item {
        std::string text;
        int image = 0;
        Talvek::TreeItem parent = Talvek::NoTreeItem;
        bool expanded = false;
        std::vector<Talvek::TreeItem> children;
        std::string toolTip;
        bool hidden = false;
        bool onDemand = false;  // expandable before it has children
    };

    void setKindText(const std::string& text) override { kindText = text; }
    void enableCommand(Talvek::UtilsCommand command, bool enabled) override {
        buttons[command] = enabled;
    }
    void setTreeRedraw(bool enabled) override {
        redrawCalls.push_back(enabled);
        redrawOn = enabled;
    }
    void deleteAllItems() override {
        items.clear();
        top.clear();
        ++generation;
    }
    Talvek::TreeItem insertItem(const std::string& text, int image,
                                Talvek::TreeItem parent) override {
        if (redrawOn) ++insertsWhileDrawing;
        // Handles stay unique across rebuilds, as real ones would.
        const auto handle = static_cast<Talvek::TreeItem>(nextHandle++);
        items[handle] = Item{text, image, parent, false, {}, {}, false};
        if (parent == Talvek::NoTreeItem)
            top.push_back(handle);
        else
            items.at(parent).children.push_back(handle);
        return handle;
    }
    void setChildrenOnDemand(Talvek::TreeItem item) override { items.at(item).onDemand = true; }
    void setItemHidden(Talvek::TreeItem item, bool isHidden) override {
        items.at(item).hidden = isHidden;
    }
    void setItemToolTip(Talvek::TreeItem item, const std::string& text) override {
        items.at(item).toolTip = text;
    }
    std::string itemText(Talvek::TreeItem item) override { return items.at(item).text; }
    Talvek::TreeItem itemParent(Talvek::TreeItem item) override { return items.at(item).parent; }
    void expandItem(Talvek::TreeItem item) override { items.at(item).expanded = true; }
    void attachImageList() override { ++imageListBuilt; }
    bool openWithDesktop(const std::string& path) override {
        opened.push_back(path);
        return desktopOpens;
    }
    void endDialog(int code) override { endCodes.push_back(code); }

    // The item reached from the top by child indices, e.g. path({0, 1, 2}).
    Talvek::TreeItem at(std::initializer_list<size_t> indices) const {
        auto it = indices.begin();
        Talvek::TreeItem item = top.at(*it++);
        for (; it != indices.end(); ++it) item = items.at(item).children.at(*it);
        return item;
    }
    const Item& item(Talvek::TreeItem handle) const { return items.at(handle); }
    std::vector<std::string> childTexts(Talvek::TreeItem handle) const {
        std::vector<std::string> out;
        for (auto child : items.at(handle).children) out.push_back(items.at(child).text);
        return out;
    }
    // The texts of parent's children that are shown.
    std::vector<std::string> shownChildTexts(Talvek::TreeItem handle) const {
        std::vector<std::string> out;
        for (auto child : items.at(handle).children) {
            if (!items.at(child).hidden) out.push_back(items.at(child).text);
        }
        return out;
    }
    bool enabled(Talvek::UtilsCommand command) const {
        auto it = buttons.find(command);
        return it != buttons.end() && it->second;
    }
    bool anyActionEnabled() const {
        return enabled(Talvek::UtilsCommand::Delete) || enabled(Talvek::UtilsCommand::Export) ||
               enabled(Talvek::UtilsCommand::Java);
    }

    std::string kindText;
    std::map<Talvek::UtilsCommand, bool> buttons;
    std::map<Talvek::TreeItem, Item> items;
    std::vector<Talvek::TreeItem> top;
    std::vector<std::string> opened;
    bool desktopOpens = true;
    std::vector<int> endCodes;
    std::vector<bool> redrawCalls;
    int imageListBuilt = 0;
    int generation = 0;
    int insertsWhileDrawing = 0;
    bool redrawOn = true;
    std::uintptr_t nextHandle = 1;
};

}  // namespace TestSupport
