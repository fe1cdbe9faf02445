#include "app/messagebox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

namespace Talvek {

bool showMessage(QWidget* parent, const std::string& text, const std::string& title,
                 MessageIcon icon, bool yesNo) {
    QMessageBox box(parent ? parent : QApplication::activeWindow());
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(text));
    box.setIcon(icon == MessageIcon::Error      ? QMessageBox::Critical
                : icon == MessageIcon::Question ? QMessageBox::Question
                                                : QMessageBox::Information);
    QAbstractButton* yes = nullptr;
    if (yesNo) {
        yes = box.addButton(QStringLiteral("Да"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(QStringLiteral("Нет"), QMessageBox::NoRole);
        box.setDefaultButton(qobject_cast<QPushButton*>(yes));
        box.setEscapeButton(no);
    } else {
        yes = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        box.setEscapeButton(yes);
    }
    box.exec();
    return box.clickedButton() == yes;
}

void showError(QWidget* parent, const std::string& text) {
    showMessage(parent, text, "Ошибка", MessageIcon::Error, false);
}

void showInformation(QWidget* parent, const std::string& text) {
    showMessage(parent, text, "Информация", MessageIcon::Information, false);
}

bool askQuestion(QWidget* parent, const std::string& text) {
    return showMessage(parent, text, "Вопрос", MessageIcon::Question, true);
}

WaitCursor::WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
WaitCursor::~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }

} // namespace Talvek
