// The plug-in's private section of the printer's devmode.
#pragma once

#include "oemdll/host/printer.h"

// 16 bytes, little-endian, as the host stores them.
struct OemDevmodeBlock {
    OEM_DMEXTRAHEADER header;  // dwSize 16, dwSignature PLUGIN_SIGNATURE, dwVersion 1
    DWORD privateValue;        // written as 0, read by nothing
};
static_assert(sizeof(OemDevmodeBlock) == 16, "the private devmode section is 16 bytes");

constexpr DWORD OEM_DEVMODE_SIZE = sizeof(OemDevmodeBlock);

// Writes the default block; 0 for a null block.
BOOL ResetDevmodeBlock(OemDevmodeBlock* out);

// Converts `in` into `out`, copying at most one block's 16 bytes when both
// carry the same signature; 0 when either block is null.
BOOL ConvertDevmodeBlock(const OemDevmodeBlock* in, OemDevmodeBlock* out);

// The work of DevMode for the four OEMDM modes.
HRESULT DevModeRequest(DWORD dwMode, POEMDMPARAM pOemDMParam);
