// The key wizard as assistive technology and the keyboard reach it,
// offscreen: every option and box works through its accessible action,
// every control is announced by what it does, and the keyboard-only walk of
// the user guide gets from the first page to the written keys.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "keywizard/createkeywizard.h"
#include "support/accessibletree.h"
#include "support/memorysettingsstore.h"
#include "support/modalscript.h"
#include "support/scriptedwizardview.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::doAccessibleAction;

namespace {

template <typename T = QWidget>
T* control(QWizard& wizard, const char* pageName, int id) {
    QWidget* page = wizard.findChild<QWidget*>(QString::fromLatin1(pageName));
    return page ? page->findChild<T*>(QString::number(id)) : nullptr;
}

QString nameOf(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

const QString kToggle = QAccessibleActionInterface::toggleAction();
const QString kPress = QAccessibleActionInterface::pressAction();

class KeyWizardAccessibilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        dirPath = dir.path() + "/";
        settings.texts["defaultDir"] = dirPath;
    }
    std::string path(const char* name) const { return dirPath + name; }
    void next(QWizard& wizard) {
        wizard.button(QWizard::NextButton)->click();
        QApplication::processEvents();
    }
    // The controls of the current page that say nothing to a screen reader.
    static std::vector<std::string> unnamed(QWizard& wizard) {
        QApplication::processEvents();
        return TestSupport::unnamedControls(&wizard);
    }

    TestSupport::TempDir dir;
    std::string dirPath;
    TestSupport::MemorySettingsStore settings;
    TestSupport::ScriptedFileDialogs files;
};

// In the administrator edition, each option and box of the wizard is worked
// only through its accessible action, as a screen reader user does; the
// wizard follows each change as it follows a click.
TEST_F(KeyWizardAccessibilityTest, EveryOptionAndBoxWorksThroughItsAccessibleAction) {
    settings.numbers["adminMode"] = 1;
    settings.numbers["sing"] = 1;
    settings.numbers["java"] = 1;
    TestSupport::ModalScript modals;
    CreateKeyWizard wizard(settings, files);
    wizard.show();
    QApplication::processEvents();

    const struct {
        int option;
        const char* hintStart;
        const char* baseLabel;
    } options[] = {
        {KeyTypeIds::ImportUserPart, "  Добавить", "Имя серверной базы ключей"},
        {KeyTypeIds::CreateUserKey, "  Создать полный",
         "Имя файла с полным пользовательским ключом"},
        {KeyTypeIds::NewUserServerKey, "  Создание", "Имя серверной базы ключей"},
    };
    for (const auto& row : options) {
        SCOPED_TRACE(row.option);
        auto* option = control<QRadioButton>(wizard, "KeyTypePage", row.option);
        ASSERT_TRUE(doAccessibleAction(option, kToggle));
        EXPECT_TRUE(option->isChecked());
        EXPECT_TRUE(control<QLabel>(wizard, "KeyTypePage", KeyTypeIds::Hint)
                        ->text()
                        .startsWith(QString::fromUtf8(row.hintStart)));
        next(wizard);
        EXPECT_EQ(control<QLabel>(wizard, "KeyFilesPage", KeyFilesIds::BaseLabel)->text(),
                  QString::fromUtf8(row.baseLabel));
        wizard.back();
        QApplication::processEvents();
    }

    // Mode 0: the files page's "..." buttons are pressed the same way.
    next(wizard);
    files.answers = {path("server.key_base"), path("part.okp")};
    for (int id : {KeyFilesIds::BaseButton, KeyFilesIds::ExportButton}) {
        ASSERT_TRUE(doAccessibleAction(control(wizard, "KeyFilesPage", id), kPress));
    }
    QTRY_COMPARE_WITH_TIMEOUT(files.answers.size(), size_t(0), 5000);
    QApplication::processEvents();
    EXPECT_EQ(control<QLineEdit>(wizard, "KeyFilesPage", KeyFilesIds::BaseEdit)->text(),
              QString::fromStdString(path("server.key_base")));
    EXPECT_EQ(control<QLineEdit>(wizard, "KeyFilesPage", KeyFilesIds::ExportEdit)->text(),
              QString::fromStdString(path("part.okp")));
    next(wizard);
    control<QLineEdit>(wizard, "KeyNamesPage", KeyNamesIds::ServerName)->setText("srv");
    control<QLineEdit>(wizard, "KeyNamesPage", KeyNamesIds::UserName)->setText("usr");
    next(wizard);
    ASSERT_EQ(wizard.currentId(), KeyParamsPage);

    auto* java = control<QCheckBox>(wizard, "KeyParamsPage", KeyParamsIds::JavaClient);
    auto* crypt = control<QCheckBox>(wizard, "KeyParamsPage", KeyParamsIds::UseCrypt);
    auto* sign = control<QCheckBox>(wizard, "KeyParamsPage", KeyParamsIds::UseSign);
    auto* cryptSize = control<QComboBox>(wizard, "KeyParamsPage", KeyParamsIds::CryptSize);
    auto* signSize = control<QComboBox>(wizard, "KeyParamsPage", KeyParamsIds::SignSize);
    // The Java key signs only: encryption is off and greyed while it is asked for.
    ASSERT_TRUE(java->isChecked());
    EXPECT_FALSE(crypt->isEnabled());
    ASSERT_TRUE(doAccessibleAction(java, kToggle));
    EXPECT_FALSE(java->isChecked());
    EXPECT_TRUE(crypt->isEnabled());
    ASSERT_TRUE(doAccessibleAction(crypt, kToggle));
    EXPECT_TRUE(crypt->isChecked());
    EXPECT_TRUE(cryptSize->isVisible());
    ASSERT_TRUE(doAccessibleAction(sign, kToggle));
    EXPECT_FALSE(sign->isChecked());
    EXPECT_FALSE(signSize->isVisible());
    ASSERT_TRUE(doAccessibleAction(java, kToggle));
    EXPECT_FALSE(crypt->isChecked());
    EXPECT_FALSE(crypt->isEnabled());
    EXPECT_TRUE(sign->isChecked());
    EXPECT_TRUE(signSize->isVisible());
    wizard.reject();
}

