// Asking a printer's SNMP agent for its state and supplies, and showing the
// answer on the printer and on the job that waits for it.
//
// Each socket:// printer has one asking thread, started when PAPPL makes the
// printer and joined in its delete callback, before PAPPL frees it; the
// thread touches nothing of the system but its shutdown flag. Waits are
// bounded and end at once when the printer goes.
#include "printer_app/status.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>

#include "printer_app/status_map.h"

int status_interval_seconds = 60;

namespace {

// By number: no MIB file is read.
const oid kDeviceStatus[] = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 5, 1};
const oid kPrinterStatus[] = {1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 1, 1};
const oid kErrorState[] = {1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 2, 1};
const oid kSupplyEntry[] = {1, 3, 6, 1, 2, 1, 43, 11, 1, 1};
const oid kColorantValue[] = {1, 3, 6, 1, 2, 1, 43, 12, 1, 1, 4};

template <size_t N> constexpr size_t length(const oid (&)[N]) { return N; }

// prtMarkerSuppliesTable's columns asked, the first one telling which rows
// there are.
enum Column : oid {
    kClass = 4,
    kColorantIndex = 3,
    kType = 5,
    kDescription = 6,
    kUnit = 7,
    kMaxCapacity = 8,
    kLevel = 9,
};
const Column kColumns[] = {kClass, kColorantIndex, kType, kDescription, kUnit, kMaxCapacity, kLevel};

const int kBusySeconds = 5;       // between asks while a job prints
const long kTryMs = 1000;         // before a request is sent again
const int kRetries = 1;
const long kPollBudgetMs = 5000;  // for all of one ask from the asking thread
const int kMaxColorants = 16;

// The library is built without its own locks: every call into it holds this
// one, which is never held while waiting for an answer.
std::mutex snmp_mutex;

// Answers are shown one at a time, so that a printer's reasons, supplies and
// job message come from the same answer.
std::mutex show_mutex;

struct Answer {
    PrinterReport report;
    bool supplies_known = false;
    SupplyRow rows[PAPPL_MAX_SUPPLY];
    int num_rows = 0;
};

long long now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// One agent's session, and the deadline for all that is asked of it.
class Agent {
public:
    Agent(const char *host, long version, long long deadline, int wake_fd)
        : deadline_(deadline), wake_fd_(wake_fd)
    {
        char peer[300];
        const char *format = strchr(host, ':') != nullptr ? "udp6:[%s]:161" : "udp:%s:161";
        snprintf(peer, sizeof(peer), format, host);
        static char community[] = "public";
        std::lock_guard<std::mutex> hold(snmp_mutex);
        netsnmp_session s;
        snmp_sess_init(&s);
        s.version = version;
        s.peername = peer;
        s.community = reinterpret_cast<u_char *>(community);
        s.community_len = strlen(community);
        s.timeout = kTryMs * 1000;
        s.retries = kRetries;
        s.callback = on_reply;
        s.callback_magic = this;
        session_ = snmp_sess_open(&s);
    }

    ~Agent()
    {
        std::lock_guard<std::mutex> hold(snmp_mutex);
        if (session_ != nullptr)
            snmp_sess_close(session_);
        if (reply_ != nullptr)
            snmp_free_pdu(reply_);
    }

    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    bool is_open() const { return session_ != nullptr; }

    // A request of the given kind for the objects; its reply, which the
    // caller frees, or nullptr when none came in time. A reply may carry an
    // error status: the agent is there, but has not all that was asked.
    netsnmp_pdu *ask(int command, const oid *const *names, const size_t *lengths, int count);

private:
    static int on_reply(int op, netsnmp_session *, int reqid, netsnmp_pdu *pdu, void *magic)
    {
        Agent *agent = static_cast<Agent *>(magic);
        if (reqid != agent->reqid_)
            return 1; // an earlier request's late answer
        if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu != nullptr)
            agent->reply_ = snmp_clone_pdu(pdu);
        agent->done_ = true;
        return 1;
    }

    void *session_ = nullptr;
    long long deadline_;
    int wake_fd_;
    int reqid_ = 0;
    netsnmp_pdu *reply_ = nullptr;
    bool done_ = false;
};

