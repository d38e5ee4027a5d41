// The hooked DDI functions. Each reaches its record through the surface and
// calls the host's own entry point with the arguments it received.
#pragma once

#include "oemdll/host/ddi.h"

BOOL APIENTRY DrvStartDoc(SURFOBJ* pso, LPWSTR pwszDocName, DWORD dwJobId);
BOOL APIENTRY DrvEndDoc(SURFOBJ* pso, FLONG fl);
BOOL APIENTRY DrvStartPage(SURFOBJ* pso);
BOOL APIENTRY DrvSendPage(SURFOBJ* pso);
BOOL APIENTRY DrvStartBanding(SURFOBJ* pso, POINTL* pptl);
BOOL APIENTRY DrvNextBand(SURFOBJ* pso, POINTL* pptl);
ULONG APIENTRY DrvQueryPerBandInfo(SURFOBJ* pso, PERBANDINFO* pbi);
