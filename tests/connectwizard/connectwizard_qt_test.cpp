// The real connection wizard, offscreen, against the test crypto server on
// loopback: the pages as a user sees them, list, choose, fetch. With
// TALVEK_SCREENSHOT_DIR set the three pages are also saved as PNG files.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <set>

#include <gtest/gtest.h>

#include "connectwizard/connectwizard.h"
#include "support/accessibletree.h"
#include "support/busywatch.h"
#include "support/memorysettingsstore.h"
#include "support/modalscript.h"
#include "support/serverfixture.h"
#include "support/silentserver.h"
#include "support/scriptedwizardview.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

QString qs(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// Saves the wizard as it stands and checks that the page's texts fit.
void look(QWizard& wizard, const QString& name) {
    QApplication::processEvents();
    QWidget* page = wizard.currentPage();
    ASSERT_NE(page, nullptr);
    for (QAbstractButton* button : page->findChildren<QAbstractButton*>()) {
        if (!button->isVisible()) continue;
        // "..." buttons are narrow on purpose: their text must fit, not the
        // style's minimum button width.
        const int needed = qobject_cast<QPushButton*>(button)
                               ? button->fontMetrics().horizontalAdvance(button->text()) + 12
                               : button->sizeHint().width();
        EXPECT_GE(button->width(), needed) << button->text().toStdString();
    }
    for (QLabel* label : page->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty() || label->objectName() == "summary")
            continue;
        if (label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << label->text().toStdString();
        } else {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        }
    }
    auto* picture = page->findChild<QLabel*>(QStringLiteral("picture"));
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->pixmap().isNull());
    EXPECT_TRUE(picture->isVisible());

    const QPixmap shot = wizard.grab();
    ASSERT_FALSE(shot.isNull());
    const QString dir = qEnvironmentVariable("TALVEK_SCREENSHOT_DIR");
    if (!dir.isEmpty()) {
        EXPECT_TRUE(shot.save(QDir(dir).filePath(name)));
    }
}

class ConnectWizardQtTest : public CryptoServerFixture {
protected:
    void SetUp() override {
        CryptoServerFixture::SetUp();
        keysDir = dir.file("keys") + "/";
        QDir().mkpath(qs(keysDir));
        settings.writeText("defaultDir", keysDir);
        settings.writeText("defaddr", "127.0.0.1");
        settings.writeText("defport", std::to_string(server->port()));
        settings.writeText("defadmin", "Администратор");
        settings.writeText("defserver", "Криптосервер");
        settings.writeText("defbase", adminBase);
    }

