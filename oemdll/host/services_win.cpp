// The one service the plug-in cannot import statically: EngCreatePalette is
// looked up in gdi32 when first needed.
#include "oemdll/host/services.h"

namespace {

typedef HPALETTE(APIENTRY* EngCreatePaletteFn)(ULONG, ULONG, ULONG*, FLONG, FLONG, FLONG);

EngCreatePaletteFn ResolveEngCreatePalette() {
    HMODULE gdi32 = GetModuleHandleW(L"gdi32.dll");
    if (!gdi32) return nullptr;
    return reinterpret_cast<EngCreatePaletteFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(gdi32, "EngCreatePalette")));
}

}  // namespace

HPALETTE APIENTRY EngCreatePalette(ULONG iMode, ULONG cColors, ULONG* pulColors, FLONG flRed, FLONG flGreen,
                                   FLONG flBlue) {
    // Resolved once, at the first call.
    static EngCreatePaletteFn const create = ResolveEngCreatePalette();
    return create ? create(iMode, cColors, pulColors, flRed, flGreen, flBlue) : nullptr;
}
