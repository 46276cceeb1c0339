/* A host in plain C for the MSVC ABI (clang, lld-link, no C runtime): calls
 * every QVDI_ export on the printer and prints the answers, for the test to
 * compare with the object's. Arguments: a settings file, then the printer. */
#include "quorvel_driver_utility.h"

#include "msvc_host.h"

static void Put(const void* data, unsigned long size) {
    unsigned long written;
    WriteFile(GetStdHandle((unsigned long)-11), data, size, &written, 0);
}

/* A number and a blank. */
static void N(unsigned long value) {
    char text[16];
    Put(text, (unsigned long)wsprintfA(text, "%lu ", value));
}

/* A response as answer, last error, size and bytes; then "|". */
static void Response(HDRIVERINTERFACE driver, const wchar_t* id, unsigned long capacity) {
    unsigned char buffer[64];
    unsigned long size = capacity;
    int ok = QVDI_GetDalQueryResponse(driver, id, buffer, &size);
    unsigned long error = GetLastError(); /* before writing */
    N(ok), N(error), N(size);
    Put(buffer, ok ? size : 0);
    Put("|", 1);
}

int mainCRTStartup(void) {
    static const unsigned char kData[] = "flat query";
    const unsigned long job = 999999;
    wchar_t *path = Arguments(), *name, *text;
    void* printer = 0;
    for (name = path; *name != 0 && *name != L' '; ++name) {
    }
    *name++ = 0;
    void* library = GetModuleHandleW(L"QuorvelDriverUtility.dll");
    QV_PFN_DI_OPEN open = (QV_PFN_DI_OPEN)GetProcAddress(library, QV_EXPORT_DI_OPEN);
    QV_PFN_DI_CLOSE close = (QV_PFN_DI_CLOSE)GetProcAddress(library, QV_EXPORT_DI_CLOSE);
    if (open == 0 || close == 0 || !OpenPrinterW(name, &printer, 0)) {
        return 100;
    }
    HDRIVERINTERFACE driver = open(printer);
    N(QVDI_IsAdvanced(driver)), N(QVDI_IsBidiEnabled(driver));
    N(QVDI_GetPrinterStatusSeverity(driver));
    N(QVDI_HasPrinterStatus(driver, 101)), N(QVDI_HasPrinterStatus(driver, 201));
    N(QVDI_GetStatusProvenance(driver, 0));
    text = QVDI_GetJobStatusText(driver, 42);
    for (int at = 0; text != 0 && text[at] != 0; ++at) {
        Put(&text[at], 1); /* ASCII: the low byte */
    }
    Put("|", 1);
    SysFreeString(text);
    N(QVDI_ExportSettings(driver, path, 0)), N(QVDI_ResetSettings(driver, 2));
    N(QVDI_ImportSettings(driver, path, 1));
    N(QVDI_SendFile(driver, L"C:\\no\\such.prn", L"flat"));
    N(QVDI_PauseJob(driver, job)), N(QVDI_ResumeJob(driver, job));
    N(QVDI_RestartJob(driver, job)), N(QVDI_SetJobPriority(driver, job, 5));
    N(QVDI_SetJobStartTime(driver, job, 60)), N(QVDI_SetJobUntilTime(driver, job, 120));
    N(QVDI_DeleteJob(driver, job));
    N(QVDI_SendDalQuery(driver, kData, 4, L"c-1", 100, -5, 0));
    N(QVDI_SendDalQueryEx(driver, kData, 10, L"c-2", 100, -5, 0, L"<end>&", 1));
    N(QVDI_GetDalQueryStatus(driver, L"c-1")), N(QVDI_GetDalQueryStatus(driver, L"c-3"));
    Response(driver, L"c-2", 3); /* too small */
    Response(driver, L"c-2", 64);
    Response(0, L"c-2", 64);
    int ok = QVDI_GetDalQueryResponse(driver, L"c-1", 0, 0);
    unsigned long error = GetLastError();
    N(ok), N(error);
    N(QVDI_GetPrinterStatusSeverity(0));
    close(driver);
    ClosePrinter(printer);
    ExitProcess(0); /* the library's network threads would keep a returning process alive */
    return 0;
}