netsnmp_pdu *Agent::ask(int command, const oid *const *names, const size_t *lengths, int count)
{
    int sock;
    {
        std::lock_guard<std::mutex> hold(snmp_mutex);
        netsnmp_pdu *pdu = snmp_pdu_create(command);
        for (int i = 0; i < count; i++)
            snmp_add_null_var(pdu, names[i], lengths[i]);
        done_ = false;
        reqid_ = snmp_sess_send(session_, pdu);
        if (reqid_ == 0) {
            snmp_free_pdu(pdu);
            return nullptr;
        }
        sock = snmp_sess_transport(session_)->sock;
    }
    // done_ is set by the session's callback, inside snmp_sess_read2.
    // cppcheck-suppress knownConditionTrueFalse
    while (!done_) {
        const long long left = deadline_ - now_ms();
        if (left <= 0)
            break;
        long long wait = left;
        {
            std::lock_guard<std::mutex> hold(snmp_mutex);
            netsnmp_large_fd_set fds;
            netsnmp_large_fd_set_init(&fds, sock + 1);
            int numfds = 0, block = 0;
            timeval tv{};
            snmp_sess_select_info2(session_, &numfds, &fds, &tv, &block);
            netsnmp_large_fd_set_cleanup(&fds);
            if (block == 0)
                wait = std::min(wait, tv.tv_sec * 1000LL + tv.tv_usec / 1000 + 1);
        }
        pollfd fds[2] = {{sock, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int n = poll(fds, wake_fd_ >= 0 ? 2 : 1, static_cast<int>(wait));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (wake_fd_ >= 0 && fds[1].revents != 0))
            break;
        std::lock_guard<std::mutex> hold(snmp_mutex);
        if (fds[0].revents != 0) {
            netsnmp_large_fd_set readable;
            netsnmp_large_fd_set_init(&readable, sock + 1);
            NETSNMP_LARGE_FD_SET(sock, &readable);
            snmp_sess_read2(session_, &readable);
            netsnmp_large_fd_set_cleanup(&readable);
        } else {
            snmp_sess_timeout(session_);
        }
    }
    netsnmp_pdu *reply = reply_;
    reply_ = nullptr;
    reqid_ = 0;
    return reply;
}

void free_reply(netsnmp_pdu *reply)
{
    std::lock_guard<std::mutex> hold(snmp_mutex);
    snmp_free_pdu(reply);
}

bool is_value(const netsnmp_variable_list *v)
{
    return v->type != SNMP_NOSUCHOBJECT && v->type != SNMP_NOSUCHINSTANCE &&
           v->type != SNMP_ENDOFMIBVIEW;
}

void int_value(const netsnmp_variable_list *v, int *out)
{
    if (v->type == ASN_INTEGER && v->val.integer != nullptr)
        *out = static_cast<int>(*v->val.integer);
}

void text_value(const netsnmp_variable_list *v, char *out, size_t size)
{
    if (v->type == ASN_OCTET_STR && v->val.string != nullptr)
        status_text(v->val.string, v->val_len, out, size);
}

bool is_name(const netsnmp_variable_list *v, const oid *name, size_t len)
{
    return snmp_oid_compare(v->name, v->name_length, name, len) == 0;
}

bool ask_state(Agent &agent, PrinterReport &report)
{
    const oid *const names[] = {kDeviceStatus, kPrinterStatus, kErrorState};
    const size_t lengths[] = {length(kDeviceStatus), length(kPrinterStatus), length(kErrorState)};
    netsnmp_pdu *reply = agent.ask(SNMP_MSG_GET, names, lengths, 3);
    if (reply == nullptr)
        return false;
    report.answered = true;
    const netsnmp_variable_list *first =
        reply->errstat == SNMP_ERR_NOERROR ? reply->variables : nullptr;
    for (const netsnmp_variable_list *v = first; v != nullptr; v = v->next_variable) {
        if (is_name(v, kDeviceStatus, length(kDeviceStatus)))
            int_value(v, &report.device_status);
        else if (is_name(v, kPrinterStatus, length(kPrinterStatus)))
            int_value(v, &report.printer_status);
        else if (is_name(v, kErrorState, length(kErrorState)) && v->type == ASN_OCTET_STR)
            memcpy(report.errors, v->val.string, std::min(v->val_len, sizeof(report.errors)));
    }
    free_reply(reply);
    return true;
}

// The object's index under a table column (prefix), into index; false when
// the object is not in that column.
bool index_under(const netsnmp_variable_list *v, const oid *prefix, size_t prefix_len, oid *index,
                 size_t *index_len)
{
    if (!is_value(v) || v->name_length <= prefix_len || v->name_length - prefix_len > MAX_OID_LEN ||
        snmp_oid_compare(v->name, prefix_len, prefix, prefix_len) != 0)
        return false;
    *index_len = v->name_length - prefix_len;
    memcpy(index, v->name + prefix_len, *index_len * sizeof(oid));
    return true;
}

// Walks the supplies table a row at a time, every column of a row in one
// request; false when the agent stopped answering on the way.
bool ask_supplies(Agent &agent, Answer &answer)
{
    const int num_columns = static_cast<int>(sizeof(kColumns) / sizeof(kColumns[0]));
    const size_t column_len = length(kSupplyEntry) + 1;
    oid names[sizeof(kColumns) / sizeof(kColumns[0])][MAX_OID_LEN];
    const oid *name_ptrs[sizeof(kColumns) / sizeof(kColumns[0])];
    size_t lengths[sizeof(kColumns) / sizeof(kColumns[0])];
    oid index[MAX_OID_LEN];
    size_t index_len = 0;
    while (answer.num_rows < PAPPL_MAX_SUPPLY) {
        for (int c = 0; c < num_columns; c++) {
            memcpy(names[c], kSupplyEntry, sizeof(kSupplyEntry));
            names[c][length(kSupplyEntry)] = kColumns[c];
            memcpy(names[c] + column_len, index, index_len * sizeof(oid));
            lengths[c] = column_len + index_len;
            name_ptrs[c] = names[c];
        }
        netsnmp_pdu *reply = agent.ask(SNMP_MSG_GETNEXT, name_ptrs, lengths, num_columns);
        if (reply == nullptr)
            return false;
        const netsnmp_variable_list *v =
            reply->errstat == SNMP_ERR_NOERROR ? reply->variables : nullptr;
        oid next[MAX_OID_LEN];
        size_t next_len = 0;
        // The key column's next object names the next row; one past the
        // table, or one that does not move forward, ends the walk.
        if (v == nullptr || !index_under(v, names[0], column_len, next, &next_len) ||
            snmp_oid_compare(next, next_len, index, index_len) <= 0) {
            free_reply(reply);
            return true;
        }
        memcpy(index, next, next_len * sizeof(oid));
        index_len = next_len;
        SupplyRow &row = answer.rows[answer.num_rows++];
        for (int c = 0; v != nullptr && c < num_columns; c++, v = v->next_variable) {
            oid at[MAX_OID_LEN];
            size_t at_len = 0;
            if (!index_under(v, names[c], column_len, at, &at_len) ||
                snmp_oid_compare(at, at_len, index, index_len) != 0)
                continue; // the agent has no such column for this row
            switch (kColumns[c]) {
            case kClass: int_value(v, &row.supply_class); break;
            case kColorantIndex: int_value(v, &row.colorant_index); break;
            case kType: int_value(v, &row.type); break;
            case kDescription: text_value(v, row.description, sizeof(row.description)); break;
            case kUnit: int_value(v, &row.unit); break;
            case kMaxCapacity: int_value(v, &row.max_capacity); break;
            case kLevel: int_value(v, &row.level); break;
            }
        }
        free_reply(reply);
    }
    return true;
}

// Names each row's colorant from prtMarkerColorantTable, indexed as the
// supplies are by the device and then the colorant's own number.
void ask_colorants(Agent &agent, Answer &answer)
{
    const size_t prefix_len = length(kColorantValue);
    oid name[MAX_OID_LEN];
    size_t name_len = prefix_len;
    memcpy(name, kColorantValue, sizeof(kColorantValue));
    for (int n = 0; n < kMaxColorants; n++) {
        const oid *names[] = {name};
        netsnmp_pdu *reply = agent.ask(SNMP_MSG_GETNEXT, names, &name_len, 1);
        if (reply == nullptr)
            return;
        const netsnmp_variable_list *v =
            reply->errstat == SNMP_ERR_NOERROR ? reply->variables : nullptr;
        oid index[MAX_OID_LEN];
        size_t index_len = 0;
        if (v == nullptr || !index_under(v, kColorantValue, prefix_len, index, &index_len) ||
            snmp_oid_compare(v->name, v->name_length, name, name_len) <= 0) {
            free_reply(reply);
            return;
        }
        char value[sizeof(SupplyRow::colorant)] = "";
        text_value(v, value, sizeof(value));
        memcpy(name, v->name, v->name_length * sizeof(oid));
        name_len = v->name_length;
        free_reply(reply);
        // Indexed by the device, then the colorant's own number.
        if (index_len != 2)
            continue;
        for (int i = 0; i < answer.num_rows; i++) {
            SupplyRow &row = answer.rows[i];
            if (row.colorant_index > 0 && static_cast<oid>(row.colorant_index) == index[1])
                snprintf(row.colorant, sizeof(row.colorant), "%s", value);
        }
    }
}

// True once fd has something to read; never for fd < 0.
bool fd_readable(int fd, int timeout_ms)
{
    if (fd < 0)
        return false;
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

// Asks in *version first, the version the agent last answered: most agents
// answer SNMPv2c, but an older one answers v1 only and drops a v2c request
// unanswered. An agent silent in one is asked in the other while the
// deadline allows; *version becomes the one that answered.
void ask(const char *host, long *version, long long deadline, int wake_fd, Answer &answer)
{
    long v = *version;
    for (int tries = 0; tries < 2 && now_ms() < deadline; tries++) {
        // A printer going away stops the asking at once.
        if (tries > 0 && fd_readable(wake_fd, 0))
            return;
        Agent agent(host, v, deadline, wake_fd);
        if (agent.is_open() && ask_state(agent, answer.report)) {
            *version = v;
            answer.supplies_known = ask_supplies(agent, answer);
            if (answer.supplies_known)
                ask_colorants(agent, answer);
            return;
        }
        v = v == SNMP_VERSION_2c ? SNMP_VERSION_1 : SNMP_VERSION_2c;
    }
}

// The job a printer is printing, as its own thread said before it started
// (PAPPL prints one job at a time on a printer), and the message that told
// it the printer stopped, if one did. Found again by its number, which never
// changes: PAPPL reads a job's state without its lock.
struct PrintingJob {
    pappl_printer_t *printer;
    int job_id;
    const char *told;
};

// Under show_mutex.
std::vector<PrintingJob> printing_jobs;

PrintingJob &printing_job(pappl_printer_t *printer)
{
    const auto found = std::find_if(printing_jobs.begin(), printing_jobs.end(),
                                    [printer](const PrintingJob &p) { return p.printer == printer; });
    if (found != printing_jobs.end())
        return *found;
    printing_jobs.push_back({printer, 0, nullptr});
    return printing_jobs.back();
}

struct JobUpdate {
    PrintingJob *printing;
    const char *message;
    bool found;
};

// Takes back what the printer's stop told the job: its reason, and its
// message unless the job has failed since and says why in its own. Without
// a message PAPPL shows the text of the job's state.
void untell(pappl_job_t *job, PrintingJob &printing)
{
    if (printing.told == nullptr)
        return;
    papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
    if ((papplJobGetReasons(job) & PAPPL_JREASON_ERRORS_DETECTED) == 0)
        papplJobSetMessage(job, "%s", "");
    printing.told = nullptr;
}

void show_on_job(pappl_job_t *job, void *data)
{
    JobUpdate *update = static_cast<JobUpdate *>(data);
    if (papplJobGetID(job) != update->printing->job_id)
        return;
    update->found = true;
    // A job that failed keeps its own reasons and message.
    if (update->message != nullptr && (papplJobGetReasons(job) & PAPPL_JREASON_ERRORS_DETECTED) == 0) {
        papplJobSetReasons(job, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
        papplJobSetMessage(job, "%s", update->message);
        update->printing->told = update->message;
    } else if (update->message == nullptr) {
        untell(job, *update->printing);
    }
}

// Shows the answer on the printer and on the job it prints; job_id names
// that job when its own thread asked, 0 when the asking thread did.
void show(pappl_printer_t *printer, const Answer &answer, int job_id)
{
    std::lock_guard<std::mutex> hold(show_mutex);
    unsigned reasons = status_reasons(answer.report);
    pappl_supply_t supplies[PAPPL_MAX_SUPPLY];
    int num = 0;
    if (answer.supplies_known) {
        for (; num < answer.num_rows; num++) {
            supplies[num] = status_supply(answer.rows[num]);
            reasons |= status_supply_reasons(answer.rows[num]);
        }
    } else {
        // Kept as they were, but no longer known.
        num = papplPrinterGetSupplies(printer, PAPPL_MAX_SUPPLY, supplies);
        for (int i = 0; i < num; i++)
            supplies[i].level = -1;
    }
    const unsigned before = papplPrinterGetReasons(printer) & kStatusOwnedReasons;
    papplPrinterSetSupplies(printer, num, supplies);
    papplPrinterSetReasons(printer, static_cast<pappl_preason_t>(reasons), kStatusOwnedReasons);

    const char *message = status_stop_message(answer.report);
    if (before != reasons || message != nullptr) {
        papplLogPrinter(printer, before != reasons ? PAPPL_LOGLEVEL_INFO : PAPPL_LOGLEVEL_DEBUG,
                        "The printer's agent %s%s (device status %d, printer status %d, errors "
                        "%02x %02x, reasons %04x, %d supplies).",
                        !answer.report.answered ? "did not answer"
                        : message != nullptr    ? "reports: "
                                                : "reports nothing that stops printing",
                        message != nullptr ? message : "", answer.report.device_status,
                        answer.report.printer_status, answer.report.errors[0],
                        answer.report.errors[1], reasons, num);
    }

    PrintingJob &printing = printing_job(printer);
    if (job_id != 0 && job_id != printing.job_id)
        printing = {printer, job_id, nullptr};
    if (printing.job_id == 0)
        return;
    JobUpdate update = {&printing, message, false};
    papplPrinterIterateActiveJobs(printer, show_on_job, &update, 1, 0);
    if (!update.found)
        printing = {printer, 0, nullptr}; // it has ended
}

void count_job(pappl_job_t *, void *data)
{
    ++*static_cast<int *>(data);
}

struct Watcher {
    pappl_printer_t *printer = nullptr;
    char host[256] = "";
    long version = SNMP_VERSION_2c; // the agent's, under watchers_mutex
    int wake[2] = {-1, -1}; // written to when the printer goes
    pthread_t thread{};
};

std::mutex watchers_mutex;
std::vector<Watcher *> watchers;

// The printer's watcher in watchers, under watchers_mutex; watchers.end()
// when it has none.
std::vector<Watcher *>::iterator watcher_of(const pappl_printer_t *printer)
{
    return std::find_if(watchers.begin(), watchers.end(),
                        [printer](const Watcher *w) { return w->printer == printer; });
}

// The SNMP version a printer's agent last answered in; v2c until one did.
long agent_version(const pappl_printer_t *printer)
{
    std::lock_guard<std::mutex> hold(watchers_mutex);
    const auto w = watcher_of(printer);
    return w != watchers.end() ? (*w)->version : SNMP_VERSION_2c;
}

void keep_agent_version(const pappl_printer_t *printer, long version)
{
    std::lock_guard<std::mutex> hold(watchers_mutex);
    const auto w = watcher_of(printer);
    if (w != watchers.end())
        (*w)->version = version;
}

bool woken(const Watcher &w, int timeout_ms)
{
    return fd_readable(w.wake[0], timeout_ms);
}

void *watch(void *arg)
{
    Watcher *w = static_cast<Watcher *>(arg);
    pappl_system_t *system = papplPrinterGetSystem(w->printer);
    long long last = -1;
    while (!woken(*w, 1000)) {
        if (papplSystemIsShutdown(system))
            continue;
        // Counted under the printer's lock: PAPPL reads its state without.
        int active = 0;
        papplPrinterIterateActiveJobs(w->printer, count_job, &active, 1, 0);
        const bool busy = active > 0;
        const int seconds = busy ? std::min(kBusySeconds, status_interval_seconds)
                                 : status_interval_seconds;
        const long long start = now_ms();
        if (last >= 0 && start - last < seconds * 1000LL)
            continue;
        Answer answer;
        long version = agent_version(w->printer);
        ask(w->host, &version, start + kPollBudgetMs, w->wake[0], answer);
        keep_agent_version(w->printer, version);
        if (woken(*w, 0))
            break;
        if (papplSystemIsShutdown(system))
            continue;
        show(w->printer, answer, 0);
        last = now_ms();
    }
    return nullptr;
}

void close_wake(Watcher *w)
{
    for (int &fd : w->wake) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

} // namespace

void status_init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Nothing read from or written to disk: no configuration, no
        // persistent state.
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        // The library's own first-use setup, done here while one thread runs.
        netsnmp_session s;
        snmp_sess_init(&s);
    });
}

