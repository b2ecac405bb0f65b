#include "Backtrace.h"

#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <unistd.h>

#include <cstring>

namespace {

using crash::CLineReader;
using crash::StrLen;

constexpr int kMaxFrames = 64;
constexpr int kMaxModules = 32;

uintptr_t g_nPageSize = 4096;
// Outside the (alternate) stack; only one dump is written at a time.
char g_szHeadPath[PATH_MAX];

struct CModule {
    char szPath[PATH_MAX];
    uintptr_t nBase;  // start of the mapping of file offset 0
    uintptr_t nBias;  // subtract from an address to get what addr2line wants
};

struct CFrame {
    uintptr_t nPc;      // as unwound
    uintptr_t nLookup;  // the address that is resolved: a call site for return addresses
    int nModule;        // -1: not in a file mapping
};

CModule g_modules[kMaxModules];
int g_nModules = 0;
CFrame g_frames[kMaxFrames + 1];
int g_nFrames = 0;

uintptr_t ParseHex(const char*& p) {
    uintptr_t v = 0;
    for (;; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9')
            v = v * 16 + static_cast<uintptr_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = v * 16 + static_cast<uintptr_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v = v * 16 + static_cast<uintptr_t>(c - 'A' + 10);
        else
            return v;
    }
}

struct CMapping {
    uintptr_t nStart, nEnd, nOffset;
    bool bReadable;
    const char* szPath;  // "" for anonymous mappings
};

// "start-end perms offset dev inode path"
bool ParseMapsLine(const char* p, CMapping& m) {
    m.nStart = ParseHex(p);
    if (*p++ != '-') return false;
    m.nEnd = ParseHex(p);
    if (*p++ != ' ') return false;
    m.bReadable = *p == 'r';
    while (*p != '\0' && *p != ' ') ++p;
    if (*p++ != ' ') return false;
    m.nOffset = ParseHex(p);
    for (int nField = 0; nField < 2; ++nField) {  // dev, inode
        while (*p == ' ') ++p;
        while (*p != '\0' && *p != ' ') ++p;
    }
    while (*p == ' ') ++p;
    m.szPath = p;
    return true;
}

// The load bias from the module's own program headers, which lie in its
// first mapping [nBase, nHeadEnd); falls back to that mapping's start (right
// for PIE and shared objects linked at 0).
uintptr_t ComputeBias(uintptr_t nBase, uintptr_t nHeadEnd, bool bReadable) {
    using Ehdr = ElfW(Ehdr);
    using Phdr = ElfW(Phdr);
    if (!bReadable || nHeadEnd - nBase < sizeof(Ehdr)) return nBase;
    const auto* eh = reinterpret_cast<const Ehdr*>(nBase);
    if (memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_phentsize != sizeof(Phdr)) return nBase;
    uintptr_t nPhStart = nBase + eh->e_phoff;
    uintptr_t nPhBytes = static_cast<uintptr_t>(eh->e_phnum) * sizeof(Phdr);
    if (eh->e_phoff >= nHeadEnd - nBase || nPhBytes > nHeadEnd - nPhStart) return nBase;
    const auto* ph = reinterpret_cast<const Phdr*>(nPhStart);
    for (int i = 0; i < eh->e_phnum; ++i) {
        if (ph[i].p_type == PT_LOAD && (ph[i].p_offset & ~(g_nPageSize - 1)) == 0)
            return nBase - (ph[i].p_vaddr & ~(g_nPageSize - 1));
    }
    return nBase;
}

// One pass over /proc/self/maps finds the file and load address of every frame.
void ResolveFrames() {
    g_nModules = 0;
    for (int i = 0; i < g_nFrames; ++i) g_frames[i].nModule = -1;
    CLineReader maps("/proc/self/maps");
    if (!maps.Ok()) return;
    // The latest offset-0 mapping of a file: where its ELF header lives.
    g_szHeadPath[0] = '\0';
    uintptr_t nHeadStart = 0, nHeadEnd = 0;
    bool bHeadReadable = false;
    while (const char* szLine = maps.Next()) {
        CMapping m;
        if (!ParseMapsLine(szLine, m)) continue;
        if (m.szPath[0] == '\0') continue;
        if (m.nOffset == 0 && StrLen(m.szPath) < sizeof(g_szHeadPath)) {
            memcpy(g_szHeadPath, m.szPath, StrLen(m.szPath) + 1);
            nHeadStart = m.nStart;
            nHeadEnd = m.nEnd;
            bHeadReadable = m.bReadable;
        }
        bool bSameFile = strcmp(g_szHeadPath, m.szPath) == 0;
        for (int i = 0; i < g_nFrames; ++i) {
            CFrame& f = g_frames[i];
            if (f.nModule >= 0 || f.nLookup < m.nStart || f.nLookup >= m.nEnd) continue;
            uintptr_t nBase = bSameFile ? nHeadStart : m.nStart - m.nOffset;
            int nFound = -1;
            for (int k = 0; k < g_nModules; ++k) {
                if (g_modules[k].nBase == nBase && strcmp(g_modules[k].szPath, m.szPath) == 0) nFound = k;
            }
            if (nFound < 0 && g_nModules < kMaxModules && StrLen(m.szPath) < PATH_MAX) {
                CModule& mod = g_modules[g_nModules];
                memcpy(mod.szPath, m.szPath, StrLen(m.szPath) + 1);
                mod.nBase = nBase;
                mod.nBias = bSameFile ? ComputeBias(nBase, nHeadEnd, bHeadReadable) : nBase;
                nFound = g_nModules++;
            }
            f.nModule = nFound;
        }
    }
}

}  // namespace