// Every page, in the user's mode (all three file rows) and the
// administrator's: no control is announced by an empty or meaningless name,
// the "..." buttons say which file they choose, the picture says nothing.
TEST_F(KeyWizardAccessibilityTest, EveryControlIsAnnouncedByWhatItDoes) {
    auto part = TestSupport::ownKeysChannel("server", "client", false, true);
    ASSERT_TRUE(writePublicPart(*part, path("openserv.okp")));
    settings.numbers["adminMode"] = 1;
    TestSupport::ModalScript modals;
    CreateKeyWizard wizard(settings, files);
    wizard.show();
    for (int page = KeyTypePage; page <= KeySummaryPage; ++page) {
        SCOPED_TRACE(page);
        ASSERT_EQ(wizard.currentId(), page) << testing::PrintToString(modals.messages());
        EXPECT_EQ(unnamed(wizard), std::vector<std::string>{});
        auto* picture = wizard.currentPage()->findChild<QLabel*>(QStringLiteral("picture"));
        ASSERT_NE(picture, nullptr);
        EXPECT_EQ(nameOf(picture), QString());
        if (page == KeyFilesPage) {
            for (auto [button, label] : {std::pair{KeyFilesIds::BaseButton, KeyFilesIds::BaseLabel},
                                         {KeyFilesIds::ImportButton, KeyFilesIds::ImportLabel},
                                         {KeyFilesIds::ExportButton, KeyFilesIds::ExportLabel}}) {
                auto* b = control<QPushButton>(wizard, "KeyFilesPage", button);
                EXPECT_EQ(b->text(), QStringLiteral("..."));
                EXPECT_EQ(nameOf(b), control<QLabel>(wizard, "KeyFilesPage", label)->text());
            }
        }
        if (page < KeySummaryPage) next(wizard);
    }

    // The administrator's files page names its rows otherwise.
    for (int i = 0; i < 4; ++i) wizard.back();
    ASSERT_TRUE(
        doAccessibleAction(control(wizard, "KeyTypePage", KeyTypeIds::NewUserServerKey), kToggle));
    next(wizard);
    EXPECT_EQ(unnamed(wizard), std::vector<std::string>{});
    EXPECT_EQ(nameOf(control(wizard, "KeyFilesPage", KeyFilesIds::BaseButton)),
              QStringLiteral("Имя серверной базы ключей"));
    wizard.reject();
}

