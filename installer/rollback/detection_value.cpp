// The detection value a deployment tool's rule reads (the registry's 64-bit view): kept as the run
// found it, and put back, or removed when the rest could not be put back whole (what it would
// claim may no longer be true).
#include "rollback_parts.h"

#include "install_layout.h"
#include "setup_rollback.h"

#include <string.h>

static const REGSAM kView = KEY_WOW64_64KEY;

int KeepDetectionValue(RecordWriter *record)
{
    HKEY key = NULL;
    wchar_t version[MAX_PATH];
    DWORD type = 0;
    DWORD cbVersion = sizeof version - sizeof version[0];
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDetectionKey, 0, KEY_QUERY_VALUE | kView, &key) != ERROR_SUCCESS) return 1;
    memset(version, 0, sizeof version);
    LSTATUS read = RegQueryValueExW(key, kDetectionValueName, NULL, &type, (BYTE *)version, &cbVersion);
    RegCloseKey(key);
    if (read == ERROR_SUCCESS && type == REG_SZ) AddRecord(record, kRecordVersion, 0, 0, version);
    return read == ERROR_SUCCESS || read == ERROR_FILE_NOT_FOUND;
}

void PutBackDetectionValue(const wchar_t *folder, int whole)
{
    RecordReader record;
    RecordEntry entry;
    HKEY key = NULL;
    int found = 0;
    if (whole && OpenRecord(&record, folder, kArmedName)) {
        while (!found && NextRecord(&record, &entry)) found = entry.kind == kRecordVersion;
        CloseRecord(&record);
    }
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDetectionKey, 0, NULL, 0, KEY_SET_VALUE | kView, NULL, &key, NULL) != ERROR_SUCCESS) {
        Note(L"could not open HKLM\\%ls to put back the recorded version", kDetectionKey);
        return;
    }
    if (found) {
        DWORD cb = (DWORD)((wcslen(entry.text) + 1) * sizeof(wchar_t));
        if (RegSetValueExW(key, kDetectionValueName, 0, REG_SZ, (const BYTE *)entry.text, cb) == ERROR_SUCCESS)
            Note(L"put back the recorded version %ls", entry.text);
    } else {
        (void)RegDeleteValueW(key, kDetectionValueName);   // none before, or no longer true
        if (!whole) Note(L"removed the recorded version: not everything could be put back");
    }
    RegCloseKey(key);
}
