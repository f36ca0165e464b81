// Asking a printer who it is without letting a silent one hold the job.
//
// PAPPL's own query on a network device sends its SNMP requests and then
// waits 10 s for an answer that a printer without an agent never gives. For
// socket:// devices we ask the agent ourselves, through net-snmp, with a
// timeout inside the bound. Other devices (USB, and network devices found by
// discovery, whose address only PAPPL knows) are asked through PAPPL on a
// helper thread that the job stops waiting for at the bound.
#include "printer_app/device_id.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace {

// ppmPrinterIEEE1284DeviceId of the PWG printer port monitor MIB, port 1.
const oid kDeviceIdOid[] = {1, 3, 6, 1, 4, 1, 2699, 1, 2, 1, 2, 1, 1, 3, 1};

void copy_device_id(const unsigned char *text, size_t len, char *buf, size_t size)
{
    if (len >= size)
        len = size - 1;
    for (size_t i = 0; i < len; i++) {
        // Some printers end their pairs with line breaks instead of ';'.
        const char c = static_cast<char>(text[i]);
        buf[i] = (c == '\n' || c == '\r') ? ';' : c;
    }
    buf[len] = '\0';
    // An agent may count a terminating zero into the string.
    buf[strnlen(buf, len)] = '\0';
}

} // namespace

void device_id_init()
{
    // We ask for one numeric object: no configuration, MIB files or
    // persistent state of the machine's own SNMP tools are read or written.
    // Sessions made with snmp_sess_init need nothing more (init_snmp would
    // load every MIB and create folders under /var/lib/snmp).
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_session settings;
    snmp_sess_init(&settings);
}

bool snmp_device_id(const char *host, double timeout_s, char *buf, size_t size)
{
    if (size == 0)
        return false;
    buf[0] = '\0';
    if (host == nullptr || *host == '\0')
        return false;

    char peer[300];
    const int n = snprintf(peer, sizeof(peer), "udp:%s:161", host);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(peer))
        return false;
    char community[] = "public";

    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_1;
    settings.peername = peer;
    settings.community = reinterpret_cast<u_char *>(community);
    settings.community_len = strlen(community);
    settings.timeout = static_cast<long>(timeout_s * 1e6);
    settings.retries = 0;

    // The single-session API keeps each query's state to itself, so that
    // jobs of different printers may ask at the same time.
    void *session = snmp_sess_open(&settings);
    if (session == nullptr)
        return false;

    bool ok = false;
    netsnmp_pdu *request = snmp_pdu_create(SNMP_MSG_GET);
    netsnmp_pdu *response = nullptr;
    if (request != nullptr) {
        snmp_add_null_var(request, kDeviceIdOid, sizeof(kDeviceIdOid) / sizeof(kDeviceIdOid[0]));
        if (snmp_sess_synch_response(session, request, &response) == STAT_SUCCESS &&
            response != nullptr && response->errstat == SNMP_ERR_NOERROR) {
            const netsnmp_variable_list *var = response->variables;
            if (var != nullptr && var->type == ASN_OCTET_STR && var->val_len > 0) {
                copy_device_id(var->val.string, var->val_len, buf, size);
                ok = buf[0] != '\0';
            }
        }
    }
    if (response != nullptr)
        snmp_free_pdu(response);
    snmp_sess_close(session);
    return ok;
}

// A PAPPL device query on its own thread. The job owns it and joins the
// thread before freeing it; the thread only fills in the answer.
struct DeviceIdQuery::Pending {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t done_cond = PTHREAD_COND_INITIALIZER;
    pthread_t thread{};
    pappl_device_t *device = nullptr;
    bool done = false;
    char id[1024] = {};
};

namespace {

void *run_pappl_query(void *arg)
{
    auto *p = static_cast<DeviceIdQuery::Pending *>(arg);
    char id[sizeof(p->id)] = {};
    if (papplDeviceGetID(p->device, id, sizeof(id)) == nullptr)
        id[0] = '\0';
    pthread_mutex_lock(&p->lock);
    memcpy(p->id, id, sizeof(id));
    p->done = true;
    pthread_cond_signal(&p->done_cond);
    pthread_mutex_unlock(&p->lock);
    return nullptr;
}

bool host_of_socket_uri(const char *uri, char *host, size_t size)
{
    char scheme[32], user[64], resource[256];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), user, sizeof(user), host,
                        static_cast<int>(size), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK)
        return false;
    return strcmp(scheme, "socket") == 0;
}

} // namespace

DeviceIdQuery::~DeviceIdQuery()
{
    finish();
}

void DeviceIdQuery::finish()
{
    if (pending_ == nullptr)
        return;
    pthread_join(pending_->thread, nullptr);
    delete pending_;
    pending_ = nullptr;
}

bool DeviceIdQuery::ask(const char *uri, pappl_device_t *device, char *buf, size_t size)
{
    buf[0] = '\0';
    if (uri == nullptr)
        return false;
    // A file has no one to ask.
    if (strncmp(uri, "file:", 5) == 0)
        return false;

    char host[256];
    if (host_of_socket_uri(uri, host, sizeof(host))) {
        // Leave room inside the bound for opening the session.
        return snmp_device_id(host, kDeviceIdWait * 0.75, buf, size);
    }
    if (device == nullptr || pending_ != nullptr)
        return false;

    auto *p = new Pending;
    p->device = device;
    if (pthread_create(&p->thread, nullptr, run_pappl_query, p) != 0) {
        delete p;
        return false;
    }
    pending_ = p;

    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(kDeviceIdWait);
    bool ok = false;
    pthread_mutex_lock(&p->lock);
    while (!p->done) {
        if (pthread_cond_timedwait(&p->done_cond, &p->lock, &deadline) == ETIMEDOUT)
            break;
    }
    if (p->done && p->id[0] != '\0') {
        snprintf(buf, size, "%s", p->id);
        ok = true;
    }
    const bool done = p->done;
    pthread_mutex_unlock(&p->lock);
    if (done)
        finish();
    return ok;
}
