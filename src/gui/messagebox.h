#pragma once
// Message boxes and the wait cursor as every window of the program shows
// them: titles and icons as in DialogView, the buttons "Да" and "Нет" for a
// question, else "OK". Texts are UTF-8.

#include <string>

#include "gui/dialogview.h"

class QAbstractButton;
class QMessageBox;
class QWidget;

namespace Talvek {

// One OK button.
void showError(QWidget* parent, const std::string& text);
void showInformation(QWidget* parent, const std::string& text);
// True for "Да".
bool askQuestion(QWidget* parent, const std::string& text);
// The general form behind DialogView::messageBox: titled after the icon,
// "Да"/"Нет" when yesNo, else one "OK"; true for "Да" (or OK).
bool showMessage(QWidget* parent, const std::string& text, MessageIcon icon, bool yesNo);
// The same with an informative text under the message and, for a question,
// the button Enter presses.
bool showMessage(QWidget* parent, const MessageBoxRequest& request);
// Fills a box as showMessage shows it, without running it (pictures of it);
// the button that means "Да" (or OK).
QAbstractButton* prepareMessageBox(QMessageBox& box, const MessageBoxRequest& request);

// The application's wait cursor for a window's nested begin/end pairs: on
// from the first begin until the matching last end. Whatever the window left
// open is ended when it goes away.
class WaitCursorDepth {
public:
    WaitCursorDepth() = default;
    ~WaitCursorDepth();
    WaitCursorDepth(const WaitCursorDepth&) = delete;
    WaitCursorDepth& operator=(const WaitCursorDepth&) = delete;

    void begin();
    // An end without a begin is ignored.
    void end();

private:
    int depth_ = 0;
};

}  // namespace Talvek
