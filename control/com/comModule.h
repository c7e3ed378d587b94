// The DLL's shared state: its module handle, the count of live objects and
// locks (DllCanUnloadNow), the type library, and the control's class.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>

namespace qvcom {

HINSTANCE moduleHandle();
std::wstring modulePath();
void objectCreated();
void objectDestroyed();
void lockModule(bool lock);
bool moduleInUse();

// The type library inside this DLL (resource TYPELIB 1); the caller releases
// the returned type info.
HRESULT typeInfoOf(REFGUID guid, ITypeInfo** info);

// Creates a Record control for the class factory.
HRESULT createRecordControl(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace qvcom
