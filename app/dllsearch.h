#pragma once

// From the first line of main on Windows: a DLL the process loads by name
// comes only from the program's own folder or the system folder, never from
// the current folder (the operator's, where the log goes) or along PATH,
// where anybody could plant one. Elsewhere it does nothing.
void restrictDllSearch();
