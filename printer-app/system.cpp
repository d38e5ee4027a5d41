#include "printer-app/system.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libgen.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "printer-app/driver.h"
#include "printer-app/state.h"
#include "printer-app/system_setup.h"

namespace app {

namespace {

std::string file_folder;  // resolved; empty: no file:// devices

const char* Option(const char* name, int count, cups_option_t* options) {
    return cupsGetOption(name, count, options);
}

pappl_loglevel_t LogLevel(const char* value) {
    static const struct {
        const char* name;
        pappl_loglevel_t level;
    } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR}, {"warn", PAPPL_LOGLEVEL_WARN},
                   {"info", PAPPL_LOGLEVEL_INFO},   {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto& l : kLevels)
        if (value && !std::strcmp(value, l.name)) return l.level;
    return PAPPL_LOGLEVEL_WARN;
}

pappl_soptions_t ServerOptions(const char* value) {
    static const struct {
        const char* name;
        pappl_soptions_t set, clear;
    } kOptions[] = {
        {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, PAPPL_SOPTIONS_NONE},
        {"no-multi-queue", PAPPL_SOPTIONS_NONE, PAPPL_SOPTIONS_MULTI_QUEUE},
        {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, PAPPL_SOPTIONS_NONE},
        {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, PAPPL_SOPTIONS_NONE},
        {"no-web-interface", PAPPL_SOPTIONS_NONE, PAPPL_SOPTIONS_WEB_INTERFACE},
        {"web-log", PAPPL_SOPTIONS_WEB_LOG, PAPPL_SOPTIONS_NONE},
        {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, PAPPL_SOPTIONS_NONE},
        {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, PAPPL_SOPTIONS_NONE},
        {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, PAPPL_SOPTIONS_NONE},
        {"no-tls", PAPPL_SOPTIONS_NO_TLS, PAPPL_SOPTIONS_NONE},
    };
    unsigned soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
    for (const char* at = value; at && *at;) {
        const char* end = std::strchr(at, ',');
        const std::string word(at, end ? static_cast<size_t>(end - at) : std::strlen(at));
        if (word == "none") soptions = PAPPL_SOPTIONS_NONE;
        for (const auto& o : kOptions)
            if (word == o.name) soptions = (soptions | o.set) & ~static_cast<unsigned>(o.clear);
        at = end ? end + 1 : nullptr;
    }
    return static_cast<pappl_soptions_t>(soptions);
}

bool Usable(const std::string& folder) { return access(folder.c_str(), X_OK) == 0; }

// Where PAPPL's default system keeps a file of this program: FILE under
// SNAP_COMMON, /var/lib (state) or /var/spool (spool) for root, else the
// user's config folder, the temporary folder as the last resort.
std::string PappleFile(const std::string& name, bool spool) {
    const char* snap = getenv("SNAP_COMMON");
    const char* xdg = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    const std::string suffix = spool ? ".d" : ".state";
    if (snap) return spool || Usable(snap) ? std::string(snap) + "/" + name + suffix : "";
    if (!getuid()) {
        const std::string base = spool ? "/var/spool" : "/var/lib";
        mkdir(base.c_str(), 0755);
        if (Usable(base)) return base + "/" + name + (spool ? "" : ".state");
    } else if (!spool && xdg && Usable(xdg)) {
        return std::string(xdg) + "/" + name + suffix;
    } else if (home) {
        const std::string config = std::string(home) + "/.config";
        mkdir(config.c_str(), 0700);
        if (Usable(config)) return config + "/" + name + suffix;
    }
    return std::string(papplGetTempDir()) + "/" + name + std::to_string(getuid()) + suffix;
}

// PAPPL calls it with the job and printer locked: no job or printer
// accessor may be used here (each would take those locks again).
void OnEvent(pappl_system_t* system, pappl_printer_t*, pappl_job_t*, pappl_event_t event, void*) {
    StateEvent(system, event);
}

// Every printer's one supply is the paper roll, which it cannot sense: the
// level is unknown (-2, as printer-supply and marker-levels put it).
// A printer loaded with a device no longer accepted stays, stopped, so
// that its settings are not lost; new ones are refused by the driver.
void OnPrinterCreated(pappl_printer_t* printer, void*) {
    pappl_supply_t paper{};
    paper.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
    std::snprintf(paper.description, sizeof paper.description, "Receipt paper");
    paper.is_consumed = true;
    paper.level = -2;
    paper.type = PAPPL_SUPPLY_TYPE_OTHER;
    papplPrinterSetSupplies(printer, 1, &paper);
    const std::string why = DeviceRefusal(papplPrinterGetDeviceURI(printer));
    if (why.empty()) return;
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Stopped: %s", why.c_str());
    papplPrinterPause(printer);
}

// Create-Printer and the web interface's Add Printer ask before a printer is
// made, so that the client is told why a device is refused.
bool CheckDevice(pappl_system_t*, const char* device_uri, char* message, size_t size, void*) {
    const std::string why = DeviceRefusal(device_uri);
    if (!why.empty() && size > 0) std::snprintf(message, size, "%s.", why.c_str());
    return why.empty();
}

// Each second in the main loop: its changes saved within the second,
// systemd's watchdog fed.
bool Tick(pappl_system_t* system, void*) {
    static bool ready = false;
    static const bool watchdog = sd_watchdog_enabled(0, nullptr) > 0;
    if (!ready) sd_notify(0, "READY=1");
    ready = true;
    if (watchdog) sd_notify(0, "WATCHDOG=1");
    RetryState(system);
    return true;
}

}  // namespace