// The keyboard-only walk of the user guide, key by key: the focus starts
// on the chosen option, Enter goes on, Tab and Space work a box, Enter
// finishes and closes the message. TALVEK_SCREENSHOT_DIR gets the pages.
TEST_F(KeyWizardAccessibilityTest, KeyboardOnlyWalkOfTheUserGuide) {
    auto part = TestSupport::ownKeysChannel("server", "client", false, true);
    ASSERT_TRUE(writePublicPart(*part, path("openserv.okp")));
    const QString shots = qEnvironmentVariable("TALVEK_SCREENSHOT_DIR");
    TestSupport::ModalScript modals;
    modals.pressKey(Qt::Key_Return);
    CreateKeyWizard wizard(settings, files);
    wizard.show();
    wizard.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&wizard));
    const auto key = [&](Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        QTest::keyClick(target, k, mods);
        QApplication::processEvents();
    };
    const auto shot = [&](const char* name) {
        if (!shots.isEmpty()) wizard.grab().save(QDir(shots).filePath(QString::fromLatin1(name)));
    };

    // 1. The user's option is chosen and has the focus.
    EXPECT_EQ(QApplication::focusWidget(),
              control(wizard, "KeyTypePage", KeyTypeIds::CreateUserKey));
    shot("keyboard-1-type.png");
    key(Qt::Key_Return);
    // 2. The key file's name is selected: typing replaces it.
    ASSERT_EQ(wizard.currentId(), KeyFilesPage);
    EXPECT_EQ(QApplication::focusWidget(), control(wizard, "KeyFilesPage", KeyFilesIds::BaseEdit));
    QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(path("my.bin")));
    // Tab passes the "..." button, which Space would open.
    key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(),
              control(wizard, "KeyFilesPage", KeyFilesIds::BaseButton));
    shot("keyboard-2-files.png");
    key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(),
              control(wizard, "KeyFilesPage", KeyFilesIds::ImportEdit));
    key(Qt::Key_Return);
    // 3. The names come from the server's part; Enter goes on.
    ASSERT_EQ(wizard.currentId(), KeyNamesPage) << testing::PrintToString(modals.messages());
    key(Qt::Key_Return);
    // 4. A key that only signs may have the Java file: Tab to the box, Space.
    ASSERT_EQ(wizard.currentId(), KeyParamsPage);
    auto* java = control<QCheckBox>(wizard, "KeyParamsPage", KeyParamsIds::JavaClient);
    for (int i = 0; i < 10 && QApplication::focusWidget() != java; ++i) key(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), java);
    key(Qt::Key_Space);
    EXPECT_TRUE(java->isChecked());
    shot("keyboard-4-params.png");
    key(Qt::Key_Return);
    // 5. The summary; Enter is Готово, and Enter again closes the message.
    ASSERT_EQ(wizard.currentId(), KeySummaryPage);
    shot("keyboard-5-summary.png");
    key(Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!wizard.isVisible(), 20000);
    ASSERT_EQ(modals.messages().size(), 1u);
    EXPECT_EQ(
        modals.messages()[0].rfind("Файлы \"" + path("my.bin") + "\" и \"javaclient.bin\"", 0), 0u)
        << modals.messages()[0];
    KeyBase user;
    ASSERT_TRUE(user.loadBase(path("my.bin")));
    EXPECT_NE(user.findChannel("client", "server"), nullptr);
    EXPECT_TRUE(TestSupport::exists(path("javaclient.bin")));
    EXPECT_TRUE(TestSupport::exists(path("openuser.okp")));

    // Escape is "Отмена" on any page; nothing is written before "Готово".
    const auto before = TestSupport::listDir(dir.path());
    CreateKeyWizard again(settings, files);
    again.show();
    again.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&again));
    key(Qt::Key_Return);
    ASSERT_EQ(again.currentId(), KeyFilesPage);
    key(Qt::Key_Escape);
    EXPECT_FALSE(again.isVisible());
    EXPECT_EQ(again.result(), QDialog::Rejected);
    EXPECT_EQ(TestSupport::listDir(dir.path()), before);
}

}  // namespace
