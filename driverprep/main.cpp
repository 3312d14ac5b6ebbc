// DriverPrep's entry: a GUI-subsystem program whose exit status is the preparation's result.
#include "driverprep.h"

int main(int argc, char **argv, char **envp)
{
    (void)argc;   // DriverPrep takes no arguments and reads no environment
    (void)argv;
    (void)envp;
    return RunPreparation();
}
