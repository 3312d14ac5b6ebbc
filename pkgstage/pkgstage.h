// PkgStage: hands the product's INF files to Windows' OEM INF copy service.
#pragma once

// Returns 1 when the copy service accepted both INF files, 0 after showing the error code of the
// first one it refused (the INF after it is not attempted).
int StagePackages();
