#pragma once
// Message boxes as the program shows them: failures titled "Ошибка" with the
// error icon, successes and refusals "Информация", questions "Вопрос" with
// the buttons "Да" and "Нет". Texts are UTF-8.

#include <string>

class QWidget;

namespace Talvek {

enum class MessageIcon { Information, Question, Error };

// One OK button.
void showError(QWidget* parent, const std::string& text);
void showInformation(QWidget* parent, const std::string& text);
// True for "Да".
bool askQuestion(QWidget* parent, const std::string& text);
// The general form: "Да"/"Нет" when yesNo, else one "OK"; true for "Да" (or OK).
bool showMessage(QWidget* parent, const std::string& text, const std::string& title,
                 MessageIcon icon, bool yesNo);

// The wait cursor for the life of the object.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace Talvek
