#pragma once
// What talvekconfig's command line asks for. Without arguments the program is
// its main dialog; a key file (as the desktop's "Open with" passes it) opens
// in the maintenance dialog alone, so a double-clicked key base shows its
// channels and closing them ends the program.

#include <QString>
#include <QStringList>

#include "gui/settingsstore.h"

namespace Talvek {

struct StartRequest {
    enum Action {
        MainDialog,  // no argument
        Maintain,    // file holds the key file
        Refuse,      // error says why; nothing is opened
    };
    Action action = MainDialog;
    QString file;
    QString error;
};

// Reads the arguments after the program's name (Qt's own options already
// taken out). "--" ends the options, so a file whose name begins with "-"
// can be given.
StartRequest readCommandLine(const QStringList& arguments);

// The maintenance dialog on path, over no window: 0 once it has shown the
// file and been closed, 1 when the file could not be opened (the dialog has
// said so in its message box).
int runMaintenanceOnFile(const QString& path, SettingsStore& settings);

}  // namespace Talvek