void status_printer_created(pappl_printer_t *printer)
{
    // Until the printer's agent lists its supplies, or for a printer that is
    // not asked, the one supply every supported model has (each is a
    // monochrome laser printer), its level unknown: IPP Everywhere clients
    // expect a supply to show.
    if (papplPrinterGetSupplies(printer, 0, nullptr) == 0) {
        pappl_supply_t toner{};
        toner.color = PAPPL_SUPPLY_COLOR_BLACK;
        snprintf(toner.description, sizeof(toner.description), "%s", "Black Toner");
        toner.is_consumed = true;
        toner.level = -1;
        toner.type = PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE;
        papplPrinterSetSupplies(printer, 1, &toner);
    }
    char host[256];
    if (!status_uri_host(papplPrinterGetDeviceURI(printer), host, sizeof(host)))
        return;
    status_init();
    Watcher *w = new Watcher;
    w->printer = printer;
    snprintf(w->host, sizeof(w->host), "%s", host);
    if (pipe2(w->wake, O_CLOEXEC) != 0) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR,
                        "Unable to watch the printer's state: %s", strerror(errno));
        delete w;
        return;
    }
    const int err = pthread_create(&w->thread, nullptr, watch, w);
    if (err != 0) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to watch the printer's state: %s",
                        strerror(err));
        close_wake(w);
        delete w;
        return;
    }
    std::lock_guard<std::mutex> hold(watchers_mutex);
    watchers.push_back(w);
}

