// inf_check: reads the driver package's INF through setupapi, the
// platform's own parser, for the architecture this program is built for:
// the version section, manufacturer -> model -> install section, the files
// it installs and where they come from, the DLL's architecture, the INI
// naming it; then copies the install section's files into a scratch folder
// through a setupapi file queue.
//   inf_check PACKAGE_DIR VERSION
// Prints PASS/FAIL lines; exit status 1 on any failure.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

#ifdef _WIN64
const char kDecoration[] = "NTamd64";
const char kPlatform[] = "amd64";
const WORD kMachine = 0x8664;
#else
const char kDecoration[] = "NTx86";
const char kPlatform[] = "x86";
const WORD kMachine = 0x014C;
#endif
// The printer driver directory; a user-defined DIRID to setupapi.
const DWORD kDriverDirId = 66000;

int passes = 0, failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s [%s]\n", ok ? "PASS" : "FAIL", what.c_str(), kPlatform);
    ++(ok ? passes : failures);
}

std::string Field(INFCONTEXT& context, DWORD index) {
    char text[1024];
    DWORD size = 0;
    if (!SetupGetStringFieldA(&context, index, text, sizeof text, &size)) return std::string();
    return text;
}

// Fields 1.. of the first line with this key, or nothing.
std::vector<std::string> Line(HINF inf, const std::string& section, const std::string& key) {
    std::vector<std::string> fields;
    INFCONTEXT context;
    if (!SetupFindFirstLineA(inf, section.c_str(), key.c_str(), &context)) return fields;
    const DWORD count = SetupGetFieldCount(&context);
    for (DWORD i = 1; i <= count; ++i) fields.push_back(Field(context, i));
    return fields;
}

std::string Value(HINF inf, const std::string& section, const std::string& key) {
    const std::vector<std::string> fields = Line(inf, section, key);
    return fields.empty() ? std::string() : fields[0];
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && Lower(s.substr(s.size() - n)) == tail;
}

bool Defined(const std::string& text) { return !text.empty() && text.find('%') == std::string::npos; }

// The section decorated for this platform where there is one, else the plain one.
std::string Decorated(HINF inf, const std::string& section) {
    const std::string decorated = section + "." + kPlatform;
    return SetupGetLineCountA(inf, decorated.c_str()) > 0 ? decorated : section;
}

bool ReadFile(const std::string& path, std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    unsigned char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return true;
}

