// Windows process and resource functions the program hands to its
// framework: the module handle, the raw command line, string resources.
//
// On Windows these are the platform's. Elsewhere: the "module" is the
// running executable, whose string table the program supplies by defining
// winshim::kModuleStringTable (see winshim/resources.h).
#ifndef QUILLFIX_WINSHIM_PROCESS_H_
#define QUILLFIX_WINSHIM_PROCESS_H_

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else  // !_WIN32

#include <stdint.h>

typedef uint32_t UINT;
typedef int BOOL;
typedef char CHAR;
typedef const CHAR* LPCSTR;
typedef CHAR* LPSTR;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// With a null name, the handle of the running executable (never null).
// Other modules are not known: null.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);

// The process's command line as one string, built from its arguments and
// quoted the Windows way (so that it splits back into the same arguments).
// Lives as long as the process.
LPSTR GetCommandLineA(void);

// Copies string resource `uID` of module `hInstance` (null or the
// executable's handle) into `lpBuffer`, cut to `cchBufferMax` - 1 bytes and
// terminated. Returns the number of bytes copied, 0 when there is no such
// string (the buffer then holds an empty string).
int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer,
                int cchBufferMax);

#endif  // _WIN32

#endif  // QUILLFIX_WINSHIM_PROCESS_H_
