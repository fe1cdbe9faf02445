#pragma once
// What every dialog's logic asks of its window: message boxes, file dialogs
// and the wait cursor. The key wizard, the connection wizard and the
// maintenance dialog extend this view, so a message, its title and its icon
// are worded the same way everywhere, and tests answer all of them through
// one scripted implementation. Texts are UTF-8.

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

class DialogView {
public:
    virtual ~DialogView() = default;

    // A modal message box titled after its icon: "Да" and "Нет" when yesNo,
    // else one "OK". True for "Да" (or OK).
    virtual bool messageBox(const std::string& text, MessageIcon icon, bool yesNo) = 0;
    // The file dialogs of the dialog; use with selectFile so the chosen
    // directory is remembered.
    virtual FileDialogRunner& fileDialogs() = 0;
    // The wait cursor, until the matching end; calls nest.
    virtual void beginBusy() = 0;
    virtual void endBusy() = 0;

    void showError(const std::string& text) { messageBox(text, MessageIcon::Error, false); }
    void showInformation(const std::string& text) {
        messageBox(text, MessageIcon::Information, false);
    }
    // True for "Да".
    bool askQuestion(const std::string& text) {
        return messageBox(text, MessageIcon::Question, true);
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
