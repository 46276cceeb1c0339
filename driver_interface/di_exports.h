#pragma once

#include <windows.h>
#include <oleauto.h>

#include "driver_interface/driver_interface.h"

// The DI_ exports as the library implements them. The DLL exports each under
// its MSVC-decorated name (exports/driver_interface.def); hosts reach them with
// GetProcAddress. Every function accepts a null handle (false, 0 or null, or no
// effect), and nothing thrown inside ever unwinds into the host: anything that
// escapes an operation, allocation failure included, gives the same result as a
// null handle. Text results are BSTRs the caller frees with SysFreeString; an
// empty text is null, never an empty BSTR.
extern "C" {
// The interface for a printer the host opened; the printer handle stays the
// host's and must outlive the interface. Null only when the object cannot be
// created.
HDRIVERINTERFACE DI_Open_impl(void* printer);
// Destroys the interface; the printer handle is not closed.
void DI_Close_impl(HDRIVERINTERFACE handle);
bool DI_IsCommandSupported_impl(HDRIVERINTERFACE handle, int command);
// True only when the command is supported and has a user interface.
bool DI_IsCommandUI_impl(HDRIVERINTERFACE handle, int command);
void DI_Command_impl(HDRIVERINTERFACE handle, int command);
// The window comes before the command number.
void DI_CommandUI_impl(HDRIVERINTERFACE handle, HWND parent, int command);
BSTR DI_GetPrinterStatusText_impl(HDRIVERINTERFACE handle);
unsigned long DI_GetPrinterStatusFlags_impl(HDRIVERINTERFACE handle);
unsigned long DI_GetPrinterExtendedStatusFlags_impl(HDRIVERINTERFACE handle);
BSTR DI_GetPrinterDriverVersion_impl(HDRIVERINTERFACE handle);
BSTR DI_GetPrinterDriverDate_impl(HDRIVERINTERFACE handle);
}
