// talvekconfig's command line: no argument is the main dialog, one key file
// is that file's maintenance dialog alone, anything else is refused.

#include "app/commandline.h"

#include <QApplication>
#include <QDialog>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "keystore/keybase.h"
#include "support/modalscript.h"
#include "support/tempdir.h"
#include "support/testkeys.h"
#include "support/memorysettingsstore.h"

namespace {

using namespace Talvek;
using TestSupport::ModalScript;

TEST(CommandLine, OneKeyFileOrNothingElseIsRefused) {
    struct Case {
        QStringList arguments;
        StartRequest::Action action;
        QString fileOrError;
    };
    const Case cases[] = {
        {{}, StartRequest::MainDialog, {}},
        {{"/keys/Сервер.key_base"}, StartRequest::Maintain, "/keys/Сервер.key_base"},
        {{"--", "-odd.okp"}, StartRequest::Maintain, "-odd.okp"},
        {{"-"}, StartRequest::Maintain, "-"},
        {{"--delete", "a.okp"}, StartRequest::Refuse, "unknown option --delete"},
        {{"a.okp", "-x"}, StartRequest::Refuse, "unknown option -x"},
        {{"--size=3", "a.okp"}, StartRequest::Refuse, "unknown option --size"},
        {{"a.okp", "b.okp"}, StartRequest::Refuse, "one key file at a time, not 2"},
        {{""}, StartRequest::Refuse, "the key file's name is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const StartRequest request = readCommandLine(c.arguments);
        EXPECT_EQ(request.action, c.action);
        EXPECT_EQ(c.action == StartRequest::Refuse ? request.error : request.file, c.fileOrError);
    }
}

TEST(CommandLine, KeyFileOpensInTheMaintenanceDialogAlone) {
    TestSupport::TempDir dir;
    const std::string base = dir.file("Сервер.key_base");
    {
        KeyBase keys;
        ASSERT_TRUE(keys.addChannel(TestSupport::completeChannel("server", "user", true, true)));
        ASSERT_TRUE(keys.saveBase(base));
    }
    TestSupport::MemorySettingsStore settings;
    QStringList treeTexts;
    {
        ModalScript script;
        script.onDialog(QStringLiteral("UtilsDlg"), [&treeTexts](QDialog* d) {
            auto* tree = d->findChild<QTreeWidget*>(QStringLiteral("1014"));
            treeTexts << tree->topLevelItem(0)->text(0);
            d->reject();
        });
        EXPECT_EQ(runMaintenanceOnFile(QString::fromStdString(base), settings), 0);
        EXPECT_TRUE(script.finished());
        EXPECT_FALSE(script.timedOut());
    }
    ASSERT_EQ(treeTexts.size(), 1);
    EXPECT_FALSE(treeTexts[0].isEmpty());

    const std::string junk = dir.file("readme.txt");
    TestSupport::writeText(junk, "not a key file");
    for (const std::string& path : {junk, dir.file("missing.key_base")}) {
        SCOPED_TRACE(path);
        ModalScript script;
        script.answer(QStringLiteral("OK"));
        EXPECT_EQ(runMaintenanceOnFile(QString::fromStdString(path), settings), 1);
        ASSERT_EQ(script.messages().size(), 1u);
        EXPECT_EQ(script.messages()[0], "Ошибка открытия базы ключей!");
        EXPECT_FALSE(script.timedOut());
    }
}

}  // namespace
