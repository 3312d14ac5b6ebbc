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
