#include "printer/printer_names.h"

#include <gtest/gtest.h>

#include "printer/terminal_session.h"

namespace {

TEST(ForeignServerOf, OnlyAnotherMachineCounts) {
    struct Row {
        const char* serverName;
        const char* computer;
        const char* foreign;  // null: this computer
        const char* note;
    } rows[] = {
        {"", "QVPC", nullptr, "no server name: a local printer"},
        {"\\\\QVPC", "QVPC", nullptr, "this computer"},
        {"\\\\qvpc", "QVPC", nullptr, "this computer in another case"},
        {"PrintSrv", "QVPC", nullptr, "no leading backslashes: taken as this computer"},
        {"\\PrintSrv", "QVPC", nullptr, "one backslash is no server prefix"},
        {"\\\\PrintSrv", "QVPC", "printsrv", "another machine, in lower case"},
        {"\\\\CSR|PrintSrv", "QVPC", "printsrv", "\\\\CSR| before another machine"},
        {"\\\\PrintSrv", "", nullptr, "this computer's name unknown"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString server("untouched");
        EXPECT_EQ(ForeignServerOf(OString(row.serverName), OString(row.computer), server),
                  row.foreign != nullptr);
        EXPECT_STREQ(server.GetNarrow(), row.foreign != nullptr ? row.foreign : "untouched");
    }
}

TEST(PlaceOf, ServerNameThenNetworkPortThenThisComputer) {
    struct Row {
        const char *serverName, *shareName, *portName, *printerName, *computer;
        const char *server, *share, *shortName;
        bool remote;
        const char* note;
    } rows[] = {
        {"", "lbl", "C:\\out.prn", "Label", "QVPC", "QVPC", "lbl", "Label", false,
         "a local printer's server is this computer"},
        {"\\\\PrintSrv", "lbl", "USB001", "\\\\PrintSrv\\Label 4", "QVPC", "PrintSrv", "lbl",
         "Label 4", true, "a print server's printer"},
        {"\\\\PrintSrv", "", "USB001", "\\\\PrintSrv\\Label\\4", "QVPC", "PrintSrv", "", "Label\\4",
         true, "only the server part leaves the short name"},
        {"", "lbl", "\\\\qvhost\\labelq", "Label", "QVPC", "qvhost", "labelq", "Label", true,
         "a port to another machine's queue names the server and the share"},
        {"", "lbl", "\\\\qvhost", "Label", "QVPC", "qvhost", "lbl", "Label", true,
         "a port naming only a host keeps the share"},
        {"\\\\PrintSrv", "", "\\\\qvhost\\labelq", "Label", "QVPC", "PrintSrv", "", "Label", true,
         "the server name wins over the port"},
        {"", "", "\\qvhost\\labelq", "Label", "QVPC", "QVPC", "", "Label", false,
         "one backslash is no network port"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        PrinterPlace place =
            PlaceOf(OString(row.serverName), OString(row.shareName), OString(row.portName),
                    OString(row.printerName), OString(row.computer));
        EXPECT_STREQ(place.serverName.GetNarrow(), row.server);
        EXPECT_STREQ(place.shareName.GetNarrow(), row.share);
        EXPECT_STREQ(place.shortName.GetNarrow(), row.shortName);
        EXPECT_EQ(place.remote, row.remote);
    }
}

TEST(ModelOf, FamilyOfThreeAndCodeOfTwoInLowerCase) {
    struct Row {
        const char *dataFile, *family, *code;
    } rows[] = {
        {"qvz42-1234.ppd", "qvz", "42"},
        {"QVa7x", "qva", "7x"},
        {"", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dataFile);
        PrinterModel model = ModelOf(OString(row.dataFile));
        EXPECT_STREQ(model.family.GetNarrow(), row.family);
        EXPECT_STREQ(model.code.GetNarrow(), row.code);
    }
}

TEST(SplitSessionPrinterName, TakesTheLastTwoSlashes) {
    struct Row {
        const char* name;
        bool ok;
        const char* clientPrinter;
        const char* client;
        const char* note;
    } rows[] = {
        {"Label/HOST-PC/Session 2", true, "Label", "HOST-PC", "the Windows 2000 form"},
        {"a/b/c/d", true, "a/b", "c", "only the last two slashes count"},
        {"Label/HOST/", true, "Label", "HOST", "empty session part"},
        {"Label//Session 2", true, "Label", "", "empty client between adjacent slashes"},
        {"Label/HOST-PC", false, "", "", "one slash"},
        {"/HOST-PC/Session 2", false, "", "", "earlier slash at index 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        OString clientPrinter;
        OString client;
        EXPECT_EQ(SplitSessionPrinterName(OString(row.name), clientPrinter, client), row.ok);
        EXPECT_STREQ(clientPrinter.GetNarrow(), row.clientPrinter);
        EXPECT_STREQ(client.GetNarrow(), row.client);
    }
}

}  // namespace
