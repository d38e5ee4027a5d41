// The GPD reader on arbitrary text, its includes too: the input is split
// at "*%file" lines into main.gpd and a.gpd, b.gpd, c.gpd beside it, which
// may include each other (or themselves). Whatever the files, the reader
// ends within its bounds; a refusal says why, and a GPD taken gives a page
// within the host's limits, for its default paper and each paper it names.
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "standin/host/gpd.h"

namespace {

const char* const kNames[] = {"main.gpd", "a.gpd", "b.gpd", "c.gpd"};

std::string gFolder;

void RemoveFolder() {
    for (const char* name : kNames) unlink((gFolder + "/" + name).c_str());
    rmdir(gFolder.c_str());
}

// In memory where there is a tmpfs: the files are written on every run.
const std::string& Folder() {
    if (gFolder.empty()) {
        std::string name = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/gpd_fuzz.XXXXXX";
        if (!mkdtemp(&name[0])) fuzz::Fail("no temporary folder");
        gFolder = name;
        std::atexit(RemoveFolder);
    }
    return gFolder;
}

void CheckSetup(const standin::Gpd& gpd, const std::string& paper, standin::GpdSetup& setup) {
    std::string error;
    if (!standin::SetupFromGpd(gpd, paper, setup, error)) {
        fuzz::Check(!error.empty(), "a refused setup without a message");
        return;
    }
    fuzz::Check(setup.width > 0 && setup.width <= standin::kMaxPageSide, "a width past the limit");
    fuzz::Check(setup.height > 0 && setup.height <= setup.maxHeight && setup.maxHeight <= standin::kMaxPageSide,
                "a length past the limit");
    fuzz::Check(setup.dpiX > 0 && setup.dpiY > 0, "no resolution");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string separator = "\n*%file\n";
    size_t start = 0;
    for (const char* name : kNames) {
        const std::string path = Folder() + "/" + name;
        if (start > text.size()) {
            unlink(path.c_str());
            continue;
        }
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        std::ofstream(path, std::ios::binary) << text.substr(start, end - start);
        start = end + separator.size();
    }

    standin::Gpd gpd;
    std::string error;
    if (!standin::ReadGpd(Folder() + "/main.gpd", gpd, error)) {
        fuzz::Check(!error.empty(), "a refused GPD without a message");
        return 0;
    }
    standin::GpdSetup setup;
    CheckSetup(gpd, "", setup);
    const std::vector<std::string> papers = setup.papers;
    for (size_t i = 0; i < papers.size() && i < 4; ++i) CheckSetup(gpd, papers[i], setup);
    return 0;
}
