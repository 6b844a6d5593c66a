#include "stub.h"
STUB(HMODULE, nullptr, GetModuleHandleW, (LPCWSTR))
STUB(HRSRC, nullptr, FindResourceW, (HMODULE, LPCWSTR, LPCWSTR))
STUB(HGLOBAL, nullptr, LoadResource, (HMODULE, HRSRC))
STUB(LPVOID, nullptr, LockResource, (HGLOBAL))
STUB(DWORD, 0, SizeofResource, (HMODULE, HRSRC))
STUB(int, 0, LoadStringW, (HINSTANCE, UINT, LPWSTR, int))
STUB(HICON, 0, LoadIconW, (HINSTANCE, LPCWSTR))