std::string DeviceRefusal(const char* device_uri) {
    if (!device_uri || std::strncmp(device_uri, "file:", 5) != 0) return "";
    if (file_folder.empty())
        return "file:// devices are off; the server's option file-device-folder=DIR names the one folder they may "
               "write in";
    char scheme[32], userpass[256], host[256], resource[1024];
    int port;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, device_uri, scheme, sizeof scheme, userpass, sizeof userpass, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return "the device URI is malformed";
    if (char* query = std::strchr(resource, '?')) *query = '\0';
    const std::string refused =
        std::string("file:// devices may only write under '") + file_folder + "', and '" + resource + "' is not";
    struct stat st;
    std::string folder = resource;
    if (lstat(resource, &st) == 0 && S_ISLNK(st.st_mode)) return refused + " (a symbolic link)";
    if (!(stat(resource, &st) == 0 && S_ISDIR(st.st_mode))) folder = dirname(&folder[0]);
    char real[PATH_MAX];
    if (!realpath(folder.c_str(), real)) return refused;
    const std::string path = real;
    if (path != file_folder && path.compare(0, file_folder.size() + 1, file_folder + "/") != 0) return refused;
    return "";
}

pappl_system_t* CreateSystem(int num_options, cups_option_t* options, void* data) {
    const Program& program = *static_cast<const Program*>(data);
    const std::string name = program.name;
    const char* spool = Option("spool-directory", num_options, options);
    const char* port = Option("server-port", num_options, options);
    const char* state = Option("state-file", num_options, options);
    const char* files = Option("file-device-folder", num_options, options);

    char* end = nullptr;
    errno = 0;
    const long port_number = port ? std::strtol(port, &end, 10) : 0;
    if (port && (port_number < 0 || port_number > 65535 || errno || *end)) {
        fprintf(stderr, "%s: Bad 'server-port' value.\n", name.c_str());
        return nullptr;
    }
    const std::string spool_folder = spool ? spool : PappleFile(name, true);
    pappl_system_t* system = papplSystemCreate(
        ServerOptions(Option("server-options", num_options, options)), name.c_str(), static_cast<int>(port_number),
        "_print,_universal", spool_folder.c_str(), Option("log-file", num_options, options),
        LogLevel(Option("log-level", num_options, options)), Option("auth-service", num_options, options), false);
    if (!system) return nullptr;
    papplSystemSetPrinterDrivers(system, 1, kDrivers, AutoAdd, OnPrinterCreated, DriverCallback, nullptr);
    if (!program.server) return system;

    if (files) {
        char real[PATH_MAX];
        if (realpath(files, real))
            file_folder = real;
        else
            papplLog(system, PAPPL_LOGLEVEL_ERROR, "file-device-folder '%s': %s; file:// devices are off.", files,
                     std::strerror(errno));
    }

    if (const char* group = Option("admin-group", num_options, options)) papplSystemSetAdminGroup(system, group);
    if (const char* host = Option("server-hostname", num_options, options)) papplSystemSetHostName(system, host);
    if (const char* aliases = Option("server-aliases", num_options, options)) {
        // A comma-separated list; each name is one more the Host: check takes.
        std::string list = aliases;
        for (std::size_t start = 0; start <= list.size();) {
            std::size_t stop = list.find(',', start);
            if (stop == std::string::npos) stop = list.size();
            const std::string alias = list.substr(start, stop - start);
            if (!alias.empty() && !papplSystemAddHostAlias(system, alias.c_str()))
                papplLog(system, PAPPL_LOGLEVEL_ERROR, "server-aliases: '%s' is not a host name.", alias.c_str());
            start = stop + 1;
        }
    }
    papplSystemSetDeviceCheckCallback(system, CheckDevice, nullptr);
    const std::string state_file = state ? state : PappleFile(name, false);
    ConfigureSystem(system);
    LoadState(system, state_file);
    papplSystemSetEventCallback(system, OnEvent, nullptr);
    KeepState(system, state_file);
    papplSystemAddTimerCallback(system, time(nullptr), 1, Tick, nullptr);

    // Clients are let in once the state is loaded.
    if (!Option("private-server", num_options, options))
        papplSystemAddListeners(system, Option("listen-hostname", num_options, options));
    if (const char* socket = Option("command-socket", num_options, options)) {
        unlink(socket);
        if (!papplSystemAddListeners(system, socket))
            papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to listen on the command socket '%s'.", socket);
    }
    return system;
}

}  // namespace app
