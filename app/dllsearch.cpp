#include "app/dllsearch.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00 // SetDefaultDllDirectories needs Windows 8 or later
#endif
#include <windows.h>

void restrictDllSearch()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}
#else
void restrictDllSearch() { }
#endif