    template <typename T>
    T* find(QWizard& wizard, const char* name) {
        T* widget = wizard.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    TestSupport::MemorySettingsStore settings;
    ScriptedFileDialogs files;
    std::string keysDir;
};

TEST_F(ConnectWizardQtTest, ListsChoosesAndFetchesAgainstTheServer) {
    const std::string target = keysDir + "Касса.key_base";
    writeText(target, "an older copy");
    ModalScript boxes(30000);
    boxes.answer(QStringLiteral("Нет"))
        .answer(QStringLiteral("Да"))
        .answer(QStringLiteral("OK"))
        .answerTheRest(QStringLiteral("OK"));

    ConnectWizard wizard(settings, files);
    wizard.controller().params().idleLimitMs = 3000;
    wizard.show();
    QApplication::processEvents();

    // Page 1, filled from the remembered connection.
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Подключение к криптосерверу. Шаг 1 из 3."));
    EXPECT_EQ(find<QLineEdit>(wizard, "addressEdit")->text(), "127.0.0.1");
    EXPECT_EQ(find<QLineEdit>(wizard, "portEdit")->text(), QString::number(server->port()));
    EXPECT_EQ(find<QLineEdit>(wizard, "adminNameEdit")->text(), QStringLiteral("Администратор"));
    EXPECT_EQ(find<QLineEdit>(wizard, "serverNameEdit")->text(), QStringLiteral("Криптосервер"));
    EXPECT_EQ(find<QLineEdit>(wizard, "adminBaseEdit")->text(), qs(adminBase));
    EXPECT_EQ(find<QLineEdit>(wizard, "adminNameEdit")->maxLength(), 255);
    EXPECT_EQ(find<QLabel>(wizard, "adminBaseLabel")->buddy(),
              find<QLineEdit>(wizard, "adminBaseEdit"));
    EXPECT_EQ(wizard.button(QWizard::NextButton)->text(), QStringLiteral("Далее >"));
    look(wizard, "connect-wizard-1.png");

    // Next lists the interfaces.
    wizard.button(QWizard::NextButton)->click();
    QApplication::processEvents();
    ASSERT_EQ(wizard.currentId(), TransferPage)
        << (boxes.seen.empty() ? std::string() : boxes.seen.back().text.toStdString());
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Подключение к криптосерверу. Шаг 2 из 3."));
    auto* list = find<QComboBox>(wizard, "interfaceList");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), "main");
    EXPECT_EQ(list->itemText(1), QStringLiteral("Касса"));
    auto* file = find<QLineEdit>(wizard, "localFileEdit");
    EXPECT_EQ(file->text(), qs(keysDir + "main.key_base"));
    EXPECT_TRUE(find<QRadioButton>(wizard, "fetchRadio")->isChecked());

    // The user picks the other interface: the file follows.
    list->setCurrentIndex(1);
    emit list->activated(1);
    EXPECT_EQ(file->text(), qs(target));
    look(wizard, "connect-wizard-2.png");

    // The file exists: "Нет" stays, "Да" goes on.
    wizard.button(QWizard::NextButton)->click();
    QApplication::processEvents();
    EXPECT_EQ(wizard.currentId(), TransferPage);
    wizard.button(QWizard::NextButton)->click();
    QApplication::processEvents();
    ASSERT_EQ(wizard.currentId(), RunPage);
    EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Подключение к криптосерверу. Шаг 3 из 3."));
    const QString summary = find<QLabel>(wizard, "summary")->text();
    EXPECT_TRUE(summary.contains(qs(target))) << summary.toStdString();
    EXPECT_TRUE(summary.contains(QStringLiteral("Касса"))) << summary.toStdString();
    EXPECT_EQ(wizard.button(QWizard::FinishButton)->text(), QStringLiteral("Готово"));
    look(wizard, "connect-wizard-3.png");
    EXPECT_EQ(readText(target), "an older copy");

    wizard.button(QWizard::FinishButton)->click();
    QApplication::processEvents();
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_EQ(wizard.result(), QDialog::Accepted);
    EXPECT_EQ(readBytes(target), readBytes(interfaceFile("Касса")));

    ASSERT_EQ(boxes.seen.size(), 3u);
    EXPECT_EQ(boxes.seen[0].title, QStringLiteral("Вопрос"));
    EXPECT_EQ(boxes.seen[1].title, QStringLiteral("Вопрос"));
    EXPECT_EQ(boxes.seen[2].title, QStringLiteral("Информация"));
    EXPECT_EQ(
        boxes.seen[2].text,
        qs("Операция выполнена успешно!\n\nБаза ключей сервера сохранена как\n\"" + target + "\""));
    for (const SeenBox& box : boxes.seen) EXPECT_FALSE(box.waitCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// A server that takes the connection and never answers: the window stays
// live, only "Отмена" takes input, and pressing it gives the exchange up at
// once, closing the wizard with nothing said, remembered or written.
TEST_F(ConnectWizardQtTest, CancelEndsAStalledExchangeAtOnceWithNothingWritten) {
    SilentServer silent;
    ASSERT_NE(silent.port(), 0);
    const auto cancelWhenBusy = [](ConnectWizard& wizard, BusyWatch& watch,
                                   std::chrono::steady_clock::time_point& pressed) {
        watch.onBusy = [&wizard, &pressed] {
            // Some slices of waiting first, as a user who loses patience.
            QTimer::singleShot(300, &wizard, [&wizard, &pressed] {
                pressed = std::chrono::steady_clock::now();
                wizard.button(QWizard::CancelButton)->click();
            });
        };
    };
    const auto msSince = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - t)
            .count();
    };

    // Listing, page 1.
    {
        ModalScript boxes(30000);
        boxes.answerTheRest(QStringLiteral("OK"));
        ConnectWizard wizard(settings, files);
        wizard.controller().params().idleLimitMs = 30000;
        wizard.show();
        QApplication::processEvents();
        find<QLineEdit>(wizard, "portEdit")->setText(QString::number(silent.port()));
        BusyWatch watch(wizard);
        std::chrono::steady_clock::time_point pressed;
        cancelWhenBusy(wizard, watch, pressed);
        wizard.button(QWizard::NextButton)->click();
        const int64_t afterCancel = msSince(pressed);
        RecordProperty("listCancelMs", static_cast<int>(afterCancel));
        QApplication::processEvents();
        EXPECT_LT(afterCancel, 1000);
        EXPECT_FALSE(wizard.isVisible());
        EXPECT_EQ(wizard.result(), QDialog::Rejected);
        EXPECT_GE(watch.busyTicks, 5);
        EXPECT_GE(watch.busyPaints, 3);
        EXPECT_TRUE(watch.cursorAlwaysWaiting);
        EXPECT_EQ(watch.enabledButtons, std::set{QWizard::CancelButton});
        EXPECT_TRUE(boxes.seen.empty());
        EXPECT_EQ(settings.texts["defport"], std::to_string(server->port()));
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    }

    // Fetch, page 3: listed by the real server, fetched from the silent one.
    const std::string target = keysDir + "main.key_base";
    writeText(target, "an older copy");
    ModalScript boxes(30000);
    boxes.answer(QStringLiteral("Да")).answerTheRest(QStringLiteral("OK"));
    ConnectWizard wizard(settings, files);
    wizard.show();
    QApplication::processEvents();
    wizard.button(QWizard::NextButton)->click();
    QApplication::processEvents();
    wizard.button(QWizard::NextButton)->click();
    QApplication::processEvents();
    ASSERT_EQ(wizard.currentId(), RunPage);
    wizard.controller().params().port = silent.port();
    wizard.controller().params().idleLimitMs = 30000;
    BusyWatch watch(wizard);
    std::chrono::steady_clock::time_point pressed;
    cancelWhenBusy(wizard, watch, pressed);
    wizard.button(QWizard::FinishButton)->click();
    const int64_t afterCancel = msSince(pressed);
    RecordProperty("fetchCancelMs", static_cast<int>(afterCancel));
    QApplication::processEvents();
    EXPECT_LT(afterCancel, 1000);
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    EXPECT_GE(watch.busyTicks, 5);
    EXPECT_EQ(watch.enabledButtons, std::set{QWizard::CancelButton});
    ASSERT_EQ(boxes.seen.size(), 1u);  // only the overwrite question
    EXPECT_EQ(boxes.seen[0].title, QStringLiteral("Вопрос"));
    EXPECT_EQ(readText(target), "an older copy");
    EXPECT_EQ(silent.accepted(), 2);
}

