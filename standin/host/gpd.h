// A reader for the part of the GPD syntax the simulated host acts on, and
// what a GPD decides about a job: the surface, the band depth and callback,
// whether Unidrv sends raster of its own, and the commands it issues.
#pragma once

#include <string>
#include <vector>

#include "oemdll/host/printer.h"

namespace standin {

// The longest page side this host renders, and the tools take, in dots:
// 8.2 m of paper at 203 dpi.
constexpr LONG kMaxPageSide = 65536;

// What reading one GPD may take in, its includes counted: blocks nested
// this deep, this many *Include entries, this many bytes of text.
constexpr int kMaxGpdNesting = 32;
constexpr int kMaxGpdIncludes = 64;
constexpr long long kMaxGpdBytes = 1 << 20;

// `*Keyword: value`, with the entries of the block that follows it.
struct GpdEntry {
    std::string keyword;  // without '*' and ':'
    std::string value;    // the text after the colon, trimmed
    std::string file;
    int line = 0;
    bool block = false;
    std::vector<GpdEntry> children;
};

struct Gpd {
    std::string file;
    std::vector<GpdEntry> entries;
    std::vector<std::string> notes;  // what was skipped, e.g. an *Include not at hand
};

// Reads a GPD, taking in each *Include found beside the including file and
// skipping the others with a note. Only regular files are read; a cycle of
// includes, or more than the bounds above, is refused. On failure says
// "file:line: what".
bool ReadGpd(const std::string& path, Gpd& gpd, std::string& error);
// The same for text in memory; includes are looked for in dir.
bool ParseGpd(const std::string& text, const std::string& file, const std::string& dir, Gpd& gpd,
              std::string& error);

struct GpdCommand {
    std::string name;     // CmdCR, CmdSelect, ...
    std::string section;  // of *Order, e.g. DOC_SETUP; empty without one
    long order = 0;
    bool callback = false;
    DWORD callbackId = 0;
    std::vector<BYTE> bytes;  // of *Cmd
};

// What the GPD makes Unidrv do for a job on one paper size, in device dots.
struct GpdSetup {
    std::string model;
    std::string paper;
    std::vector<std::string> papers;  // every PaperSize option
    LONG dpiX = 0, dpiY = 0;
    LONG width = 0;    // the printable width: the surface's
    LONG height = 0;   // the printable length; for a custom size the shortest
    LONG maxHeight = 0;  // the longest printable length (a custom size's)
    ULONG drvBpp = 1, devBpp = 1, devPlanes = 1;
    DWORD ipCallbackId = 0;
    bool spaceForXMove = true;
    std::vector<GpdCommand> commands;  // root commands and the selected options', sections in order
    std::vector<std::string> notes;

    // The page length for pages of the given height: a custom size follows
    // the page within its bounds.
    LONG PageHeight(LONG tallest) const;
    const GpdCommand* Find(const char* name) const;
};

// Every option at its default but the paper size (empty: the default too).
bool SetupFromGpd(const Gpd& gpd, const std::string& paper, GpdSetup& setup, std::string& error);

// ReadGpd, then SetupFromGpd.
bool LoadGpdSetup(const std::string& path, const std::string& paper, GpdSetup& setup, std::string& error);

}  // namespace standin
