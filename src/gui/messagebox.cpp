#include "gui/messagebox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

namespace Talvek {

namespace {

// QMessageBox wraps at about 500 pixels, which breaks a one-line question in
// the middle of a channel's name; the box is widened to its longest line (up
// to a limit) so the lines stay as the text breaks them.
void keepLinesWhole(QMessageBox& box) {
    const QFontMetrics metrics(box.font());
    int widest = 0;
    for (const QString& text : {box.text(), box.informativeText()}) {
        for (const QString& line : text.split(QLatin1Char('\n')))
            widest = qMax(widest, metrics.horizontalAdvance(line));
    }
    constexpr int kIconColumn = 64;
    constexpr int kLimit = 700;
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid || widest <= 0) return;
    grid->addItem(new QSpacerItem(qMin(widest, kLimit) + kIconColumn, 0, QSizePolicy::Minimum,
                                  QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace

bool showMessage(QWidget* parent, const std::string& text, MessageIcon icon, bool yesNo) {
    return showMessage(parent, MessageBoxRequest{text, icon, yesNo, {}, DefaultAnswer::Yes});
}

bool showMessage(QWidget* parent, const MessageBoxRequest& request) {
    QMessageBox box(parent ? parent : QApplication::activeWindow());
    QAbstractButton* yes = prepareMessageBox(box, request);
    box.exec();
    return box.clickedButton() == yes;
}

QAbstractButton* prepareMessageBox(QMessageBox& box, const MessageBoxRequest& request) {
    const std::string& text = request.text;
    const MessageIcon icon = request.icon;
    const bool yesNo = request.yesNo;
    box.setWindowTitle(QString::fromUtf8(dialogTitle(icon)));
    // Texts carry key names and paths from peers' files: shown as written,
    // never as markup (a name holding "<img src=...>" must not load a file).
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    // The file and the cause, under the message as it is described.
    if (!request.informative.empty()) {
        box.setInformativeText(QString::fromStdString(request.informative));
        // A path is shown as written, never as markup, like the message.
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextFormat(Qt::PlainText);
    }
    box.setIcon(icon == MessageIcon::Error      ? QMessageBox::Critical
                : icon == MessageIcon::Question ? QMessageBox::Question
                                                : QMessageBox::Information);
    QAbstractButton* yes = nullptr;
    if (yesNo) {
        yes = box.addButton(QStringLiteral("Да"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(QStringLiteral("Нет"), QMessageBox::NoRole);
        box.setDefaultButton(request.defaultAnswer == DefaultAnswer::No
                                 ? no
                                 : qobject_cast<QPushButton*>(yes));
        box.setEscapeButton(no);
    } else {
        yes = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        box.setEscapeButton(yes);
    }
    keepLinesWhole(box);
    return yes;
}

void showError(QWidget* parent, const std::string& text) {
    showMessage(parent, text, MessageIcon::Error, false);
}

void showInformation(QWidget* parent, const std::string& text) {
    showMessage(parent, text, MessageIcon::Information, false);
}

bool askQuestion(QWidget* parent, const std::string& text) {
    return showMessage(parent, text, MessageIcon::Question, true);
}

WaitCursorDepth::~WaitCursorDepth() {
    if (depth_ > 0) QGuiApplication::restoreOverrideCursor();
}

void WaitCursorDepth::begin() {
    if (depth_++ == 0) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

void WaitCursorDepth::end() {
    if (depth_ > 0 && --depth_ == 0) QGuiApplication::restoreOverrideCursor();
}

}  // namespace Talvek
