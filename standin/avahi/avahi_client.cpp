// The Avahi client functions a DNS-SD publisher calls, without a daemon:
// each call that would change what is published is appended as one line to
// the file AVAHI_STANDIN_LOG names, fields separated by tabs:
//
//   group   ID                      a new entry group (PID.N)
//   service ID NAME TYPE PORT TXT... a service added to it (TXT strings in order)
//   subtype ID NAME TYPE SUBTYPE
//   record  ID NAME
//   commit  ID                      the group is published
//   reset   ID | free ID            the group's services are withdrawn
//
// What Avahi would refuse (a TXT string over 255 bytes, a service name over
// 63) is refused as Avahi does, and not logged. Browsing and resolving fail
// as with no daemon; the string lists, the threaded poll and the error
// texts are Avahi's own (libavahi-common).
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <mutex>
#include <string>
#include <vector>

struct AvahiClient {
    int error = AVAHI_OK;
};

struct AvahiEntryGroup {
    unsigned id = 0;
};

namespace {

std::mutex lock;
unsigned groups = 0;
constexpr std::size_t kMaxTxtString = 255;  // one length byte in the TXT record
constexpr std::size_t kMaxServiceName = 63;  // one DNS label

void Log(const std::string& line) {
    const char* path = std::getenv("AVAHI_STANDIN_LOG");
    if (!path) return;
    std::lock_guard<std::mutex> hold(lock);
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::string Field(const char* value) { return std::string("\t") + (value ? value : ""); }

std::string Id(const AvahiEntryGroup* g) { return "\t" + std::to_string(getpid()) + "." + std::to_string(g->id); }

}  // namespace

extern "C" {

AvahiClient* avahi_client_new(const AvahiPoll*, AvahiClientFlags, AvahiClientCallback, void*, int* error) {
    if (error) *error = AVAHI_OK;
    return new AvahiClient;
}

void avahi_client_free(AvahiClient* client) { delete client; }

int avahi_client_errno(AvahiClient* client) { return client ? client->error : AVAHI_ERR_INVALID_OBJECT; }

// No host name of its own: the publisher falls back to the system's.
const char* avahi_client_get_host_name_fqdn(AvahiClient*) { return nullptr; }

int avahi_client_set_host_name(AvahiClient*, const char*) { return AVAHI_OK; }

AvahiEntryGroup* avahi_entry_group_new(AvahiClient* client, AvahiEntryGroupCallback, void*) {
    if (!client) return nullptr;
    auto* group = new AvahiEntryGroup;
    {
        std::lock_guard<std::mutex> hold(lock);
        group->id = ++groups;
    }
    Log("group" + Id(group));
    return group;
}

int avahi_entry_group_free(AvahiEntryGroup* group) {
    if (!group) return AVAHI_ERR_INVALID_OBJECT;
    Log("free" + Id(group));
    delete group;
    return AVAHI_OK;
}

int avahi_entry_group_commit(AvahiEntryGroup* group) {
    if (!group) return AVAHI_ERR_INVALID_OBJECT;
    Log("commit" + Id(group));
    return AVAHI_OK;
}

int avahi_entry_group_reset(AvahiEntryGroup* group) {
    if (!group) return AVAHI_ERR_INVALID_OBJECT;
    Log("reset" + Id(group));
    return AVAHI_OK;
}

int avahi_entry_group_add_service_strlst(AvahiEntryGroup* group, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags,
                                         const char* name, const char* type, const char*, const char*, uint16_t port,
                                         AvahiStringList* txt) {
    if (!group || !name || !type) return AVAHI_ERR_INVALID_OBJECT;
    if (std::strlen(name) > kMaxServiceName) return AVAHI_ERR_INVALID_SERVICE_NAME;
    // Avahi keeps a list newest first: the record is the reverse.
    std::vector<std::string> strings;
    for (AvahiStringList* s = txt; s; s = avahi_string_list_get_next(s)) {
        if (avahi_string_list_get_size(s) > kMaxTxtString) return AVAHI_ERR_INVALID_RECORD;
        strings.emplace(strings.begin(), reinterpret_cast<const char*>(avahi_string_list_get_text(s)),
                        avahi_string_list_get_size(s));
    }
    std::string line = "service" + Id(group) + Field(name) + Field(type) + "\t" + std::to_string(port);
    for (const auto& s : strings) line += "\t" + s;
    Log(line);
    return AVAHI_OK;
}

int avahi_entry_group_add_service_subtype(AvahiEntryGroup* group, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags,
                                          const char* name, const char* type, const char*, const char* subtype) {
    if (!group || !name || !type || !subtype) return AVAHI_ERR_INVALID_OBJECT;
    Log("subtype" + Id(group) + Field(name) + Field(type) + Field(subtype));
    return AVAHI_OK;
}

int avahi_entry_group_add_record(AvahiEntryGroup* group, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags,
                                 const char* name, uint16_t, uint16_t, uint32_t, const void*, size_t) {
    if (!group || !name) return AVAHI_ERR_INVALID_OBJECT;
    Log("record" + Id(group) + Field(name));
    return AVAHI_OK;
}

AvahiServiceBrowser* avahi_service_browser_new(AvahiClient* client, AvahiIfIndex, AvahiProtocol, const char*,
                                               const char*, AvahiLookupFlags, AvahiServiceBrowserCallback, void*) {
    if (client) client->error = AVAHI_ERR_NO_DAEMON;
    return nullptr;
}

int avahi_service_browser_free(AvahiServiceBrowser*) { return AVAHI_OK; }

AvahiServiceResolver* avahi_service_resolver_new(AvahiClient* client, AvahiIfIndex, AvahiProtocol, const char*,
                                                 const char*, const char*, AvahiProtocol, AvahiLookupFlags,
                                                 AvahiServiceResolverCallback, void*) {
    if (client) client->error = AVAHI_ERR_NO_DAEMON;
    return nullptr;
}

int avahi_service_resolver_free(AvahiServiceResolver*) { return AVAHI_OK; }

AvahiRecordBrowser* avahi_record_browser_new(AvahiClient* client, AvahiIfIndex, AvahiProtocol, const char*, uint16_t,
                                             uint16_t, AvahiLookupFlags, AvahiRecordBrowserCallback, void*) {
    if (client) client->error = AVAHI_ERR_NO_DAEMON;
    return nullptr;
}

int avahi_record_browser_free(AvahiRecordBrowser*) { return AVAHI_OK; }

}  // extern "C"
