// The registry service: the six registry operations that Quillfix uses, with
// the types and constants that go with them.
//
// On Windows this is the platform's own <windows.h>. Elsewhere it declares
// the same names with the same signatures; the operations are then carried
// out by the current regservice::Registry (see regservice/registry.h), which
// by default is the current user's hive of a Wine prefix.
//
// Every other part of the project includes this header for the registry.
#ifndef QUILLFIX_REGSERVICE_REGSERVICE_H_
#define QUILLFIX_REGSERVICE_REGSERVICE_H_

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else  // !_WIN32

#include <stdint.h>

typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int BOOL;
typedef unsigned char BYTE;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;
typedef char CHAR;
typedef const CHAR* LPCSTR;
typedef CHAR* LPSTR;
typedef DWORD* LPDWORD;
typedef const BYTE* LPCBYTE;
typedef BYTE* LPBYTE;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// Opaque handle to an open key. Null means none.
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

// The current user's root: usable without opening, never really closed.
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)

// Results. Zero is success; the others are the failures the service returns.
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_MORE_DATA 234L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_IO_FAILED 1016L

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// Access rights.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#ifdef __cplusplus
extern "C" {
#endif

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                   REGSAM samDesired, PHKEY phkResult);
LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                    DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass,
                      LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                      LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime);
LONG RegCloseKey(HKEY hKey);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32

#endif  // QUILLFIX_REGSERVICE_REGSERVICE_H_
