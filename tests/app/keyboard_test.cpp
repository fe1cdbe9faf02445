// Every window worked from the keyboard alone: each control a user can work
// is reached by Tab and is announced by what it does. Walked offscreen over
// the main dialog, every page of both wizards and the maintenance dialog.

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <QWizard>

#include <gtest/gtest.h>

#include <set>

#include "app/maindlg.h"
#include "connectwizard/connectwizard.h"
#include "gui/qtfiledialog.h"
#include "keystore/keybase.h"
#include "keywizard/createkeywizard.h"
#include "maintenance/qtutilsdlg.h"
#include "support/accessibletree.h"
#include "support/memorysettingsstore.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

namespace {

using namespace Talvek;

QWidget* focusTarget(QWidget* w) {
    while (w->focusProxy()) w = w->focusProxy();
    return w;
}

// The controls a user works: enabled, shown, and not a part of another
// control (a spin box's or a combo box's own edit field).
std::vector<QWidget*> workedControls(QWidget& window) {
    std::vector<QWidget*> controls;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&window) || !w->isEnabled()) continue;
        const bool kind = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                          qobject_cast<QComboBox*>(w) || qobject_cast<QTreeView*>(w) ||
                          qobject_cast<QSpinBox*>(w);
        if (!kind) continue;
        QWidget* parent = w->parentWidget();
        if (qobject_cast<QAbstractSpinBox*>(parent) || qobject_cast<QComboBox*>(parent)) continue;
        controls.push_back(w);
    }
    return controls;
}

// Where Tab takes the focus, round the window once from where it is.
std::set<QWidget*> tabRound(QWidget& window) {
    std::set<QWidget*> reached;
    QWidget* start = QApplication::focusWidget();
    if (!start) return reached;
    reached.insert(start);
    for (int i = 0; i < 200; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        if (!now || now->window() != &window || now == start) break;
        reached.insert(now);
    }
    return reached;
}

// Tab stops on one option of a group (the chosen one) and the arrows move
// among them: an option is reached when its group is.
bool reachedByTab(QWidget* control, const std::set<QWidget*>& reached) {
    if (reached.count(focusTarget(control))) return true;
    auto* option = qobject_cast<QAbstractButton*>(control);
    if (!option || !option->isCheckable()) return false;
    std::vector<QAbstractButton*> group;
    if (QButtonGroup* buttons = option->group()) {
        const auto list = buttons->buttons();
        group.assign(list.begin(), list.end());
    } else if (option->autoExclusive() && option->parentWidget()) {
        for (auto* b :
             option->parentWidget()->findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly)) {
            if (b->autoExclusive()) group.push_back(b);
        }
    }
    for (QAbstractButton* b : group) {
        if (b != option && reached.count(b)) return true;
    }
    return false;
}

// Announced by what it does: a name of its own, a label whose buddy it is,
// or a text it shows.
bool announced(QWidget* control, QWidget& window) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(control);
    if (face && !TestSupport::isMeaninglessName(TestSupport::spokenName(face))) return true;
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->buddy() == control && !TestSupport::isMeaninglessName(label->text()))
            return true;
    }
    auto* button = qobject_cast<QAbstractButton*>(control);
    return button && !TestSupport::isMeaninglessName(button->text());
}

// Nothing the keyboard cannot reach and nothing that says nothing; each
// named by kind and object name in the failure message.
void expectWorkableByKeyboard(QWidget& window) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QApplication::processEvents();
    const std::vector<QWidget*> controls = workedControls(window);
    EXPECT_FALSE(controls.empty());
    const std::set<QWidget*> reached = tabRound(window);
    std::vector<std::string> unreached, silent;
    for (QWidget* control : controls) {
        const std::string what = std::string(control->metaObject()->className()) + " '" +
                                 control->objectName().toStdString() + "'";
        if (!reachedByTab(control, reached)) unreached.push_back(what);
        if (!announced(control, window)) silent.push_back(what);
    }
    EXPECT_EQ(unreached, std::vector<std::string>{}) << "not reached by Tab";
    EXPECT_EQ(silent, std::vector<std::string>{}) << "announced by no name";
    window.hide();
}

// The administrator's edition with a connection to offer: every section open.
TEST(Keyboard, MainDialog) {
    TestSupport::MemorySettingsStore settings;
    settings.numbers["adminMode"] = 1;
    MainDlg dlg(settings);
    dlg.setConnectAction([] {});
    expectWorkableByKeyboard(dlg);
}

// The administrator's edition: every option of the wizards is open.
TEST(Keyboard, EveryPageOfBothWizards) {
    TestSupport::MemorySettingsStore settings;
    settings.numbers["adminMode"] = 1;
    settings.numbers["sing"] = 1;
    settings.numbers["java"] = 1;
    QtFileDialogRunner files(nullptr);
    for (int page = KeyTypePage; page < KeyWizardPageCount; ++page) {
        SCOPED_TRACE("key wizard page " + std::to_string(page));
        CreateKeyWizard wizard(settings, files);
        wizard.setStartId(page);
        expectWorkableByKeyboard(wizard);
    }
    for (int page = ConnectPage; page < ConnectWizardPageCount; ++page) {
        SCOPED_TRACE("connect wizard page " + std::to_string(page));
        ConnectWizard wizard(settings, files);
        wizard.setStartId(page);
        expectWorkableByKeyboard(wizard);
    }
}

TEST(Keyboard, MaintenanceDialog) {
    TestSupport::TempDir dir;
    const std::string path = dir.file("server.key_base");
    {
        KeyBase base;
        base.addChannel(TestSupport::completeChannel("server", "anna", true, true, 512, 0));
        ASSERT_TRUE(base.saveBase(path));
    }
    TestSupport::MemorySettingsStore settings;
    QtUtilsDlg dlg(path, settings);
    ASSERT_TRUE(dlg.load());
    dlg.tree()->setCurrentItem(dlg.tree()->topLevelItem(0)->child(0));
    expectWorkableByKeyboard(dlg);
}

}  // namespace
