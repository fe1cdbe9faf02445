#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <string>

#include "gui/messagebox.h"

using namespace Talvek;

namespace {

// What the shown box held, read while it is open.
struct SeenBox {
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    int textHeight = 0;
    int lineHeight = 0;
};

// Shows the box through `show`, records it, and presses the button `press`.
SeenBox watchBox(const QString& press, const std::function<void()>& show) {
    SeenBox seen;
    bool answered = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || answered) return;
        answered = true;
        seen.title = box->windowTitle();
        seen.icon = box->icon();
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        if (label) {
            seen.text = label->text();
            seen.format = label->textFormat();
            seen.textHeight = label->height();
            seen.lineHeight = label->fontMetrics().lineSpacing();
        }
        QAbstractButton* target = nullptr;
        for (QAbstractButton* b : box->buttons()) {
            seen.buttons << b->text();
            if (b->text() == press) target = b;
        }
        if (target)
            target->click();
        else
            box->close();
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    poll.start(20);
    watchdog.start(10000);
    show();
    EXPECT_TRUE(answered);
    return seen;
}

}  // namespace

TEST(MessageBox, TitlesIconsAndButtonsOfEachKind) {
    SeenBox error = watchBox("OK", [] { showError(nullptr, "Ошибка удаления канала!"); });
    EXPECT_EQ(error.title, "Ошибка");
    EXPECT_EQ(error.icon, QMessageBox::Critical);
    EXPECT_EQ(error.buttons, QStringList{"OK"});

    SeenBox info = watchBox("OK", [] { showInformation(nullptr, "Канал успешно удален!"); });
    EXPECT_EQ(info.title, "Информация");
    EXPECT_EQ(info.icon, QMessageBox::Information);
    EXPECT_EQ(info.buttons, QStringList{"OK"});

    bool yes = false;
    SeenBox question = watchBox("Да", [&] { yes = askQuestion(nullptr, "Продолжить?"); });
    EXPECT_EQ(question.title, "Вопрос");
    EXPECT_EQ(question.icon, QMessageBox::Question);
    EXPECT_EQ(question.buttons, (QStringList{"Да", "Нет"}));
    EXPECT_TRUE(yes);
    watchBox("Нет", [&] { yes = askQuestion(nullptr, "Продолжить?"); });
    EXPECT_FALSE(yes);
}

TEST(MessageBox, AOneLineQuestionIsNotBrokenInsideTheChannelName) {
    const std::string text =
        "Вы уверены, что хотите удалить секретный канал \"Иванов Иван Петрович : Центр\"?";
    SeenBox seen = watchBox("Нет", [&] { askQuestion(nullptr, text); });
    ASSERT_GT(seen.lineHeight, 0);
    EXPECT_LT(seen.textHeight, 2 * seen.lineHeight);
}

// A peer chooses its key names; markup in one is shown as the characters it is.
TEST(MessageBox, MarkupInATextIsShownAsWritten) {
    const std::string name = "<h1>BIG</h1> : <img src=\"/tmp/x.png\">";
    const std::string text = "Вы уверены, что хотите удалить секретный канал \"" + name + "\"?";
    for (const bool question : {true, false}) {
        SeenBox seen = watchBox(question ? "Нет" : "OK", [&] {
            if (question)
                askQuestion(nullptr, text);
            else
                showError(nullptr, text);
        });
        EXPECT_EQ(seen.format, Qt::PlainText);
        EXPECT_EQ(seen.text, QString::fromStdString(text));
        EXPECT_EQ(seen.buttons.size(), question ? 2 : 1);
        ASSERT_GT(seen.lineHeight, 0);
        EXPECT_LT(seen.textHeight, 2 * seen.lineHeight);
    }
}
