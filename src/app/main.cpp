// TalvekConfig: the whole program is its main dialog; the exit code is the
// code that dialog ends with (1 after "Выход", 2 after Escape or the close box).
// Given a key file, it is that file's maintenance dialog instead.

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <new>

#include "app/commandline.h"
#include "app/maindlg.h"
#include "gui/pictures.h"
#include "gui/settingsstore.h"
#include "connectwizard/connectwizard.h"
#include "fileio/processguard.h"
#include "keystore/version.h"

namespace {

int run(int argc, char** argv) {
    // Answered before any window system is touched, so it works over ssh and
    // in scripts that check what is installed.
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
        std::printf("talvekconfig %s\n", Talvek::kVersion);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "Usage: talvekconfig [FILE | --version | --help]\n"
            "Creates and maintains the RSA keys of the Talvek security layer in a window;\n"
            "with a key file FILE, shows that file in the maintenance dialog.\n"
            "See talvekconfig(1); talvekkey(1) does the same from the command line.\n");
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TalvekConfig"));
    QApplication::setOrganizationName(QStringLiteral("Brenlow"));
    QApplication::setApplicationVersion(QLatin1String(Talvek::kVersion));
    QGuiApplication::setDesktopFileName(QStringLiteral("talvekconfig"));
    QApplication::setWindowIcon(Talvek::programIcon());

    // The program speaks Russian; Qt's own texts (file dialogs, context
    // menus) follow when the translation is installed.
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);

    Talvek::QtSettingsStore settings;
    const Talvek::StartRequest start = Talvek::readCommandLine(QApplication::arguments().mid(1));
    if (start.action == Talvek::StartRequest::Refuse) {
        std::fprintf(stderr, "talvekconfig: %s\nUsage: talvekconfig [FILE]\n",
                     qPrintable(start.error));
        return 2;
    }
    if (start.action == Talvek::StartRequest::Maintain)
        return Talvek::runMaintenanceOnFile(start.file, settings);

    Talvek::MainDlg dialog(settings);
    // "Соединиться..." runs the connection wizard; the dialog keeps it
    // greyed unless the administrator edition is on ("adminMode" = 1).
    dialog.setConnectAction([&] { Talvek::runConnectWizard(settings, &dialog); });
    return dialog.exec();
}

}  // namespace

int main(int argc, char** argv) {
    // A crash dump would hold the private keys of every base opened.
    Talvek::disableCoreDumps();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("talvekconfig: out of memory\n", stderr);
        return 1;
    }
}
