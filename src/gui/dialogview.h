#pragma once
// What every dialog's logic asks of its window: message boxes, file dialogs
// and the wait cursor. The key wizard, the connection wizard and the
// maintenance dialog extend this view, so a message, its title and its icon
// are worded the same way everywhere, and tests answer all of them through
// one scripted implementation. Texts are UTF-8.

#include <functional>
#include <string>

#include "gui/fileutils.h"

namespace Talvek {

enum class MessageIcon { Information, Question, Error };

// The title that goes with each icon: failures "Ошибка", successes and
// refusals "Информация", confirmations "Вопрос".
namespace DialogTitles {
inline constexpr const char* Information = "Информация";
inline constexpr const char* Question = "Вопрос";
inline constexpr const char* Error = "Ошибка";
}  // namespace DialogTitles

inline const char* dialogTitle(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Question:
            return DialogTitles::Question;
        case MessageIcon::Error:
            return DialogTitles::Error;
        case MessageIcon::Information:
            break;
    }
    return DialogTitles::Information;
}

// Which button of a question Enter presses.
enum class DefaultAnswer { Yes, No };

struct MessageBoxRequest {
    std::string text;  // the message itself, exactly as worded
    MessageIcon icon = MessageIcon::Information;
    bool yesNo = false;
    // Under the message, smaller: which file failed and why. Empty: none.
    std::string informative;
    DefaultAnswer defaultAnswer = DefaultAnswer::Yes;
};

class DialogView {
public:
    virtual ~DialogView() = default;

    // A modal message box titled after its icon: "Да" and "Нет" when yesNo,
    // else one "OK". True for "Да" (or OK).
    virtual bool showMessageBox(const MessageBoxRequest& request) = 0;
    // The file dialogs of the dialog; use with selectFile so the chosen
    // directory is remembered.
    virtual FileDialogRunner& fileDialogs() = 0;
    // The wait cursor, until the matching end; calls nest.
    virtual void beginBusy() = 0;
    virtual void endBusy() = 0;

    // Runs work away from the window's thread and returns once it has ended,
    // rethrowing what it threw; work touches no view and nothing the window
    // may touch meanwhile. Until then the window repaints but takes no input
    // beyond "Отмена"; a wait for a file another program holds is shown.
    // What work finds out it leaves in what it captured. Given cancel,
    // "Отмена" (also Escape and the close box) stays live: it calls cancel
    // once, which must make work end soon, and the window closes when work
    // has ended. False when so cancelled.
    virtual bool runInBackground(const std::function<void()>& work,
                                 const std::function<void()>& cancel = {}) = 0;

    bool messageBox(const std::string& text, MessageIcon icon, bool yesNo) {
        return showMessageBox({text, icon, yesNo, {}, DefaultAnswer::Yes});
    }
    void showError(const std::string& text) { messageBox(text, MessageIcon::Error, false); }
    // An error with what went wrong under it (the file and the cause).
    void showError(const std::string& text, std::string informative) {
        showMessageBox({text, MessageIcon::Error, false, std::move(informative), DefaultAnswer::Yes});
    }
    void showInformation(const std::string& text) {
        messageBox(text, MessageIcon::Information, false);
    }
    // True for "Да".
    bool askQuestion(const std::string& text) {
        return messageBox(text, MessageIcon::Question, true);
    }
    // A question whose "Да" destroys something: Enter answers "Нет".
    bool askDestructiveQuestion(const std::string& text) {
        return showMessageBox({text, MessageIcon::Question, true, {}, DefaultAnswer::No});
    }
};

// The wait cursor for the life of the object.
class BusyCursor {
public:
    explicit BusyCursor(DialogView& view) : view_(view) { view_.beginBusy(); }
    ~BusyCursor() { view_.endBusy(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    DialogView& view_;
};

}  // namespace Talvek
