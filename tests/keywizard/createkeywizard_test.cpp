// The real QWizard, offscreen: the controller's events arrive in the right
// order, the buttons follow the pages, message boxes block and return, and a
// whole user run writes its files. Set TALVEK_SCREENSHOT_DIR to also get a PNG
// of every page (the rendering test walks all five pages in modes 0 and 2).

#include "keywizard/createkeywizard.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QProgressBar>
#include <QTimer>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <chrono>
#include <filesystem>
#include <functional>

#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/busywatch.h"
#include "support/memorysettingsstore.h"
#include "support/modalscript.h"
#include "support/scriptedwizardview.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;

namespace {

template <typename T = QWidget>
T* control(QWizard& wizard, const char* pageName, int id) {
    QWidget* page = wizard.findChild<QWidget*>(QString::fromLatin1(pageName));
    if (!page) return nullptr;
    return page->findChild<T*>(QString::number(id));
}

class CreateKeyWizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        dirPath = dir.path() + "/";
        settings.texts["defaultDir"] = dirPath;
        boxes.answerTheRest();
    }
    std::string path(const char* name) const { return dirPath + name; }
    void writeServerPart(bool crypt, bool sign) {
        auto channel = TestSupport::ownKeysChannel("server", "client", crypt, sign);
        ASSERT_TRUE(writePublicPart(*channel, path("openserv.okp")));
    }
    static void press(QWizard& wizard, QWizard::WizardButton which) {
        QAbstractButton* b = wizard.button(which);
        ASSERT_TRUE(b->isVisible() && b->isEnabled()) << int(which);
        b->click();
        QApplication::processEvents();
    }

    TestSupport::TempDir dir;
    std::string dirPath;
    TestSupport::MemorySettingsStore settings;
    TestSupport::ScriptedFileDialogs files;
    // Every message box is answered with its first button.
    TestSupport::ModalScript boxes{60000};
};

TEST_F(CreateKeyWizardTest, UserRunWithBackAndFinishWritesTheKeys) {
    writeServerPart(true, true);
    CreateKeyWizard wizard(settings, files);
    EXPECT_EQ(wizard.windowTitle(), "Создание ключа");
    wizard.show();
    QApplication::processEvents();
    EXPECT_EQ(wizard.windowTitle(), "Создание ключа. Шаг 1 из 5.");
    EXPECT_TRUE(control<QRadioButton>(wizard, "KeyTypePage", 1004)->isChecked());
    EXPECT_FALSE(control<QRadioButton>(wizard, "KeyTypePage", 1002)->isEnabled());
    EXPECT_FALSE(wizard.button(QWizard::BackButton)->isEnabled());
    EXPECT_EQ(wizard.button(QWizard::NextButton)->text(), "Далее >");
    EXPECT_EQ(wizard.button(QWizard::BackButton)->text(), "< Назад");
    EXPECT_EQ(wizard.button(QWizard::CancelButton)->text(), "Отмена");

    press(wizard, QWizard::NextButton);
    EXPECT_EQ(wizard.windowTitle(), "Создание ключа. Шаг 2 из 5.");
    auto* base = control<QLineEdit>(wizard, "KeyFilesPage", 1006);
    EXPECT_EQ(base->text().toStdString(), path("userkey.bin"));
    EXPECT_EQ(control<QLineEdit>(wizard, "KeyFilesPage", 1010)->text().toStdString(),
              path("openserv.okp"));
    EXPECT_TRUE(wizard.button(QWizard::BackButton)->isEnabled());
    base->setText(QString::fromStdString(path("my.bin")));

    press(wizard, QWizard::NextButton);
    ASSERT_EQ(wizard.currentId(), KeyNamesPage)
        << (boxes.seen.empty() ? "" : boxes.seen[0].text.toStdString());
    EXPECT_EQ(control<QLineEdit>(wizard, "KeyNamesPage", 1006)->text(), "server");
    EXPECT_FALSE(control<QLineEdit>(wizard, "KeyNamesPage", 1006)->isEnabled());
    // With both edits greyed, Enter must still mean Next, not Back.
    EXPECT_EQ(wizard.focusWidget(), wizard.button(QWizard::NextButton));

    // Back shows the files page again, refilled from what was left there.
    press(wizard, QWizard::BackButton);
    EXPECT_EQ(wizard.windowTitle(), "Создание ключа. Шаг 2 из 5.");
    EXPECT_EQ(base->text().toStdString(), path("my.bin"));
    press(wizard, QWizard::NextButton);
    press(wizard, QWizard::NextButton);
    EXPECT_EQ(wizard.windowTitle(), "Создание ключа. Шаг 4 из 5.");
    EXPECT_FALSE(control<QCheckBox>(wizard, "KeyParamsPage", 1009)->isEnabled());
    EXPECT_EQ(control<QComboBox>(wizard, "KeyParamsPage", 1012)->currentText(), "512");
    press(wizard, QWizard::NextButton);
    EXPECT_EQ(wizard.windowTitle(), "Создание ключа. Шаг 5 из 5.");
    EXPECT_FALSE(wizard.button(QWizard::NextButton)->isVisible());
    EXPECT_EQ(wizard.button(QWizard::FinishButton)->text(), "Готово");
    EXPECT_TRUE(control<QLabel>(wizard, "KeySummaryPage", 1006)
                    ->text()
                    .startsWith(QString::fromStdString("База ключей:    \t" + path("my.bin"))));
    EXPECT_TRUE(boxes.seen.empty());

    press(wizard, QWizard::FinishButton);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].title, "Информация");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Information);
    EXPECT_TRUE(boxes.seen[0].text.startsWith("Файл \""));
    EXPECT_EQ(boxes.seen[0].buttons, QStringList{"OK"});
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the wait cursor ended

    KeyBase user;
    ASSERT_TRUE(user.loadBase(path("my.bin")));
    EXPECT_NE(user.findChannel("client", "server"), nullptr);
    SecureChannel part;
    EXPECT_TRUE(readChannelFile(part, path("openuser.okp")));
    EXPECT_EQ(part.localName, "client");
    EXPECT_EQ(settings.texts["keyDefBase"], path("my.bin"));
}

