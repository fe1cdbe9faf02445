#pragma once
// Every talvekkey command, one accessor each; command.cpp lists them in one
// table, so a new command is added there and nowhere else.

#include "cli/command.h"

namespace Talvek::Cli {

const Command& deleteCommand();
const Command& dumpCommand();
const Command& exportHtmlCommand();
const Command& exportPemCommand();
const Command& exportPublicCommand();
const Command& fetchCommand();
const Command& importUserCommand();
const Command& inspectCommand();
const Command& interfacesCommand();
const Command& javaCommand();
const Command& openCommand();
const Command& sealCommand();
const Command& serverKeyCommand();
const Command& uploadCommand();
const Command& userKeyCommand();

}  // namespace Talvek::Cli
