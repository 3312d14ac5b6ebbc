// PkgStage's entry: a GUI-subsystem program whose exit status is the staging's result.
#include "pkgstage.h"

int main(int argc, char **argv, char **envp)
{
    (void)argc;   // PkgStage takes no arguments and reads no environment
    (void)argv;
    (void)envp;
    return StagePackages();
}
