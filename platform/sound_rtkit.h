#pragma once
// Real-time priority through rtkit (org.freedesktop.RealtimeKit1 on the
// system bus, or the bus DBUS_SYSTEM_BUS_ADDRESS names), for threads the
// system refuses SCHED_FIFO, as it does for a normal user.
//
// Blocking (D-Bus round trips with a short timeout): never call it on the
// audio thread.
#include <sys/types.h>

#include <vector>

namespace sound {

// Thread ids of this process (/proc/self/task), ascending.
std::vector<pid_t> processThreads();

// Ids in after that are not in before; both ascending.
std::vector<pid_t> newThreads(const std::vector<pid_t>& before, const std::vector<pid_t>& after);

// Asks rtkit to run each thread that is not real-time yet at the given
// priority (lowered to rtkit's MaxRealtimePriority). Lowers the process's
// RLIMIT_RTTIME to what rtkit accepts first. No rtkit, a refusal or a
// timeout: nothing changes. Returns the number of threads granted.
int requestRealtime(const std::vector<pid_t>& threads, int priority);

// Binds the real-time ones among threads to a single CPU, the one the first
// of them last ran on: real-time threads that hand every block to each
// other (a device callback and its plugin's I/O thread) would otherwise
// wake each other across CPUs and spin on each other's locks, which costs
// far more CPU than the work (notably on virtual machines). Returns how many
// were bound; none when fewer than two are real-time.
int bindRealtimeThreads(const std::vector<pid_t>& threads);

}  // namespace sound
