#pragma once
// A WizardView without windows, for the wizard controllers' tests: it keeps
// every control's text and state; messages, questions, file dialogs and the
// wait cursor are ScriptedDialogView's.
// A wizard run is walked with WizardWalk, which delivers the page events in
// the order the real wizard does.

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gui/wizardview.h"
#include "support/scripteddialogview.h"

namespace TestSupport {

class ScriptedWizardView : public ScriptedDialogView<Talvek::WizardView> {
public:
    struct Control {
        std::string text;
        bool visible = true;
        bool enabled = true;
        bool checked = false;
        std::vector<std::string> entries;
        int selection = -1;
    };
    Control& at(int page, int id) { return controls[{page, id}]; }

    void setText(int page, int id, const std::string& text) override { at(page, id).text = text; }
    std::string text(int page, int id) override { return at(page, id).text; }
    void setVisible(int page, int id, bool visible) override { at(page, id).visible = visible; }
    void setEnabled(int page, int id, bool enabled) override { at(page, id).enabled = enabled; }
    void setChecked(int page, int id, bool checked) override { at(page, id).checked = checked; }
    bool isChecked(int page, int id) override { return at(page, id).checked; }
    void listAdd(int page, int id, const std::string& entry) override {
        at(page, id).entries.push_back(entry);
    }
    void listRemove(int page, int id, int index) override {
        Control& c = at(page, id);
        if (index < 0 || index >= static_cast<int>(c.entries.size())) return;
        c.entries.erase(c.entries.begin() + index);
        if (c.selection >= static_cast<int>(c.entries.size())) c.selection = -1;
    }
    int listCount(int page, int id) override {
        return static_cast<int>(at(page, id).entries.size());
    }
    void listSelect(int page, int id, int index) override {
        Control& c = at(page, id);
        if (index < 0 || index >= static_cast<int>(c.entries.size())) {
            throw std::out_of_range("listSelect outside the list");
        }
        c.selection = index;
    }
    int listSelection(int page, int id) override { return at(page, id).selection; }
    std::string listEntryText(int page, int id, int index) override {
        Control& c = at(page, id);
        if (index < 0 || index >= static_cast<int>(c.entries.size())) return {};
        return c.entries[index];
    }
    void setButtons(unsigned value) override { buttons = value; }

    std::map<std::pair<int, int>, Control> controls;
    unsigned buttons = 0;
};

// Walks a controller through its pages as the real wizard delivers the events.
class WizardWalk {
public:
    WizardWalk(Talvek::WizardEvents& events, int pageCount)
        : events_(events), created_(pageCount, false) {}

    // Opens the wizard on its first page.
    void open() { enter(0); }
    int current() const { return current_; }

    // Next: true when the controller let the wizard advance.
    bool next() {
        if (!events_.nextPressed(current_)) return false;
        events_.pageLeft(current_);
        enter(current_ + 1);
        return true;
    }
    void back() {
        events_.pageLeft(current_);
        current_ -= 1;
        events_.pageShown(current_);
    }
    // Finish: true when the wizard closes.
    bool finish() {
        if (!events_.finishPressed(current_)) return false;
        events_.pageLeft(current_);
        return true;
    }
    void click(int id) { events_.clicked(current_, id); }

private:
    void enter(int page) {
        current_ = page;
        if (!created_[page]) {
            created_[page] = true;
            events_.pageCreated(page);
        }
        events_.pageShown(page);
    }

    Talvek::WizardEvents& events_;
    std::vector<bool> created_;
    int current_ = -1;
};

}  // namespace TestSupport
