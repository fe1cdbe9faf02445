// The main dialog: its logic against a scripted view, then the real window
// offscreen (exit codes, the greyed crypto-server section, the flows it starts).

#include "app/maindlg.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include <deque>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "app/maindlgcontroller.h"
#include "gui/settingsstore.h"
#include "keystore/keybase.h"
#include "keystore/secureexception.h"
#include "support/memorysettingsstore.h"
#include "support/modalscript.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

namespace {

using namespace Talvek;
using TestSupport::ModalScript;

class ScriptedMainView : public MainDlgView {
public:
    void enableControl(int id, bool enabled) override { enabledState[id] = enabled; }
    void runCreateKeyWizard() override { calls.push_back("wizard"); }
    void runMaintenance(const std::string& path) override {
        calls.push_back("maintain " + path);
        if (throwInMaintenance) throw SecureException("Не удалось создать объект RSA");
    }
    void showAbout() override { calls.push_back("about"); }
    void showError(const std::string& text) override { calls.push_back("error " + text); }
    void endDialog(int code) override { endCodes.push_back(code); }

    std::map<int, bool> enabledState;
    std::vector<std::string> calls;
    std::vector<int> endCodes;
    bool throwInMaintenance = false;
};

class ScriptedFiles : public FileDialogRunner {
public:
    bool run(const FileDialogRequest& request, std::string& chosen) override {
        requests.push_back(request);
        if (!answer) return false;
        chosen = *answer;
        return true;
    }
    std::optional<std::string> answer;
    std::vector<FileDialogRequest> requests;
};

const int kServerSection[] = {IdMainServerGroup, IdMainServerIcon, IdMainServerText, IdMainConnect};

TEST(MainDlgController, ServerSectionIsGreyedUnlessAdministratorWithAConnectWizard) {
    TestSupport::MemorySettingsStore settings;
    ScriptedFiles files;
    {
        ScriptedMainView view;
        MainDlgController controller(view, settings, files);
        controller.onInit();
        for (int id : kServerSection) EXPECT_FALSE(view.enabledState.at(id)) << id;
        // Nothing else is touched: creation, maintenance and exit stay live.
        EXPECT_EQ(view.enabledState.size(), 4u);
        // A hooked wizard does not make the user edition live.
        int connects = 0;
        controller.setConnectAction([&] { ++connects; });
        controller.onCommand(IdMainConnect);
        EXPECT_EQ(connects, 0);
        EXPECT_FALSE(view.enabledState.at(IdMainConnect));
    }
    settings.writeNumber("adminMode", 1);
    {
        ScriptedMainView view;
        MainDlgController controller(view, settings, files);
        controller.onInit();
        EXPECT_TRUE(view.enabledState.at(IdMainServerGroup));
        EXPECT_TRUE(view.enabledState.at(IdMainServerText));
        EXPECT_FALSE(view.enabledState.at(IdMainConnect));
        controller.onCommand(IdMainConnect);  // nothing hooked: nothing happens
        int connects = 0;
        controller.setConnectAction([&] { ++connects; });
        EXPECT_TRUE(view.enabledState.at(IdMainConnect));
        controller.onCommand(IdMainConnect);
        EXPECT_EQ(connects, 1);
    }
    settings.writeNumber("adminMode", 2);
    ScriptedMainView view;
    MainDlgController controller(view, settings, files);
    controller.onInit();
    EXPECT_FALSE(view.enabledState.at(IdMainServerGroup));
}

TEST(MainDlgController, CommandsRunTheirFlowsAndEndWithOneOrTwo) {
    TestSupport::MemorySettingsStore settings;
    ScriptedFiles files;
    ScriptedMainView view;
    MainDlgController controller(view, settings, files);
    controller.onInit();

    controller.onCommand(IdMainCreate);
    controller.onCommand(IdMainAbout);
    // Cancelled file dialog: nothing opened.
    controller.onCommand(IdMainMaintain);
    files.answer = "/keys/server.key_base";
    controller.onCommand(IdMainMaintain);
    controller.onCommand(12345);
    EXPECT_EQ(view.calls,
              (std::vector<std::string>{"wizard", "about", "maintain /keys/server.key_base"}));
    ASSERT_EQ(files.requests.size(), 2u);
    const FileDialogRequest& request = files.requests[0];
    EXPECT_TRUE(request.forOpening);
    EXPECT_EQ(request.initialName, "");
    EXPECT_EQ(request.defaultExt, "");
    ASSERT_EQ(request.filters.size(), 4u);
    EXPECT_EQ(request.filters[0].description, "Серверные базы ключей (*.key_base)");
    EXPECT_EQ(request.filters[0].pattern, "*.key_base");
    EXPECT_EQ(request.filters[1].description, "Пользовательские ключи (*.bin)");
    EXPECT_EQ(request.filters[1].pattern, "*.bin");
    EXPECT_EQ(request.filters[2].description, "Открытые части ключей (*.okp)");
    EXPECT_EQ(request.filters[2].pattern, "*.okp");
    EXPECT_EQ(request.filters[3].description, "All Files (*.*)");
    EXPECT_EQ(request.filters[3].pattern, "*.*");
    // The chosen folder is remembered for the next dialog.
    std::string remembered;
    EXPECT_TRUE(settings.readText("defaultDir", remembered));
    EXPECT_EQ(remembered, "/keys/");
    EXPECT_TRUE(view.endCodes.empty());

    controller.onCommand(IdMainExit);
    controller.onCommand(IdMainCancel);
    EXPECT_EQ(view.endCodes, (std::vector<int>{1, 2}));
}

TEST(MainDlgController, SecureExceptionInAFlowIsShownAndTheDialogStays) {
    TestSupport::MemorySettingsStore settings;
    ScriptedFiles files;
    files.answer = "/keys/a.bin";
    ScriptedMainView view;
    view.throwInMaintenance = true;
    MainDlgController controller(view, settings, files);
    controller.onCommand(IdMainMaintain);
    EXPECT_EQ(view.calls.back(), "error Не удалось создать объект RSA");
    EXPECT_TRUE(view.endCodes.empty());
}

// --- The real window ---

QWidget* control(QWidget& dialog, int id) {
    return dialog.findChild<QWidget*>(QString::number(id));
}

TEST(MainDlgWindow, ExitGivesOneEscapeAndCloseBoxGiveTwo) {
    TestSupport::MemorySettingsStore settings;
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        MainDlg dlg(settings);
        ModalScript script;
        script.onDialog(QStringLiteral("MainDlg"), [way](QDialog* d) {
            if (way == 0) {
                qobject_cast<QPushButton*>(control(*d, IdMainExit))->click();
            } else if (way == 1) {
                QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(d, &escape);
            } else {
                d->close();
            }
        });
        EXPECT_EQ(dlg.exec(), way == 0 ? 1 : 2);
        EXPECT_FALSE(script.timedOut());
    }
}