// A 4096-bit key takes seconds to make: meanwhile the window repaints under
// the wait cursor and shows that keys are generated, only "Отмена" takes
// input, and it stops the generation: the wizard closes, nothing written.
TEST_F(CreateKeyWizardTest, CancelStopsA4096BitGenerationAndWritesNothing) {
    auto serverPart = TestSupport::ownKeysChannel("server", "client", false, true, 4096);
    ASSERT_TRUE(writePublicPart(*serverPart, path("openserv.okp")));
    CreateKeyWizard wizard(settings, files);
    wizard.show();
    QApplication::processEvents();
    for (int page = KeyTypePage; page < KeySummaryPage; ++page) press(wizard, QWizard::NextButton);
    ASSERT_EQ(wizard.currentId(), KeySummaryPage)
        << (boxes.seen.empty() ? "" : boxes.seen.back().text.toStdString());
    QWidget* progress = wizard.currentPage()->findChild<QProgressBar*>(
        QString::number(KeySummaryIds::Progress));
    ASSERT_NE(progress, nullptr);
    EXPECT_FALSE(progress->isVisible());

    TestSupport::BusyWatch watch(wizard);
    bool progressShown = false;
    bool stayedOpen = false;
    QString progressName;
    std::chrono::steady_clock::time_point cancelledAt;
    watch.onBusy = [&] {
        progressShown = progress->isVisible() && progress->isEnabled();
        progressName = progress->accessibleName();
        // Long enough for the window to show its liveness, far shorter than
        // such a key takes.
        QTimer::singleShot(150, &wizard, [&] {
            cancelledAt = std::chrono::steady_clock::now();
            press(wizard, QWizard::CancelButton);
            stayedOpen = wizard.isVisible();
        });
    };
    press(wizard, QWizard::FinishButton);
    const auto stoppedAt = std::chrono::steady_clock::now();
    QApplication::processEvents();
    RecordProperty("stopMs", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  stoppedAt - cancelledAt)
                                                  .count()));
    EXPECT_TRUE(progressShown);
    EXPECT_EQ(progressName, "Генерация ключей...");
    EXPECT_TRUE(stayedOpen);  // until the generation has ended
    EXPECT_GE(watch.busyTicks, 5);
    EXPECT_GE(watch.busyPaints, 3);
    EXPECT_TRUE(watch.cursorAlwaysWaiting);
    EXPECT_EQ(watch.enabledButtons, std::set<QWizard::WizardButton>{QWizard::CancelButton});
    EXPECT_LT(stoppedAt - cancelledAt, std::chrono::seconds(2));

    EXPECT_TRUE(boxes.seen.empty());
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(path("userkey.bin")));
    EXPECT_FALSE(std::filesystem::exists(path("openuser.okp")));
    EXPECT_EQ(TestSupport::listDir(dir.path()), std::vector<std::string>{"openserv.okp"});
}