// The PE machine of a DLL, or 0 when the file is no PE DLL.
WORD DllMachine(const std::string& path) {
    std::vector<unsigned char> b;
    if (!ReadFile(path, b) || b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return 0;
    const size_t pe = b[0x3C] | b[0x3D] << 8 | b[0x3E] << 16 | static_cast<size_t>(b[0x3F]) << 24;
    if (pe + 24 > b.size() || std::memcmp(&b[pe], "PE\0\0", 4) != 0) return 0;
    const WORD characteristics = static_cast<WORD>(b[pe + 22] | b[pe + 23] << 8);
    if (!(characteristics & 0x2000)) return 0;  // IMAGE_FILE_DLL
    return static_cast<WORD>(b[pe + 4] | b[pe + 5] << 8);
}

// The GPD's *ModelName, which the INF's model name must equal.
std::string GpdModelName(const std::string& path) {
    std::vector<unsigned char> b;
    if (!ReadFile(path, b)) return std::string();
    const std::string text(b.begin(), b.end());
    const size_t at = text.find("*ModelName:");
    if (at == std::string::npos) return std::string();
    const size_t open = text.find('"', at), close = open == std::string::npos ? open : text.find('"', open + 1);
    return close == std::string::npos ? std::string() : text.substr(open + 1, close - open - 1);
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// DriverVer=MM/DD/YYYY,w.x.y.z with each field 0..65534, not all zero.
bool DriverVerValid(const std::vector<std::string>& fields, const std::string& version) {
    if (fields.size() != 2) return false;
    unsigned month = 0, day = 0, year = 0, v[4] = {};
    char tail = 0;
    if (std::sscanf(fields[0].c_str(), "%2u/%2u/%4u%c", &month, &day, &year, &tail) != 3) return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 2000) return false;
    if (std::sscanf(fields[1].c_str(), "%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4) return false;
    for (unsigned f : v)
        if (f > 65534) return false;
    return (v[0] | v[1] | v[2] | v[3]) != 0 && fields[1] == version + ".0";
}

// Every %token% of the INF's text that [Strings] does not define; setupapi
// would leave it in the value as it stands.
std::vector<std::string> UndefinedStrings(HINF inf, const std::string& path) {
    std::vector<unsigned char> bytes;
    std::vector<std::string> undefined;
    if (!ReadFile(path, bytes)) return undefined;
    std::string line;
    bool strings = false;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i < bytes.size() && bytes[i] != '\n') {
            line += static_cast<char>(bytes[i]);
            continue;
        }
        const size_t comment = line.find(';');
        if (comment != std::string::npos) line.erase(comment);
        if (!line.empty() && line[0] == '[') strings = Lower(line).compare(0, 9, "[strings]") == 0;
        for (size_t at = line.find('%'); !strings && at != std::string::npos; at = line.find('%', at + 1)) {
            const size_t end = line.find('%', at + 1);
            if (end == std::string::npos) break;
            const std::string token = line.substr(at + 1, end - at - 1);
            INFCONTEXT context;
            if (!token.empty() && !SetupFindFirstLineA(inf, "Strings", token.c_str(), &context))
                undefined.push_back(token);
            at = end;
        }
        line.clear();
    }
    return undefined;
}

// A file to install and where in the package it comes from.
struct Source {
    std::string file;
    std::string subdir;  // below the package folder; empty at the top
    std::string disk;
};

struct QueueLog {
    std::vector<std::string> copied;
    std::vector<std::string> errors;
};

// Copies without a word to anyone; records what was copied and what failed.
UINT CALLBACK QuietQueueCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
    auto* log = static_cast<QueueLog*>(context);
    switch (notification) {
    case SPFILENOTIFY_STARTCOPY:
        return FILEOP_DOIT;
    case SPFILENOTIFY_ENDCOPY: {
        auto* paths = reinterpret_cast<FILEPATHS_A*>(param1);
        if (paths->Win32Error == NO_ERROR) log->copied.push_back(paths->Target);
        else log->errors.push_back(std::string(paths->Source) + ": error " + std::to_string(paths->Win32Error));
        return NO_ERROR;
    }
    case SPFILENOTIFY_COPYERROR: {
        auto* paths = reinterpret_cast<FILEPATHS_A*>(param1);
        log->errors.push_back(std::string(paths->Source) + ": error " + std::to_string(paths->Win32Error));
        return FILEOP_ABORT;
    }
    case SPFILENOTIFY_NEEDMEDIA: {
        // The package folder is the medium: it is there when the file is.
        auto* media = reinterpret_cast<SOURCE_MEDIA_A*>(param1);
        const std::string source = std::string(media->SourcePath) + "\\" + media->SourceFile;
        if (GetFileAttributesA(source.c_str()) != INVALID_FILE_ATTRIBUTES) return FILEOP_DOIT;
        log->errors.push_back("no " + source);
        return FILEOP_ABORT;
    }
    default:
        return notification == SPFILENOTIFY_STARTQUEUE || notification == SPFILENOTIFY_STARTSUBQUEUE ||
                       notification == SPFILENOTIFY_STARTDELETE || notification == SPFILENOTIFY_STARTRENAME
                   ? TRUE
                   : NO_ERROR;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: inf_check PACKAGE_DIR VERSION\n");
        return 2;
    }
    char full[MAX_PATH];
    if (!GetFullPathNameA(argv[1], sizeof full, full, nullptr)) return 2;
    const std::string dir = full;
    const std::string version = argv[2];

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        Check(false, "an INF in " + dir + " (run make package)");
        return 1;
    }
    const std::string infPath = dir + "\\" + found.cFileName;
    FindClose(search);

    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileA(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        Check(false, "setupapi opens " + infPath + " (error " + std::to_string(GetLastError()) + " at line " +
                         std::to_string(errorLine) + ")");
        return 1;
    }

    // The version section.
    Check(Lower(Value(inf, "Version", "Signature")) == "$windows nt$", "Signature is $Windows NT$");
    Check(Value(inf, "Version", "Class") == "Printer", "Class is Printer");
    Check(Lower(Value(inf, "Version", "ClassGuid")) == "{4d36e979-e325-11ce-bfc1-08002be10318}",
          "ClassGuid is the printer class's");
    const std::string provider = Value(inf, "Version", "Provider");
    Check(Defined(provider) && Lower(provider) != "microsoft", "Provider is defined: " + provider);
    const std::vector<std::string> driverVer = Line(inf, "Version", "DriverVer");
    Check(DriverVerValid(driverVer, version),
          "DriverVer is a date and version " + version + ".0: " +
              (driverVer.size() == 2 ? driverVer[0] + "," + driverVer[1] : std::string("malformed")));
    Check(EndsWith(Value(inf, "Version", "CatalogFile"), ".cat"), "CatalogFile names a catalog");
    Check(Value(inf, "Version", "PnpLockdown") == "1", "PnpLockdown is 1");
    for (const std::string& token : UndefinedStrings(inf, infPath)) Check(false, "%" + token + "% is defined in [Strings]");

    // Manufacturer -> this platform's models section.
    std::string models;
    INFCONTEXT line;
    for (BOOL more = SetupFindFirstLineA(inf, "Manufacturer", nullptr, &line); more;
         more = SetupFindNextLine(&line, &line)) {
        for (DWORD i = 2; i <= SetupGetFieldCount(&line); ++i) {
            const std::string decoration = Field(line, i);
            if (Lower(decoration.substr(0, std::strlen(kDecoration))) == Lower(kDecoration))
                models = Field(line, 1) + "." + decoration;
        }
        Check(Defined(Field(line, 0)), "manufacturer name is defined: " + Field(line, 0));
    }
    Check(!models.empty() && SetupGetLineCountA(inf, models.c_str()) > 0,
          std::string("a models section decorated ") + kDecoration + ": " + models);

    std::string install, modelName;
    for (BOOL more = SetupFindFirstLineA(inf, models.c_str(), nullptr, &line); more;
         more = SetupFindNextLine(&line, &line)) {
        const std::string name = Field(line, 0), section = Field(line, 1);
        Check(Defined(name), "model name is defined: " + name);
        Check(install.empty() || section == install, "every model installs " + section);
        Check(SetupGetFieldCount(&line) >= 2, "model line has a hardware ID: " + Field(line, 2));
        install = section;
        modelName = name;
    }
    Check(SetupGetLineCountA(inf, install.c_str()) > 0, "install section " + install + " exists");

    // The install section's files and their sources.
    std::vector<std::string> files;
    for (BOOL more = SetupFindFirstLineA(inf, install.c_str(), "CopyFiles", &line); more;
         more = SetupFindNextMatchLineA(&line, "CopyFiles", &line)) {
        for (DWORD i = 1; i <= SetupGetFieldCount(&line); ++i) {
            const std::string entry = Field(line, i);
            if (!entry.empty() && entry[0] == '@') {
                files.push_back(entry.substr(1));
                continue;
            }
            INFCONTEXT listed;
            for (BOOL in = SetupFindFirstLineA(inf, entry.c_str(), nullptr, &listed); in;
                 in = SetupFindNextLine(&listed, &listed))
                files.push_back(Field(listed, 1));
        }
    }
    Check(files.size() == 3, "three files installed: GPD, INI and DLL (" + std::to_string(files.size()) + ")");
    const std::string dataFile = Value(inf, install, "DataFile");
    const std::string coreSections = Value(inf, install, "CoreDriverSections");
    Check(Lower(coreSections).find("unidrv.oem") != std::string::npos &&
              Lower(coreSections).find("unidrv_data") != std::string::npos,
          "the universal driver's sections come from the core driver: " + coreSections);
    Check(Value(inf, std::string("PrinterPackageInstallation.") + kPlatform, "PackageAware") == "TRUE",
          "package-aware for this platform");
    Check(Value(inf, "DestinationDirs", "DefaultDestDir") == std::to_string(kDriverDirId),
          "files go to the printer driver directory (66000)");

    const std::string sourceFiles = Decorated(inf, "SourceDisksFiles");
    const std::string sourceNames = Decorated(inf, "SourceDisksNames");
    Check(sourceFiles == std::string("SourceDisksFiles.") + kPlatform, "SourceDisksFiles decorated ." + std::string(kPlatform));
    std::string dllName, iniPath, gpdPath, dllPath;
    bool dataFileCopied = false;
    std::vector<Source> sources;
    for (const std::string& file : files) {
        const std::vector<std::string> source = Line(inf, sourceFiles, file);
        if (source.empty()) {
            Check(false, file + " is listed in " + sourceFiles);
            continue;
        }
        const std::vector<std::string> disk = Line(inf, sourceNames, source[0]);
        std::string path = dir;
        if (disk.size() >= 4 && !disk[3].empty()) path += "\\" + disk[3];
        if (source.size() >= 2 && !source[1].empty()) path += "\\" + source[1];
        path += "\\" + file;
        sources.push_back(Source{file, path.substr(dir.size() + 1, path.size() - dir.size() - 1 - file.size()),
                                 disk.empty() ? std::string() : disk[0]});
        if (!sources.back().subdir.empty()) sources.back().subdir.pop_back();
        Check(!disk.empty() && Defined(disk[0]), file + " comes from a defined disk " + source[0]);
        Check(Exists(path), file + " is in the package at " + path.substr(dir.size() + 1));
        dataFileCopied = dataFileCopied || Lower(file) == Lower(dataFile);
        if (EndsWith(file, ".dll")) dllName = file, dllPath = path;
        if (EndsWith(file, ".ini")) iniPath = path;
        if (EndsWith(file, ".gpd")) gpdPath = path;
    }
    Check(EndsWith(dataFile, ".gpd") && dataFileCopied, "DataFile is the copied GPD: " + dataFile);
    Check(DllMachine(dllPath) == kMachine, dllName + " is a PE DLL for " + kPlatform);
    char named[MAX_PATH] = "";
    GetPrivateProfileStringA("OEMFiles", "OEMDriverFile1", "", named, sizeof named, iniPath.c_str());
    Check(!dllName.empty() && Lower(named) == Lower(dllName), "the INI names " + dllName + ": " + named);
    const std::string gpdModel = GpdModelName(gpdPath);
    Check(modelName == gpdModel, "the model name is the GPD's *ModelName: " + gpdModel);

    // DIRID 66000 through setupapi, then the install section's files through
    // its file queue into a scratch folder. Wine's setupapi resolves 66000 to
    // its own printer driver folder whatever SetupSetDirectoryId says, and
    // reads only an undecorated SourceDisksFiles, so it would take every
    // file from the package's top: the queue is filled from the decorated
    // lookup above, with the scratch folder as the target.
    char target[MAX_PATH] = "";
    DWORD needed = 0;
    SetupGetTargetPathA(inf, nullptr, install.c_str(), target, sizeof target, &needed);
    Check(Lower(target).find("\\spool\\drivers\\") != std::string::npos,
          std::string("DefaultDestDir resolves to the printer driver folder: ") + target);
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string scratch = std::string(temp) + "inf_check_" + kPlatform;
    for (const Source& f : sources) DeleteFileA((scratch + "\\" + f.file).c_str());
    CreateDirectoryA(scratch.c_str(), nullptr);
    HSPFILEQ queue = SetupOpenFileQueue();
    for (const Source& f : sources) {
        const BOOL queued = SetupQueueCopyA(queue, dir.c_str(), f.subdir.empty() ? nullptr : f.subdir.c_str(),
                                            f.file.c_str(), f.disk.c_str(), nullptr, scratch.c_str(), f.file.c_str(),
                                            SP_COPY_NOSKIP);
        Check(queued != FALSE, f.file + " queued");
    }
    QueueLog log;
    const BOOL committed = SetupCommitFileQueueA(nullptr, queue, QuietQueueCallback, &log);
    std::string errors;
    for (const std::string& e : log.errors) errors += " " + e;
    Check(committed != FALSE && log.errors.empty(),
          "the queue copies without error" + (errors.empty() ? std::string() : ":" + errors));
    SetupCloseFileQueue(queue);
    for (const Source& f : sources)
        Check(Exists(scratch + "\\" + f.file), f.file + " copied to the scratch folder");
    Check(DllMachine(scratch + "\\" + dllName) == kMachine, "the copied " + dllName + " is the one for " + kPlatform);
    SetupCloseInfFile(inf);

    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