TEST(MainDlgWindow, ShowsItsSectionsWithTheServerSectionGreyed) {
    TestSupport::MemorySettingsStore settings;
    MainDlg dlg(settings);
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("TalvekConfig 4.2.7"));
    EXPECT_FALSE(dlg.windowIcon().isNull());
    for (int id : kServerSection) {
        ASSERT_NE(control(dlg, id), nullptr) << id;
        EXPECT_FALSE(control(dlg, id)->isEnabled()) << id;
    }
    EXPECT_EQ(qobject_cast<QGroupBox*>(control(dlg, IdMainServerGroup))->title(),
              QStringLiteral("Криптосервер"));
    EXPECT_EQ(qobject_cast<QLabel*>(control(dlg, IdMainServerText))->text(),
              QStringLiteral("Получить с криптосервера текущую базу ключей.\nЗагрузить на "
                             "криптосервер измененную базу ключей"));
    for (int id : {IdMainCreate, IdMainMaintain, IdMainAbout, IdMainExit})
        EXPECT_TRUE(control(dlg, id)->isEnabled()) << id;
    auto* exit = qobject_cast<QPushButton*>(control(dlg, IdMainExit));
    EXPECT_TRUE(exit->isDefault());
    EXPECT_EQ(exit->text(), QStringLiteral("Выход"));
    EXPECT_EQ(qobject_cast<QPushButton*>(control(dlg, IdMainCreate))->text(),
              QStringLiteral("Создание..."));
    EXPECT_EQ(qobject_cast<QPushButton*>(control(dlg, IdMainMaintain))->text(),
              QStringLiteral("Обслуживание..."));
    EXPECT_EQ(qobject_cast<QPushButton*>(control(dlg, IdMainAbout))->text(),
              QStringLiteral("&О программе..."));
    EXPECT_EQ(dlg.findChild<QGroupBox*>(QStringLiteral("createGroup"))->title(),
              QStringLiteral("Создание ключа"));
    EXPECT_EQ(dlg.findChild<QGroupBox*>(QStringLiteral("maintainGroup"))->title(),
              QStringLiteral("Обслуживание ключей"));

    auto about = dlg.createAboutBox();
    EXPECT_EQ(about->text(), QStringLiteral("\"TalvekConfig 4.2.7\""));
    EXPECT_FALSE(about->iconPixmap().isNull());

    settings.writeNumber("adminMode", 1);
    MainDlg admin(settings);
    EXPECT_TRUE(control(admin, IdMainServerGroup)->isEnabled());
    EXPECT_FALSE(control(admin, IdMainConnect)->isEnabled());
    admin.setConnectAction([] {});
    EXPECT_TRUE(control(admin, IdMainConnect)->isEnabled());
}