// After work that failed the window takes input again exactly as before:
// the user can go Back or try Finish once more.
TEST_F(CreateKeyWizardTest, FailedFinishGivesTheWindowBack) {
    writeServerPart(true, true);
    CreateKeyWizard wizard(settings, files);
    wizard.show();
    QApplication::processEvents();
    for (int page = KeyTypePage; page < KeySummaryPage; ++page) press(wizard, QWizard::NextButton);
    ASSERT_EQ(wizard.currentId(), KeySummaryPage);
    // The server's part goes missing before Finish reads it again.
    std::filesystem::remove(path("openserv.okp"));
    press(wizard, QWizard::FinishButton);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].title, "Ошибка");
    EXPECT_TRUE(wizard.isVisible());
    EXPECT_FALSE(wizard.busy());
    EXPECT_TRUE(wizard.currentPage()->isEnabled());
    for (QWizard::WizardButton which :
         {QWizard::BackButton, QWizard::FinishButton, QWizard::CancelButton}) {
        EXPECT_TRUE(wizard.button(which)->isEnabled()) << int(which);
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    press(wizard, QWizard::BackButton);
    EXPECT_EQ(wizard.currentId(), KeyParamsPage);
}

TEST_F(CreateKeyWizardTest, RefusedNextStaysOnThePageAndCancelAsksNothing) {
    CreateKeyWizard wizard(settings, files);
    wizard.show();
    QApplication::processEvents();
    press(wizard, QWizard::NextButton);
    control<QLineEdit>(wizard, "KeyFilesPage", 1006)->clear();
    press(wizard, QWizard::NextButton);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].title, "Ошибка");
    EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.seen[0].text, "Не задано имя файла с приватными ключами!");
    EXPECT_EQ(wizard.currentId(), KeyFilesPage);
    EXPECT_EQ(wizard.windowTitle(), "Создание ключа. Шаг 2 из 5.");

    // No server part yet: the next refusal comes from the mode's checks.
    control<QLineEdit>(wizard, "KeyFilesPage", 1006)->setText("x.bin");
    press(wizard, QWizard::NextButton);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_TRUE(boxes.seen[1].text.startsWith("Файла с импортом открытых ключей не существует"));
    EXPECT_EQ(wizard.currentId(), KeyFilesPage);

    // "..." goes through the file dialogs with the chosen path landing in the edit.
    files.answers = {path("chosen.okp")};
    control<QAbstractButton>(wizard, "KeyFilesPage", 1011)->click();
    EXPECT_EQ(control<QLineEdit>(wizard, "KeyFilesPage", 1010)->text().toStdString(),
              path("chosen.okp"));

    press(wizard, QWizard::CancelButton);
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    EXPECT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(settings.texts.count("keyDefBase"), 0u);
}

TEST_F(CreateKeyWizardTest, AdministratorOptionClearsTheRunAndRearrangesTheFilesPage) {
    settings.numbers["adminMode"] = 1;
    CreateKeyWizard wizard(settings, files);
    wizard.show();
    QApplication::processEvents();
    auto* option = control<QRadioButton>(wizard, "KeyTypePage", 1002);
    ASSERT_TRUE(option->isEnabled());
    // The focus is on the chosen option, where the arrow keys start from.
    EXPECT_EQ(wizard.focusWidget(), control<QRadioButton>(wizard, "KeyTypePage", 1004));
    option->click();
    EXPECT_FALSE(control<QRadioButton>(wizard, "KeyTypePage", 1004)->isChecked());
    EXPECT_TRUE(control<QLabel>(wizard, "KeyTypePage", 1005)->text().startsWith("  Создание"));
    press(wizard, QWizard::NextButton);
    EXPECT_TRUE(control<QLineEdit>(wizard, "KeyFilesPage", 1010)->isHidden());
    EXPECT_TRUE(control<QAbstractButton>(wizard, "KeyFilesPage", 1011)->isHidden());
    EXPECT_EQ(control<QLabel>(wizard, "KeyFilesPage", 1023)->text(), "Имя серверной базы ключей");
    EXPECT_EQ(control<QLineEdit>(wizard, "KeyFilesPage", 1007)->text().toStdString(),
              path("openserv.okp"));
}

