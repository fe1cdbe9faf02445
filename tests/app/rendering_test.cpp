// The dialogs as a user sees them: rendered offscreen, every text fits its
// control and every picture is there. With TALVEK_SCREENSHOT_DIR set the
// renderings are also saved as PNG files (the user guide's screenshots).

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "app/maindlg.h"
#include "gui/messagebox.h"
#include "gui/qtfiledialog.h"
#include "connectwizard/connectwizard.h"
#include "gui/settingsstore.h"
#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "maintenance/qtutilsdlg.h"
#include "support/accessibletree.h"
#include "support/memorysettingsstore.h"
#include "support/tempdir.h"
#include "support/testkeys.h"
#include "keywizard/createkeywizard.h"

namespace {

using namespace Talvek;

void save(QWidget& widget, const QString& name) {
    const QString dir = qEnvironmentVariable("TALVEK_SCREENSHOT_DIR");
    QPixmap picture = widget.grab();
    ASSERT_FALSE(picture.isNull());
    if (!dir.isEmpty()) {
        ASSERT_TRUE(picture.save(QDir(dir).filePath(name)));
    }
}

// Buttons and labels show their whole text: nothing is cut by a layout that
// is too tight.
void expectTextsFit(QWidget& dialog) {
    for (QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
        if (!button->isVisible()) continue;
        if (button->minimumWidth() == button->maximumWidth()) {
            // Narrowed on purpose ("..."): below the style's least width,
            // but the text and the button's margins still fit.
            const int margins =
                2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
            EXPECT_GE(button->width(),
                      button->fontMetrics().horizontalAdvance(button->text()) + margins)
                << button->text().toStdString();
            continue;
        }
        EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString();
    }
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty()) continue;
        if (label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << label->text().toStdString();
        } else {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        }
    }
}

// Assistive tools, and whoever drives the program through them, find a
// button or a label by the text it shows: its accessible name must be that
// text (without the mnemonic's "&"), not a name of its own.
void expectNamedByTheirText(QWidget& dialog) {
    auto nameOf = [](QWidget* w) {
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
        return face ? face->text(QAccessible::Name).toStdString() : std::string();
    };
    for (QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
        if (button->text().isEmpty()) continue;
        // A text that says nothing ("...") is no name: such a button is
        // named by what it chooses, which the windows' own tests check.
        if (TestSupport::isMeaninglessName(button->text())) continue;
        EXPECT_EQ(nameOf(button), QString(button->text()).remove(QLatin1Char('&')).toStdString());
    }
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        EXPECT_EQ(nameOf(label), QString(label->text()).remove(QLatin1Char('&')).toStdString());
    }
}

// The window lies on its screen and shows each button and group box whole:
// a window shorter than its layout cuts off what comes last. On a small
// screen at a large scale only the layout's minimum keeps it whole.
void expectWhollyShown(QWidget& window) {
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
        EXPECT_EQ(window.devicePixelRatioF(), qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    }
    const QSize screen = window.screen()->availableGeometry().size();
    EXPECT_LE(window.width(), screen.width());
    EXPECT_LE(window.height(), screen.height());
    const QRect shown = window.rect();
    for (QWidget* part : window.findChildren<QWidget*>()) {
        if (!part->isVisibleTo(&window)) continue;
        if (!qobject_cast<QAbstractButton*>(part) && !qobject_cast<QGroupBox*>(part)) continue;
        const QRect place(part->mapTo(&window, QPoint(0, 0)), part->size());
        EXPECT_TRUE(shown.contains(place))
            << part->objectName().toStdString() << " at " << place.x() << "," << place.y() << " "
            << place.width() << "x" << place.height() << " in " << shown.width() << "x"
            << shown.height();
        if (auto* box = qobject_cast<QGroupBox*>(part); box && box->hasHeightForWidth()) {
            EXPECT_GE(box->height(), box->heightForWidth(box->width()))
                << box->title().toStdString();
        }
    }
}

std::string cp1251(const char* utf8) {
    std::string out;
    utf8ToCp1251(utf8, out);
    return out;
}

TEST(Rendering, MainDialogShowsEverySectionWithItsPicture) {
    TestSupport::MemorySettingsStore settings;
    MainDlg dlg(settings);
    dlg.show();
    QApplication::processEvents();
    expectTextsFit(dlg);
    expectWhollyShown(dlg);
    expectNamedByTheirText(dlg);
    EXPECT_EQ(TestSupport::unnamedControls(&dlg), std::vector<std::string>{});
    // Each section's picture is drawn.
    int pictures = 0;
    for (QLabel* label : dlg.findChildren<QLabel*>()) {
        if (label->pixmap().isNull()) continue;
        EXPECT_FALSE(label->pixmap().toImage().allGray() &&
                     label->pixmap().toImage().pixelColor(16, 16).alpha() == 0);
        ++pictures;
    }
    EXPECT_EQ(pictures, 3);
    save(dlg, QStringLiteral("main-dialog.png"));

    auto about = dlg.createAboutBox();
    about->show();
    QApplication::processEvents();
    expectTextsFit(*about);
    expectWhollyShown(*about);
    EXPECT_EQ(TestSupport::unnamedControls(about.get()), std::vector<std::string>{});
    save(*about, QStringLiteral("about.png"));
    about->hide();
    dlg.hide();
}

