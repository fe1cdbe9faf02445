#pragma once
// The dialog side of every scripted view: message boxes, file dialogs and the
// wait cursor as DialogView asks for them, recorded and answered from a
// script, so the logic of each dialog is checked without a window. A question
// or file dialog that the test did not script fails the test (and is answered
// "Нет" or cancelled) instead of being answered by chance.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gui/dialogview.h"
#include "gui/fileutils.h"

namespace TestSupport {

// Answers file dialogs in order: a path confirms it, nullopt (or an empty
// path) cancels.
class ScriptedFileDialogs : public Talvek::FileDialogRunner {
public:
    bool run(const Talvek::FileDialogRequest& request, std::string& chosen) override {
        requests.push_back(request);
        if (answers.empty()) {
            ADD_FAILURE() << "unscripted file dialog: " << request.title;
            return false;
        }
        const std::optional<std::string> answer = answers.front();
        answers.pop_front();
        if (!answer || answer->empty()) return false;
        chosen = *answer;
        return true;
    }
    std::deque<std::optional<std::string>> answers;
    std::vector<Talvek::FileDialogRequest> requests;
};

struct ShownMessage {
    Talvek::MessageIcon icon;
    std::string title;
    std::string text;
    bool yesNo;
    int busyDepth;            // wait cursors open while it was shown
    std::string informative;  // under the text: the file and the cause
    Talvek::DefaultAnswer defaultAnswer = Talvek::DefaultAnswer::Yes;
};

// View is the dialog's view interface (a DialogView); the dialog's own
// controls are scripted by the class that derives from this one.
template <typename View>
class ScriptedDialogView : public View {
public:
    bool showMessageBox(const Talvek::MessageBoxRequest& request) override {
        messages.push_back({request.icon, Talvek::dialogTitle(request.icon), request.text,
                            request.yesNo, busyDepth, request.informative,
                            request.defaultAnswer});
        if (!request.yesNo) return true;
        if (answers.empty()) {
            ADD_FAILURE() << "unscripted question: " << request.text;
            return false;
        }
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    Talvek::FileDialogRunner& fileDialogs() override { return files; }
    // Runs the work at once, on this thread. With cancelNextRun set, a run
    // that can be cancelled is, before its work starts, as a user who presses
    // "Отмена" at once.
    bool runInBackground(const std::function<void()>& work,
                         const std::function<void()>& cancel) override {
        backgroundRuns.push_back({busyDepth, static_cast<bool>(cancel)});
        const bool cancelled = cancelNextRun && cancel;
        if (cancelled) {
            cancelNextRun = false;
            cancel();
        }
        work();
        return !cancelled;
    }
    void beginBusy() override {
        busyCalls.push_back(true);
        ++busyDepth;
        ++busyBegun;
    }
    void endBusy() override {
        if (busyDepth <= 0) throw std::logic_error("wait cursor ended without a beginning");
        busyCalls.push_back(false);
        --busyDepth;
    }

    // The errors shown so far, oldest first.
    std::vector<std::string> errors() const {
        std::vector<std::string> out;
        for (const ShownMessage& m : messages)
            if (m.icon == Talvek::MessageIcon::Error) out.push_back(m.text);
        return out;
    }

    std::vector<ShownMessage> messages;
    std::deque<bool> answers;  // "Да" (true) or "Нет" for each question
    ScriptedFileDialogs files;
    std::vector<bool> busyCalls;  // each begin (true) and end (false)
    int busyDepth = 0;
    int busyBegun = 0;
    struct BackgroundRun {
        int waitDepth;     // wait cursors open while it ran
        bool cancellable;  // it offered "Отмена"
    };
    std::vector<BackgroundRun> backgroundRuns;
    bool cancelNextRun = false;
};

}  // namespace TestSupport
