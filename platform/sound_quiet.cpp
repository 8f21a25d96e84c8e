// Keeping the libraries under the layer off the program's console, which is
// the program's alone.
#include <alsa/asoundlib.h>
#include <elf.h>
#include <jack/jack.h>
#include <link.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/sound_stream.h"

namespace sound {

namespace {

// ---- PortAudio's diagnostics ----
// PortAudio's ALSA host prints a line on stderr for every ALSA call that
// fails (a device that cannot be opened, a server that goes away), through
// a print hook it does not export. Its only use of vfprintf is that line, so
// its own import of vfprintf is pointed at one that prints nothing.

extern "C" int printNothing(FILE*, const char*, va_list) { return 0; }

#if defined(__x86_64__)
constexpr unsigned kSlotTypes[] = {R_X86_64_JUMP_SLOT, R_X86_64_GLOB_DAT};
#elif defined(__aarch64__)
constexpr unsigned kSlotTypes[] = {R_AARCH64_JUMP_SLOT, R_AARCH64_GLOB_DAT};
#else
constexpr unsigned kSlotTypes[] = {};  // left as it is
#endif

struct Import {
    const char* library;  // part of the file name
    const char* symbol;
    void* replacement;
};

// The address of a dynamic-section pointer: the loader has relocated it
// already, unless the section is read-only.
template <typename T>
T* dynamicPointer(const dl_phdr_info* info, ElfW(Addr) value) {
    return reinterpret_cast<T*>(value < info->dlpi_addr ? info->dlpi_addr + value : value);
}

// Points the slots of `symbol` in a relocation table at the replacement.
void redirect(const dl_phdr_info* info, const ElfW(Rela)* table, size_t bytes, const ElfW(Sym)* symbols,
              const char* strings, const Import& import) {
    ElfW(Addr) relroBegin = 0, relroEnd = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& p = info->dlpi_phdr[i];
        if (p.p_type == PT_GNU_RELRO) {
            relroBegin = info->dlpi_addr + p.p_vaddr;
            relroEnd = relroBegin + p.p_memsz;
        }
    }
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    for (size_t i = 0; i < bytes / sizeof(ElfW(Rela)); ++i) {
        const ElfW(Rela)& r = table[i];
        const unsigned type = ELF64_R_TYPE(r.r_info);
        if (std::find(std::begin(kSlotTypes), std::end(kSlotTypes), type) == std::end(kSlotTypes))
            continue;
        if (std::strcmp(strings + symbols[ELF64_R_SYM(r.r_info)].st_name, import.symbol) != 0) continue;
        const ElfW(Addr) slot = info->dlpi_addr + r.r_offset;
        const bool readOnly = slot >= relroBegin && slot < relroEnd;
        void* pageStart = reinterpret_cast<void*>(slot & ~(page - 1));
        if (readOnly && mprotect(pageStart, page, PROT_READ | PROT_WRITE) != 0) continue;
        *reinterpret_cast<void**>(slot) = import.replacement;
        if (readOnly) mprotect(pageStart, page, PROT_READ);
    }
}

int redirectImport(dl_phdr_info* info, size_t, void* data) {
    const Import& import = *static_cast<const Import*>(data);
    if (!info->dlpi_name || !std::strstr(info->dlpi_name, import.library)) return 0;
    const ElfW(Dyn)* dynamic = nullptr;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    if (!dynamic) return 0;
    const ElfW(Rela)* plt = nullptr;
    const ElfW(Rela)* rela = nullptr;
    size_t pltBytes = 0, relaBytes = 0;
    const ElfW(Sym)* symbols = nullptr;
    const char* strings = nullptr;
    for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
            case DT_JMPREL: plt = dynamicPointer<const ElfW(Rela)>(info, d->d_un.d_ptr); break;
            case DT_PLTRELSZ: pltBytes = d->d_un.d_val; break;
            case DT_RELA: rela = dynamicPointer<const ElfW(Rela)>(info, d->d_un.d_ptr); break;
            case DT_RELASZ: relaBytes = d->d_un.d_val; break;
            case DT_SYMTAB: symbols = dynamicPointer<const ElfW(Sym)>(info, d->d_un.d_ptr); break;
            case DT_STRTAB: strings = dynamicPointer<const char>(info, d->d_un.d_ptr); break;
            default: break;
        }
    }
    if (!symbols || !strings) return 0;
    if (plt) redirect(info, plt, pltBytes, symbols, strings, import);
    if (rela) redirect(info, rela, relaBytes, symbols, strings, import);
    return 1;
}

// ---- ALSA's and JACK's messages ----

extern "C" void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quietJack(const char*) {}

// ---- libpulse's cookie ----
// libpulse logs an error on stderr for every connection (seven while
// PortAudio lists the devices) when the user has no cookie and it cannot
// create one: no home, or one that cannot be written. Such a user is given a
// cookie of zeros, which authenticates no better than none: the server
// decides on its other grounds (credentials, anonymous access) as before.

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// Whether a directory exists or could be created by this user.
bool creatable(std::string dir) {
    struct stat st;
    while (!dir.empty() && stat(dir.c_str(), &st) != 0) {
        const size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos) return false;
        dir.resize(slash);
    }
    if (dir.empty()) dir = "/";
    return S_ISDIR(st.st_mode) && access(dir.c_str(), W_OK | X_OK) == 0;
}

void giveCookieIfNone() {
    if (std::getenv("PULSE_COOKIE")) return;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    std::string config;
    if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && *c)
        config = c;
    else if (!home.empty())
        config = home + "/.config";
    if (!config.empty() && (readable(config + "/pulse/cookie") || creatable(config + "/pulse"))) return;
    if (!home.empty() && readable(home + "/.pulse-cookie")) return;
    setenv("PULSE_COOKIE", "/dev/zero", 1);
}

}  // namespace

void quietLibraries() {
    static bool done = false;  // the calling thread's, as every call's
    if (done) return;
    done = true;
    giveCookieIfNone();
    snd_lib_error_set_handler(quietAlsa);
    jack_set_error_function(quietJack);
    jack_set_info_function(quietJack);
    Import print{"libportaudio.so", "vfprintf", reinterpret_cast<void*>(printNothing)};
    dl_iterate_phdr(redirectImport, &print);
}

}  // namespace sound
