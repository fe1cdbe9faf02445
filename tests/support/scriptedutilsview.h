#pragma once
// A maintenance view and a file dialog that record what the logic asks of
// them and answer from a script, so that every message and state change can be
// checked without a window.

#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gui/fileutils.h"
#include "maintenance/utilsdlgview.h"

namespace TestSupport {

struct ShownMessage {
    std::string text;
    std::string title;
    Talvek::UtilsMessageIcon icon;
    bool yesNo;
};

class ScriptedUtilsView : public Talvek::UtilsDlgView {
public:
    struct Item {
        std::string text;
        int image = 0;
        Talvek::TreeItem parent = Talvek::NoTreeItem;
        bool expanded = false;
        std::vector<Talvek::TreeItem> children;
        std::string toolTip;
    };

    void setKindText(const std::string& text) override { kindText = text; }
    void enableButton(int id, bool enabled) override { buttons[id] = enabled; }
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
        const Talvek::TreeItem handle = nextHandle++;
        items[handle] = Item{text, image, parent, false, {}, {}};
        if (parent == Talvek::NoTreeItem)
            top.push_back(handle);
        else
            items.at(parent).children.push_back(handle);
        return handle;
    }
    void setItemToolTip(Talvek::TreeItem item, const std::string& text) override {
        items.at(item).toolTip = text;
    }
    std::string itemText(Talvek::TreeItem item) override { return items.at(item).text; }
    Talvek::TreeItem itemParent(Talvek::TreeItem item) override { return items.at(item).parent; }
    void expandItem(Talvek::TreeItem item) override { items.at(item).expanded = true; }
    void attachImageList() override { ++imageListBuilt; }
    bool messageBox(const std::string& text, const std::string& title,
                    Talvek::UtilsMessageIcon icon, bool yesNo) override {
        messages.push_back({text, title, icon, yesNo});
        if (!yesNo) return true;
        if (answers.empty()) throw std::logic_error("unscripted question: " + text);
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    bool openWithDesktop(const std::string& path) override {
        opened.push_back(path);
        return desktopOpens;
    }
    void setBusy(bool busy) override {
        busyCalls.push_back(busy);
        busyDepth += busy ? 1 : -1;
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
    bool enabled(int id) const {
        auto it = buttons.find(id);
        return it != buttons.end() && it->second;
    }
    bool anyActionEnabled() const {
        return enabled(Talvek::IdUtilsDelete) || enabled(Talvek::IdUtilsExport) ||
               enabled(Talvek::IdUtilsJava);
    }

    std::string kindText;
    std::map<int, bool> buttons;
    std::map<Talvek::TreeItem, Item> items;
    std::vector<Talvek::TreeItem> top;
    std::vector<ShownMessage> messages;
    std::deque<bool> answers;
    std::vector<std::string> opened;
    bool desktopOpens = true;
    std::vector<int> endCodes;
    std::vector<bool> busyCalls;
    std::vector<bool> redrawCalls;
    int busyDepth = 0;
    int imageListBuilt = 0;
    int generation = 0;
    int insertsWhileDrawing = 0;
    bool redrawOn = true;
    Talvek::TreeItem nextHandle = 1;
};

// Answers each file dialog with the next scripted path; nullopt cancels.
class ScriptedFileDialogs : public Talvek::FileDialogRunner {
public:
    bool run(const Talvek::FileDialogRequest& request, std::string& chosen) override {
        requests.push_back(request);
        if (answers.empty()) throw std::logic_error("unscripted file dialog");
        auto answer = answers.front();
        answers.pop_front();
        if (!answer) return false;
        chosen = *answer;
        return true;
    }
    std::deque<std::optional<std::string>> answers;
    std::vector<Talvek::FileDialogRequest> requests;
};

}  // namespace TestSupport
