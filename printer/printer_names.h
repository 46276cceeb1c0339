#pragma once

#include "core/ostring.h"

// Where a printer lives and what it is called there, worked out from the
// spooler's answers alone: no spooler or system calls of their own, so each
// rule is tested as a table.

// Whether a PRINTER_INFO_4 server name points to another machine than this
// computer; if so, server is that machine's name in lower case. A name starts
// with "\\", or with "\\CSR|" for a printer of this machine seen through a
// terminal-services client redirection; a name with neither, and an empty
// one, stand for this computer. With this computer's name unknown (empty)
// nothing counts as another machine. server is untouched when false.
bool ForeignServerOf(const OString& serverName, const OString& computerName, OString& server);

// Where a printer's PRINTER_INFO_2 facts place it.
struct PrinterPlace {
    OString serverName;  // without leading backslashes
    OString shareName;
    OString shortName;  // the printer name without its "\\server\" part
    bool remote = false;
};

// A server name makes the printer remote (its leading backslashes trimmed);
// else a port "\\host\queue" does, naming the server and the share; else the
// printer is local and its server is this computer (empty when unknown). The
// share name stands unless the port names one. The short name is what follows
// the first backslash from the printer name's third character on, or the whole
// name.
PrinterPlace PlaceOf(const OString& serverName, const OString& shareName, const OString& portName,
                     const OString& printerName, const OString& computerName);

// A driver's model, named by its data file: the family is the file name's
// first 3 characters, the code the next 2, both lower case (shorter names give
// shorter or empty parts).
struct PrinterModel {
    OString family;
    OString code;
};

PrinterModel ModelOf(const OString& dataFileName);