// Worked only through the accessibility interface, as a screen reader user
// does: every control on each page says what it is for, the options and the
// "..." buttons do what a click does.
TEST_F(ConnectWizardQtTest, EveryControlWorksAndIsNamedForAssistiveTools) {
    ModalScript boxes(30000);
    boxes.answerTheRest(QStringLiteral("OK"));
    ConnectWizard wizard(settings, files);
    wizard.controller().params().idleLimitMs = 3000;
    // Each "..." pressed below is cancelled: only the request it makes counts.
    files.answers = {std::nullopt, std::nullopt, std::nullopt};
    wizard.show();
    QApplication::processEvents();
    const QString press = QAccessibleActionInterface::pressAction();
    const QString toggle = QAccessibleActionInterface::toggleAction();
    auto nameOf = [](QWidget* w) {
        return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
    };

    EXPECT_EQ(unnamedControls(&wizard), std::vector<std::string>{});
    auto* adminBrowse = find<QPushButton>(wizard, "adminBaseButton");
    EXPECT_EQ(adminBrowse->text(), QStringLiteral("..."));
    EXPECT_EQ(nameOf(adminBrowse), find<QLabel>(wizard, "adminBaseLabel")->text());
    ASSERT_TRUE(doAccessibleAction(adminBrowse, press));
    QTRY_COMPARE_WITH_TIMEOUT(files.requests.size(), size_t(1), 5000);

    wizard.button(QWizard::NextButton)->click();
    QApplication::processEvents();
    ASSERT_EQ(wizard.currentId(), TransferPage)
        << (boxes.seen.empty() ? std::string() : boxes.seen.back().text.toStdString());
    EXPECT_EQ(unnamedControls(&wizard), std::vector<std::string>{});
    auto* fileBrowse = find<QPushButton>(wizard, "localFileButton");
    EXPECT_EQ(nameOf(fileBrowse), find<QLabel>(wizard, "localFileLabel")->text());

    // The "..." of the file asks to open a file to upload, to save one fetched:
    // the option chosen through its action is the one the wizard goes by.
    for (const char* option : {"uploadRadio", "fetchRadio"}) {
        SCOPED_TRACE(option);
        ASSERT_TRUE(doAccessibleAction(find<QRadioButton>(wizard, option), toggle));
        EXPECT_TRUE(find<QRadioButton>(wizard, option)->isChecked());
        const size_t before = files.requests.size();
        ASSERT_TRUE(doAccessibleAction(fileBrowse, press));
        QTRY_COMPARE_WITH_TIMEOUT(files.requests.size(), before + 1, 5000);
        EXPECT_EQ(files.requests.back().forOpening, std::string(option) == "uploadRadio");
    }
    wizard.button(QWizard::NextButton)->click();
    QApplication::processEvents();
    ASSERT_EQ(wizard.currentId(), RunPage)
        << (boxes.seen.empty() ? std::string() : boxes.seen.back().text.toStdString());
    EXPECT_TRUE(find<QLabel>(wizard, "summary")
                    ->text()
                    .startsWith(QStringLiteral("С криптосервера будет получена")));
    EXPECT_EQ(unnamedControls(&wizard), std::vector<std::string>{});
    wizard.reject();
}

}  // namespace