void status_printer_deleted(pappl_printer_t *printer, pappl_pr_driver_data_t *data)
{
    (void)data;
    Watcher *w = nullptr;
    {
        std::lock_guard<std::mutex> hold(watchers_mutex);
        const auto found = watcher_of(printer);
        if (found != watchers.end()) {
            w = *found;
            watchers.erase(found);
        }
    }
    if (w != nullptr) {
        const char byte = 1;
        while (write(w->wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
        pthread_join(w->thread, nullptr);
        close_wake(w);
        delete w;
    }
    // Nothing shows anything on this printer any more.
    std::lock_guard<std::mutex> hold(show_mutex);
    printing_jobs.erase(std::remove_if(printing_jobs.begin(), printing_jobs.end(),
                                       [printer](const PrintingJob &p) { return p.printer == printer; }),
                        printing_jobs.end());
}

void status_before_job(pappl_job_t *job, int budget_ms)
{
    pappl_printer_t *printer = papplJobGetPrinter(job);
    char host[256];
    if (!status_uri_host(papplPrinterGetDeviceURI(printer), host, sizeof(host)))
        return;
    if (budget_ms <= 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                    "No time is left to ask the printer's state; the next ask tells.");
        // The next ask shows its answer on this job.
        std::lock_guard<std::mutex> hold(show_mutex);
        printing_job(printer) = {printer, papplJobGetID(job), nullptr};
        return;
    }
    status_init();
    Answer answer;
    const long long start = now_ms();
    long version = agent_version(printer);
    ask(host, &version, start + budget_ms, -1, answer);
    keep_agent_version(printer, version);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Printer state query took %lld ms.", now_ms() - start);
    show(printer, answer, papplJobGetID(job));
}

void status_after_job(pappl_job_t *job)
{
    pappl_printer_t *printer = papplJobGetPrinter(job);
    std::lock_guard<std::mutex> hold(show_mutex);
    PrintingJob &printing = printing_job(printer);
    if (printing.job_id != papplJobGetID(job))
        return;
    // The printer took the job whatever it reports: its stop is no longer
    // this job's to show.
    untell(job, printing);
    printing = {printer, 0, nullptr};
}