TEST(MainDlgWindow, MaintenanceOpensTheChosenFileAndReturns) {
    TestSupport::TempDir dir;
    const std::string base = dir.file("server.key_base");
    {
        KeyBase keys;
        ASSERT_TRUE(keys.addChannel(TestSupport::completeChannel("server", "user", true, true)));
        ASSERT_TRUE(keys.saveBase(base));
    }
    const std::string junk = dir.file("readme.txt");
    TestSupport::writeText(junk, "not a key file");

    TestSupport::MemorySettingsStore settings;
    MainDlg dlg(settings);
    QStringList treeTexts;
    ModalScript script;
    auto clickMaintain = [](QDialog* d) {
        qobject_cast<QPushButton*>(control(*d, IdMainMaintain))->click();
    };
    script.onDialog(QStringLiteral("MainDlg"), clickMaintain)
        .chooseFile(QString())  // cancelled: back in the main dialog
        .onDialog(QStringLiteral("MainDlg"), clickMaintain)
        .chooseFile(QString::fromStdString(junk))
        .answer(QStringLiteral("OK"))
        .onDialog(QStringLiteral("MainDlg"), clickMaintain)
        .chooseFile(QString::fromStdString(base))
        .onDialog(QStringLiteral("UtilsDlg"),
                  [&treeTexts](QDialog* d) {
                      auto* tree = d->findChild<QTreeWidget*>(QStringLiteral("1014"));
                      QTreeWidgetItem* root = tree->topLevelItem(0);
                      treeTexts << root->text(0);
                      for (int i = 0; i < root->childCount(); ++i)
                          treeTexts << root->child(i)->text(0);
                      d->reject();
                  })
        .onDialog(QStringLiteral("MainDlg"),
                  [](QDialog* d) { qobject_cast<QPushButton*>(control(*d, IdMainExit))->click(); });
    EXPECT_EQ(dlg.exec(), 1);
    EXPECT_FALSE(script.timedOut());
    EXPECT_EQ(script.messages(), (std::vector<std::string>{"Ошибка открытия базы ключей!"}));
    ASSERT_EQ(script.fileDialogs.size(), 3u);
    // The last filter shows every file, whatever the runner makes of "*.*".
    EXPECT_EQ(script.fileDialogs[0].rfind(
                  "Серверные базы ключей (*.key_base)|Пользовательские ключи (*.bin)|Открытые "
                  "части ключей (*.okp)|All Files (*",
                  0),
              0u);
    EXPECT_EQ(treeTexts, (QStringList{QString::fromStdString(base), "server : user"}));
}

}  // namespace
