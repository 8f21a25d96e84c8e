// Real-time priority through rtkit over D-Bus (libdbus-1).
#include "platform/sound_rtkit.h"

#include <dbus/dbus.h>
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace sound {

namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kPath = "/org/freedesktop/RealtimeKit1";
constexpr const char* kDefaultAddress = "unix:path=/var/run/dbus/system_bus_socket";
constexpr int kCallTimeoutMs = 200;
constexpr rlim_t kRtTimeUs = 200'000;  // rtkit's default RTTimeUSecMax
constexpr int32_t kDefaultMaxPriority = 20;

bool isRealtime(pid_t tid) {
    const int policy = sched_getscheduler(tid);
    if (policy < 0) return false;
    const int base = policy & ~SCHED_RESET_ON_FORK;
    return base == SCHED_FIFO || base == SCHED_RR;
}

// rtkit grants only to processes whose real-time threads cannot hog a core.
void limitRtTime() {
    rlimit r;
    if (getrlimit(RLIMIT_RTTIME, &r) != 0) return;
    if (r.rlim_max != RLIM_INFINITY && r.rlim_max <= kRtTimeUs && r.rlim_cur <= r.rlim_max) return;
    const rlim_t limit = r.rlim_max != RLIM_INFINITY && r.rlim_max < kRtTimeUs ? r.rlim_max : kRtTimeUs;
    r.rlim_cur = r.rlim_cur != RLIM_INFINITY && r.rlim_cur < limit ? r.rlim_cur : limit;
    r.rlim_max = limit;
    setrlimit(RLIMIT_RTTIME, &r);
}

// A private connection to the system bus whose every call is bounded; the
// first call that fails for want of the bus or the service ends its use.
class Bus {
public:
    Bus() {
        const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        DBusError e;
        dbus_error_init(&e);
        conn_ = dbus_connection_open_private(address && *address ? address : kDefaultAddress, &e);
        dbus_error_free(&e);
        if (!conn_) return;
        dbus_connection_set_exit_on_disconnect(conn_, FALSE);
        DBusMessage* reply = call(dbus_message_new_method_call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello"));
        if (reply) dbus_message_unref(reply);
    }
    ~Bus() {
        if (!conn_) return;
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
    }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    bool usable() const { return conn_ && !broken_; }

    // Sends m (consumed) and waits for its reply; null on any failure.
    DBusMessage* call(DBusMessage* m) {
        if (!m) return nullptr;
        if (!usable()) {
            dbus_message_unref(m);
            return nullptr;
        }
        DBusError e;
        dbus_error_init(&e);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(conn_, m, kCallTimeoutMs, &e);
        dbus_message_unref(m);
        if (dbus_error_is_set(&e)) {
            const char* n = e.name;
            if (!std::strcmp(n, DBUS_ERROR_NO_REPLY) || !std::strcmp(n, DBUS_ERROR_TIMEOUT) ||
                !std::strcmp(n, DBUS_ERROR_TIMED_OUT) || !std::strcmp(n, DBUS_ERROR_SERVICE_UNKNOWN) ||
                !std::strcmp(n, DBUS_ERROR_NAME_HAS_NO_OWNER) || !std::strcmp(n, DBUS_ERROR_DISCONNECTED) ||
                !std::strcmp(n, DBUS_ERROR_NO_SERVER) || !std::strcmp(n, DBUS_ERROR_NO_MEMORY) ||
                !dbus_connection_get_is_connected(conn_))
                broken_ = true;
            dbus_error_free(&e);
        }
        return reply;
    }

private:
    DBusConnection* conn_ = nullptr;
    bool broken_ = false;
};

int32_t maxPriority(Bus& bus) {
    DBusMessage* m = dbus_message_new_method_call(kService, kPath, DBUS_INTERFACE_PROPERTIES, "Get");
    const char* interface = kService;
    const char* property = "MaxRealtimePriority";
    if (m && !dbus_message_append_args(m, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                       DBUS_TYPE_INVALID)) {
        dbus_message_unref(m);
        m = nullptr;
    }
    DBusMessage* reply = bus.call(m);
    int32_t value = kDefaultMaxPriority;
    DBusMessageIter it, variant;
    if (reply && dbus_message_iter_init(reply, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&it, &variant);
        if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_INT32)
            dbus_message_iter_get_basic(&variant, &value);
    }
    if (reply) dbus_message_unref(reply);
    return value;
}

bool makeRealtime(Bus& bus, pid_t tid, int priority) {
    DBusMessage* m = dbus_message_new_method_call(kService, kPath, kService, "MakeThreadRealtime");
    const dbus_uint64_t thread = dbus_uint64_t(tid);
    const dbus_uint32_t p = dbus_uint32_t(priority);
    if (m && !dbus_message_append_args(m, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &p, DBUS_TYPE_INVALID)) {
        dbus_message_unref(m);
        m = nullptr;
    }
    DBusMessage* reply = bus.call(m);
    if (!reply) return false;
    const bool granted = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    dbus_message_unref(reply);
    return granted;
}

// The CPU a thread of this process last ran on, or -1.
int lastCpu(pid_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", int(tid));
    FILE* f = std::fopen(path, "re");
    if (!f) return -1;
    char text[1024];
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');
    if (!p) return -1;
    // Field 39 (processor); the text after ')' starts at field 3.
    int field = 2;
    for (; *p && field < 39; ++p)
        if (*p == ' ') ++field;
    return *p ? std::atoi(p) : -1;
}

}  // namespace

std::vector<pid_t> processThreads() {
    std::vector<pid_t> ids;
    DIR* d = opendir("/proc/self/task");
    if (!d) return ids;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        const long id = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && id > 0) ids.push_back(pid_t(id));
    }
    closedir(d);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<pid_t> newThreads(const std::vector<pid_t>& before, const std::vector<pid_t>& after) {
    std::vector<pid_t> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    return added;
}

int requestRealtime(const std::vector<pid_t>& threads, int priority) {
    std::vector<pid_t> wanted;
    for (pid_t tid : threads)
        if (tid > 0 && !isRealtime(tid)) wanted.push_back(tid);
    if (wanted.empty()) return 0;
    limitRtTime();
    Bus bus;
    if (!bus.usable()) return 0;
    const int32_t ceiling = maxPriority(bus);
    if (ceiling < 1) return 0;
    const int p = std::max(1, std::min(priority, int(ceiling)));
    int granted = 0;
    for (pid_t tid : wanted) {
        if (!bus.usable()) break;
        if (makeRealtime(bus, tid, p)) ++granted;
    }
    return granted;
}

int bindRealtimeThreads(const std::vector<pid_t>& threads) {
    std::vector<pid_t> realtime;
    for (pid_t tid : threads)
        if (tid > 0 && isRealtime(tid)) realtime.push_back(tid);
    if (realtime.size() < 2) return 0;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return 0;
    const int cpu = lastCpu(realtime.front());
    if (cpu < 0 || cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &allowed)) return 0;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    int bound = 0;
    for (pid_t tid : realtime)
        if (sched_setaffinity(tid, sizeof one, &one) == 0) ++bound;
    return bound;
}

}  // namespace sound
