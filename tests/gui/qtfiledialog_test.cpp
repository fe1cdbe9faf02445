#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

#include "gui/qtfiledialog.h"
#include "support/modalscript.h"
#include "support/tempdir.h"

using namespace Talvek;
using TestSupport::ModalScript;

namespace {

QLineEdit* nameEdit(QWidget* w) {
    return w->findChild<QLineEdit*>("fileNameEdit");
}

}  // namespace

TEST(QtFileDialog, RealDialogShowsTheRequestAndReturnsTheTypedPath) {
    TestSupport::TempDir dir;
    const QString base = QString::fromStdString(dir.path());
    QtFileDialogRunner runner;

    FileDialogRequest save;
    save.forOpening = false;
    save.title = "Выберите файл для записи";
    save.initialDir = dir.path() + "/";
    save.filters = {{"Html file (*.html)", "*.html"}, {"All Files (*.*)", "*.*"}};
    save.initialName = "Export.html";
    save.defaultExt = ".html";

    QString shownTitle, shownFilter, shownName, shownDir, warning, nameAfterAllFiles;
    Qt::TextFormat warningFormat = Qt::AutoText;
    QStringList shownFilters;
    QFileDialog::AcceptMode shownMode = QFileDialog::AcceptOpen;
    bool confirmsOverwrite = true;
    ModalScript script(15000);
    script
        .onNext([&](QWidget* w) {
            auto* d = qobject_cast<QFileDialog*>(w);
            ASSERT_NE(d, nullptr);
            shownTitle = d->windowTitle();
            shownFilters = d->nameFilters();
            shownFilter = d->selectedNameFilter();
            shownDir = d->directory().absolutePath();
            shownMode = d->acceptMode();
            confirmsOverwrite = !d->testOption(QFileDialog::DontConfirmOverwrite);
            ASSERT_NE(nameEdit(d), nullptr);
            shownName = nameEdit(d)->text();
            // Choosing every file keeps the typed name as it is.
            d->selectNameFilter(d->nameFilters().last());
            nameAfterAllFiles = nameEdit(d)->text();
            // A folder that does not exist is refused with a warning that
            // shows the typed path as text, not as markup.
            nameEdit(d)->setText(base + "/<i>missing</i>/x.html");
            static_cast<QDialog*>(d)->accept();
        })
        .onNext([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            warning = box->text();
            warningFormat = box->textFormat();
            box->accept();
        })
        .onNext([&](QWidget* w) {
            auto* d = qobject_cast<QFileDialog*>(w);
            ASSERT_NE(d, nullptr);
            // Typed without an extension: the default one is added.
            nameEdit(d)->setText("report");
            static_cast<QDialog*>(d)->accept();
        });
    std::string chosen;
    ASSERT_TRUE(runner.run(save, chosen));
    EXPECT_FALSE(script.timedOut());
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(chosen, dir.path() + "/report.html");
    EXPECT_EQ(shownTitle, "Выберите файл для записи");
    // "*.*" lists every file, also names without a dot.
    EXPECT_EQ(shownFilters, QStringList({"Html file (*.html)", "All Files (*)"}));
    EXPECT_EQ(nameAfterAllFiles, "Export.html");
    EXPECT_EQ(shownFilter, "Html file (*.html)");
    EXPECT_EQ(shownDir, base);
    EXPECT_EQ(shownName, "Export.html");
    EXPECT_EQ(shownMode, QFileDialog::AcceptSave);
    EXPECT_FALSE(confirmsOverwrite);
    EXPECT_TRUE(warning.contains(base + "/<i>missing</i>")) << warning.toStdString();
    EXPECT_EQ(warningFormat, Qt::PlainText);
    EXPECT_FALSE(TestSupport::exists(chosen));

    // Opening also takes a file that does not exist yet; cancelling gives nothing.
    FileDialogRequest open;
    open.title = "Выберите файл";
    open.initialDir = dir.path() + "/";
    open.filters = {{"Открытые части ключей (*.okp)", "*.okp"}};
    ModalScript openScript(15000);
    openScript
        .onNext([&](QWidget* w) {
            nameEdit(w)->setText("new.okp");
            qobject_cast<QDialog*>(w)->accept();
        })
        .onNext([&](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
    chosen.clear();
    ASSERT_TRUE(runner.run(open, chosen));
    EXPECT_EQ(chosen, dir.path() + "/new.okp");
    chosen = "keep";
    EXPECT_FALSE(runner.run(open, chosen));
    EXPECT_EQ(chosen, "keep");
    EXPECT_FALSE(openScript.timedOut());
    EXPECT_TRUE(openScript.finished());
}
