#include <gtest/gtest.h>

#include <QMessageBox>

#include <functional>
#include <string>

#include "gui/messagebox.h"
#include "support/modalscript.h"

using namespace Talvek;

namespace {

using TestSupport::SeenBox;

// Shows the box through `show`, records it, and presses the button `press`.
SeenBox watchBox(const QString& press, const std::function<void()>& show) {
    TestSupport::ModalScript script(10000);
    script.answer(press);
    show();
    EXPECT_TRUE(script.finished());
    return script.seen.empty() ? SeenBox() : script.seen.back();
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

// What went wrong goes under the described text, which stays as it is; a
// path is shown as written. Enter answers a destructive question "Нет".
TEST(MessageBox, InformativeTextAndTheDefaultAnswer) {
    const std::string detail = "Файл: /tmp/<b>x</b>.key_base\nПричина: файл занят другой программой.";
    SeenBox error = watchBox("OK", [&] {
        showMessage(nullptr, MessageBoxRequest{"Ошибка открытия базы ключей!", MessageIcon::Error,
                                               false, detail, DefaultAnswer::Yes});
    });
    EXPECT_EQ(error.text, "Ошибка открытия базы ключей!");
    EXPECT_EQ(error.informative, QString::fromStdString(detail));
    EXPECT_EQ(error.informativeFormat, Qt::PlainText);

    SeenBox plain = watchBox("OK", [] { showError(nullptr, "Ошибка удаления канала!"); });
    EXPECT_TRUE(plain.informative.isEmpty());

    for (const DefaultAnswer answer : {DefaultAnswer::Yes, DefaultAnswer::No}) {
        TestSupport::ModalScript script(10000);
        script.pressKey(Qt::Key_Return);
        const bool yes = showMessage(
            nullptr, MessageBoxRequest{"Удалить?", MessageIcon::Question, true, {}, answer});
        ASSERT_EQ(script.seen.size(), 1u);
        EXPECT_EQ(script.seen[0].defaultButton, answer == DefaultAnswer::No ? "Нет" : "Да");
        EXPECT_EQ(yes, answer == DefaultAnswer::Yes);
    }
}
