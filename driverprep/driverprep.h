// DriverPrep: the preparation sequence and its stages.
#pragma once

// Step results: what a stage tells the sequence, and the process exit status.
enum { kStepStop = 0, kStepGoOn = 1 };

// Runs the stages in order and returns the exit status: 1 when the installation may go on (the
// stages ran), 0 when a recorded Brellan device instance stopped it.
int RunPreparation();

// Returns 0 after telling the user to uninstall the device when its USB enumeration key holds at
// least one instance; 1 otherwise, including when the key cannot be opened.
int DeviceCheck();

// Shows the "Installing" notice and returns once it has closed, by itself half a second after it
// is up or by the user, and its worker thread has ended.
void ShowInstallingNotice();

// Whether the file's text names the device's hardware ID: 1 if it does, 0 if not or when it
// cannot be opened or read (then after a "ReadFile Failed" box).
int InfMentionsDevice(const wchar_t *path);

// Deletes every OEM INF copy in the Windows INF store whose text names the device, with its
// ".pnf" twin. Failures leave files in place and never stop the installation.
void PurgeStaleInfs();