TEST(Rendering, MaintenanceDialogOnARealBase) {
    TestSupport::TempDir dir;
    const std::string path = dir.file("server.key_base");
    {
        KeyBase base;
        const std::string server = cp1251("Центр Orvane");
        base.addChannel(
            TestSupport::completeChannel(server, cp1251("Бухгалтерия"), true, true, 512, 0));
        base.addChannel(
            TestSupport::completeChannel(server, cp1251("Иванов И.И."), false, true, 512, 1));
        base.addChannel(
            TestSupport::ownKeysChannel(server, cp1251("Склад №2"), true, true, 512, 2));
        ASSERT_TRUE(base.saveBase(path));
    }
    TestSupport::MemorySettingsStore settings;
    QtUtilsDlg dlg(path, settings);
    ASSERT_TRUE(dlg.load());
    QTreeWidget* tree = dlg.tree();
    QTreeWidgetItem* root = tree->topLevelItem(0);
    root->child(0)->setExpanded(true);
    root->child(0)->child(2)->setExpanded(true);
    root->child(2)->setExpanded(true);
    tree->setCurrentItem(root->child(0));
    dlg.show();
    QApplication::processEvents();
    expectTextsFit(dlg);
    expectWhollyShown(dlg);
    expectNamedByTheirText(dlg);
    EXPECT_TRUE(dlg.findChild<QPushButton*>(QStringLiteral("1015"))->isEnabled());
    save(dlg, QStringLiteral("maintenance.png"));
    dlg.hide();
}

// Every page of both wizards as it opens: named controls, whole texts, and
// nothing outside the window.
TEST(Rendering, EveryWizardPageIsWhollyShownAndNamedByItsTexts) {
    TestSupport::MemorySettingsStore settings;
    QtFileDialogRunner files(nullptr);
    const auto check = [](QWizard& wizard, const char* name, int page) {
        SCOPED_TRACE(std::string(name) + " page " + std::to_string(page));
        wizard.setStartId(page);
        wizard.show();
        QApplication::processEvents();
        expectNamedByTheirText(wizard);
        expectTextsFit(wizard);
        expectWhollyShown(wizard);
        save(wizard, QStringLiteral("%1-page-%2.png").arg(QLatin1String(name)).arg(page));
        wizard.hide();
    };
    for (int page = KeyTypePage; page < KeyWizardPageCount; ++page) {
        CreateKeyWizard wizard(settings, files);
        check(wizard, "key-wizard", page);
    }
    for (int page = ConnectPage; page < ConnectWizardPageCount; ++page) {
        ConnectWizard wizard(settings, files);
        check(wizard, "connect-wizard", page);
    }
}

// The summary page while keys are generated: the bar and its text fit, and
// both are named for assistive tools.
TEST(Rendering, GenerationPageShowsItsProgress) {
    TestSupport::MemorySettingsStore settings;
    QtFileDialogRunner files(nullptr);
    CreateKeyWizard wizard(settings, files);
    // Opened on the last page: the summary as Finish leaves it while the
    // keys are generated.
    wizard.setStartId(KeySummaryPage);
    wizard.show();
    QApplication::processEvents();
    wizard.setText(KeySummaryPage, KeySummaryIds::Summary,
                   "База ключей:    \t/home/anna/userkey.bin");
    wizard.setText(KeySummaryPage, KeySummaryIds::ProgressLabel, KeyWizardTexts::Generating);
    wizard.setVisible(KeySummaryPage, KeySummaryIds::ProgressLabel, true);
    wizard.setVisible(KeySummaryPage, KeySummaryIds::Progress, true);
    WizardPageWidget* page = wizard.wizardPage(KeySummaryPage);
    QApplication::processEvents();
    auto* bar = page->findChild<QProgressBar*>(QString::number(KeySummaryIds::Progress));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->accessibleName(), "Генерация ключей...");
    EXPECT_EQ(bar->minimum(), bar->maximum());  // no measure, only motion
    expectTextsFit(*page);
    save(wizard, "generation-page.png");
}

// A failure's box: the described text, and the file and the cause under it.
TEST(Rendering, MessageBoxWithTheFileAndTheCause) {
    QMessageBox box;
    prepareMessageBox(box,
                      MessageBoxRequest{"Ошибка открытия базы ключей!", MessageIcon::Error, false,
                                        "Файл: /home/anna/server.key_base\nПричина: файл "
                                        "занят другой программой дольше 10 с.",
                                        DefaultAnswer::Yes});
    box.show();
    QApplication::processEvents();
    expectTextsFit(box);
    expectWhollyShown(box);
    save(box, "message-informative.png");
}

}  // namespace
