// The device's traces DriverPrep acts on, shared with the setup package's preview (SetupRollback
// /preview), so that what the preview reports is what DriverPrep decides, by the same code.
#pragma once

#include <wchar.h>
#include <windows.h>

// Where Windows records the device's instances (HKLM), and how many it records there: 0 also when
// the key cannot be opened for reading, which reads as nothing recorded.
extern const wchar_t kDeviceKeyPath[];
DWORD RecordedDeviceInstances();

// The purge's walk of the INF store: every "oem*.inf" entry of %WINDIR%\inf whose text `names`
// says names the device, given to `act` with the paths the purge deletes it by: its long form (or
// the path as built) and its ".pnf" twin ("" when the name does not end in ".inf"). An entry whose
// paths would not fit is passed over. `names` is called with the entry's path and `context`.
typedef int (*StaleCopyTest)(const wchar_t *path, void *context);
typedef void (*StaleCopyAction)(const wchar_t *path, const wchar_t *twinPath, void *context);
void WalkStaleCopies(StaleCopyTest names, StaleCopyAction act, void *context);
