#include "app/commandline.h"

#include <QCommandLineParser>
#include <QFile>

#include "maintenance/qtutilsdlg.h"

namespace Talvek {

StartRequest readCommandLine(const QStringList& arguments) {
    StartRequest request;
    // --help and --version are answered before Qt starts (main.cpp); here
    // every option is unknown, and "--" lets a file's name begin with "-".
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("a key file"));
    if (!parser.parse(QStringList{QStringLiteral("talvekconfig")} + arguments)) {
        request.action = StartRequest::Refuse;
        // Named as it was typed, one dash or two.
        QString typed = parser.errorText();
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            for (const QString& argument : arguments) {
                if (argument == QLatin1String("--")) break;
                const QString bare = argument.section(QLatin1Char('='), 0, 0);
                if (bare == QLatin1Char('-') + unknown[0] || bare == QLatin1String("--") + unknown[0]) {
                    typed = bare;
                    break;
                }
            }
        }
        request.error = QStringLiteral("unknown option %1").arg(typed);
        return request;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        request.action = StartRequest::Refuse;
        request.error = QStringLiteral("one key file at a time, not %1").arg(files.size());
    } else if (files.size() == 1) {
        if (files[0].isEmpty()) {
            request.action = StartRequest::Refuse;
            request.error = QStringLiteral("the key file's name is empty");
        } else {
            request.action = StartRequest::Maintain;
            request.file = files[0];
        }
    }
    return request;
}

int runMaintenanceOnFile(const QString& path, SettingsStore& settings) {
    // The dialog takes the path in the file system's own encoding.
    QtUtilsDlg dialog(QFile::encodeName(path).toStdString(), settings);
    if (!dialog.load()) return 1;
    dialog.exec();
    return 0;
}

}  // namespace Talvek
