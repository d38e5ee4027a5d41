#include "oemdll/server/devmode.h"

#include <cstring>

#include "oemdll/host/services.h"
#include "oemdll/server/module.h"

BOOL ResetDevmodeBlock(OemDevmodeBlock* out) {
    if (!out) return FALSE;
    out->privateValue = 0;
    out->header.dwSize = OEM_DEVMODE_SIZE;
    out->header.dwSignature = PLUGIN_SIGNATURE;
    out->header.dwVersion = PLUGIN_VERSION;
    return TRUE;
}

BOOL ConvertDevmodeBlock(const OemDevmodeBlock* in, OemDevmodeBlock* out) {
    if (!in || !out) return FALSE;
    if (in->header.dwSignature == out->header.dwSignature) {
        out->privateValue = 0;
        // Whatever sizes the blocks claim, neither is more than 16 bytes here.
        DWORD count = in->header.dwSize < out->header.dwSize ? in->header.dwSize : out->header.dwSize;
        if (count > OEM_DEVMODE_SIZE) count = OEM_DEVMODE_SIZE;
        std::memmove(out, in, count);
    } else {
        out->privateValue = 0;
        out->header.dwSignature = PLUGIN_SIGNATURE;
    }
    out->header.dwSize = OEM_DEVMODE_SIZE;
    out->header.dwVersion = PLUGIN_VERSION;
    return TRUE;
}

HRESULT DevModeRequest(DWORD dwMode, POEMDMPARAM pOemDMParam) {
    if (!pOemDMParam || dwMode < OEMDM_SIZE || dwMode > OEMDM_MERGE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return E_FAIL;
    }
    auto* in = static_cast<const OemDevmodeBlock*>(pOemDMParam->pOEMDMIn);
    auto* out = static_cast<OemDevmodeBlock*>(pOemDMParam->pOEMDMOut);
    BOOL done = TRUE;
    switch (dwMode) {
        case OEMDM_SIZE:
            pOemDMParam->cbBufSize = OEM_DEVMODE_SIZE;
            break;
        case OEMDM_DEFAULT:
            done = ResetDevmodeBlock(out);
            break;
        case OEMDM_CONVERT:
            done = ConvertDevmodeBlock(in, out);
            break;
        case OEMDM_MERGE:
            // Merging always ends on the default block.
            done = ConvertDevmodeBlock(in, out);
            done = ResetDevmodeBlock(out) && done;
            break;
    }
    // A block that was missing is a failed request, not a success.
    if (!done) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return E_FAIL;
    }
    return S_OK;
}
