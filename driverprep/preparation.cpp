// The fixed order of DriverPrep's stages.
#include "driverprep.h"

int RunPreparation()
{
    if (DeviceCheck() == kStepStop) return kStepStop;   // the check has told the user why
    ShowInstallingNotice();   // over, worker ended, before the purge begins
    PurgeStaleInfs();
    return kStepGoOn;
}
