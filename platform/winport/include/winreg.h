// Registry: an in-memory hive. Key and value names compare without regard to case; values
// enumerate in the order they were created.
#pragma once

#include "windef.h"
#include "winerror.h"

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

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

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

extern "C" {

WINPORT_API LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                                         PHKEY result);
WINPORT_API LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved,
                                           LPWSTR keyClass, DWORD options, REGSAM desired,
                                           const LPSECURITY_ATTRIBUTES security, PHKEY result,
                                           LPDWORD disposition);
WINPORT_API LSTATUS WINAPI RegCloseKey(HKEY key);
WINPORT_API LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved,
                                            LPDWORD type, LPBYTE data, LPDWORD dataSize);
WINPORT_API LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                          const BYTE* data, DWORD dataSize);
WINPORT_API LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName);
WINPORT_API LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey);
WINPORT_API LSTATUS WINAPI RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classSize,
                                            LPDWORD reserved, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                                            LPDWORD maxClassLen, LPDWORD values,
                                            LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                            LPDWORD securityDescriptor, PFILETIME lastWriteTime);
WINPORT_API LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName,
                                         LPDWORD valueNameSize, LPDWORD reserved, LPDWORD type,
                                         LPBYTE data, LPDWORD dataSize);
WINPORT_API LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize,
                                         LPDWORD reserved, LPWSTR keyClass, LPDWORD classSize,
                                         PFILETIME lastWriteTime);

}  // extern "C"