// Walks every page of modes 0 and 2 and checks that no visible text is cut;
// with TALVEK_SCREENSHOT_DIR set, each page is also written there as PNG.
TEST_F(CreateKeyWizardTest, PagesShowTheirTextsUncut) {
    writeServerPart(false, true);
    settings.numbers["sing"] = 1;
    settings.numbers["java"] = 1;
    const QString shots = qEnvironmentVariable("TALVEK_SCREENSHOT_DIR");
    if (!shots.isEmpty()) QDir().mkpath(shots);

    const auto checkPage = [&](QWizard& wizard, const QString& name) {
        QApplication::processEvents();
        QWidget* page = wizard.currentPage();
        EXPECT_TRUE(wizard.rect().contains(QRect(page->mapTo(&wizard, QPoint(0, 0)), page->size())))
            << name.toStdString() << " page outside the window";
        EXPECT_GE(page->width(), page->minimumSizeHint().width()) << name.toStdString();
        EXPECT_GE(page->height(), page->minimumSizeHint().height()) << name.toStdString();
        for (QWidget* w : page->findChildren<QWidget*>()) {
            if (!w->isVisible()) continue;
            if (auto* label = qobject_cast<QLabel*>(w); label && label->pixmap().isNull()) {
                const int need = label->wordWrap() ? label->heightForWidth(label->width())
                                                   : label->sizeHint().height();
                EXPECT_GE(label->height(), need)
                    << name.toStdString() << " label " << label->text().left(30).toStdString();
                if (!label->wordWrap()) {
                    EXPECT_GE(label->width(), label->sizeHint().width())
                        << name.toStdString() << " " << label->text().left(30).toStdString();
                }
            } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
                const int need = button->hasHeightForWidth()
                                     ? button->heightForWidth(button->width())
                                     : button->sizeHint().height();
                EXPECT_GE(button->height(), need)
                    << name.toStdString() << " " << button->text().left(30).toStdString();
                if (qobject_cast<QPushButton*>(button)) {
                    // "..." buttons are narrower than a push button's usual width.
                    EXPECT_GE(button->width(),
                              button->fontMetrics().horizontalAdvance(button->text()) + 8);
                } else if (!button->hasHeightForWidth()) {
                    EXPECT_GE(button->width(), button->sizeHint().width())
                        << name.toStdString() << " " << button->text().left(30).toStdString();
                }
            }
            // What scrolls may be larger than its frame; the frame must fit.
            const bool scrolled =
                w->parentWidget() &&
                qobject_cast<QScrollArea*>(w->parentWidget()->parentWidget()) != nullptr;
            EXPECT_TRUE(scrolled ||
                        page->rect().contains(QRect(w->mapTo(page, QPoint(0, 0)), w->size())))
                << name.toStdString() << " " << w->objectName().toStdString();
        }
        if (!shots.isEmpty()) wizard.grab().save(shots + "/" + name + ".png");
    };

    {
        CreateKeyWizard wizard(settings, files);
        wizard.show();
        checkPage(wizard, "mode2-1-type");
        for (int step = 2; step <= 5; ++step) {
            press(wizard, QWizard::NextButton);
            ASSERT_EQ(wizard.currentId(), step - 1)
                << (boxes.seen.empty() ? "" : boxes.seen.back().text.toStdString());
            checkPage(wizard, QString("mode2-%1").arg(step));
            if (step == 4) control<QCheckBox>(wizard, "KeyParamsPage", 1026)->click();
        }
    }
    {
        settings.numbers["adminMode"] = 1;
        // Russian folder names in the default paths of the hidden and shown rows.
        settings.texts["defaultDir"] = "/home/operator/Документы/Ключи Talvek/";
        CreateKeyWizard wizard(settings, files);
        wizard.show();
        control<QRadioButton>(wizard, "KeyTypePage", 1002)->click();
        checkPage(wizard, "mode0-1-type");
        press(wizard, QWizard::NextButton);
        control<QLineEdit>(wizard, "KeyFilesPage", 1006)
            ->setText(QString::fromStdString(path("server.key_base")));
        checkPage(wizard, "mode0-2-files");
        press(wizard, QWizard::NextButton);
        control<QLineEdit>(wizard, "KeyNamesPage", 1006)->setText("Центр");
        control<QLineEdit>(wizard, "KeyNamesPage", 1007)->setText("Иванов И. И.");
        checkPage(wizard, "mode0-3-names");
        press(wizard, QWizard::NextButton);
        checkPage(wizard, "mode0-4-params");
        press(wizard, QWizard::NextButton);
        checkPage(wizard, "mode0-5-summary");
    }
}

}  // namespace
