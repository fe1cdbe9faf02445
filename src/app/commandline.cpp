#include "app/commandline.h"

#include <QFile>

#include "maintenance/qtutilsdlg.h"

namespace Talvek {

StartRequest readCommandLine(const QStringList& arguments) {
    StartRequest request;
    QStringList files;
    bool options = true;
    for (const QString& argument : arguments) {
        if (options && argument == QLatin1String("--")) {
            options = false;
        } else if (options && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            request.action = StartRequest::Refuse;
            request.error = QStringLiteral("unknown option %1").arg(argument);
            return request;
        } else {
            files << argument;
        }
    }
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