namespace crash {

void PrepareBacktrace() {
    long nPage = sysconf(_SC_PAGESIZE);
    if (nPage > 0) g_nPageSize = static_cast<uintptr_t>(nPage);
    // glibc loads the unwinder on the first backtrace, allocating memory;
    // that must not happen for the first time inside the handler.
    void* frames[4];
    backtrace(frames, 4);
}

// Frames as seen from the handler start with the handler itself; the
// interesting part begins at the interrupted instruction.
void CollectBacktrace(uintptr_t nPc) {
    void* raw[kMaxFrames];
    int n = backtrace(raw, kMaxFrames);
    int nStart = -1;
    for (int i = 0; nPc != 0 && i < n; ++i) {
        if (reinterpret_cast<uintptr_t>(raw[i]) == nPc) {
            nStart = i;
            break;
        }
    }
    g_nFrames = 0;
    if (nStart < 0 && nPc != 0) {
        // The unwinder did not get past the fault (e.g. a jump to a bad
        // address); keep the fault address and the handler's own walk.
        g_frames[g_nFrames++] = CFrame{nPc, nPc, -1};
        nStart = 0;
    } else if (nStart < 0) {
        nStart = 1;  // no context: skip this function
    }
    for (int i = nStart; i < n && g_nFrames <= kMaxFrames; ++i) {
        uintptr_t a = reinterpret_cast<uintptr_t>(raw[i]);
        bool bExact = g_nFrames == 0 && a == nPc;
        g_frames[g_nFrames++] = CFrame{a, bExact || a == 0 ? a : a - 1, -1};
    }
    ResolveFrames();
}

void WriteBacktrace(CDumpWriter& out) {
    out.Str(
        "backtrace (frame, address, offset in module, module; resolve with addr2line -f -C -e MODULE OFFSET;\n"
        "  #0 is the interrupted instruction, later frames are call sites, i.e. return address - 1):\n");
    for (int i = 0; i < g_nFrames; ++i) {
        const CFrame& f = g_frames[i];
        out.Str("#").Dec(i).Str(" ").Hex(f.nPc);
        if (f.nModule >= 0) {
            const CModule& mod = g_modules[f.nModule];
            out.Str(" +").Hex(f.nLookup - mod.nBias, 1).Str(" ").Str(mod.szPath);
        } else {
            out.Str(" ? (no file mapping)");
        }
        out.Str("\n");
    }
}

}  // namespace crash
