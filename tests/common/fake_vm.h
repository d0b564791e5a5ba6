// A stand-in for the VM side of JNI, and the library loaded the way the VM loads it, on Windows
// (StartUtil.dll under Wine) and on Linux (libStartUtil.so).
//
// The fake JNIEnv implements GetStringLength, GetStringChars and ReleaseStringChars, and
// fake_jni.h's receiver-class calls (every other entry is null, so touching one crashes the test).
// Each string counts its Get and Release calls, and its characters can live flush against a
// no-access page in read-only memory with no terminator: reading one character too far or writing
// to them faults.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#endif
//
#include <jni.h>

// A C header: its casts are C's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include "fake_jni.h"
#pragma GCC diagnostic pop

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#ifdef _WIN32
// A build path as CMake gives it (Z:/...) in Windows form.
inline std::wstring buildPath(const char* path) {
    std::wstring wide;
    for (const char* p = path; *p != '\0'; ++p) wide.push_back(*p == '/' ? L'\\' : wchar_t(*p));
    return wide;
}
#endif

// Pages from the system: read-write when made, then read-only or no-access.
namespace pages {
#ifdef _WIN32
inline std::size_t size() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwPageSize;
}
inline char* map(std::size_t bytes) {
    return static_cast<char*>(
        VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}
inline bool protect(char* at, std::size_t bytes, bool readable) {
    DWORD old = 0;
    return VirtualProtect(at, bytes, readable ? PAGE_READONLY : PAGE_NOACCESS, &old);
}
inline void unmap(char* at, std::size_t /*bytes*/) {
    VirtualFree(at, 0, MEM_RELEASE);
}
#else
inline std::size_t size() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}
inline char* map(std::size_t bytes) {
    void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : static_cast<char*>(at);
}
inline bool protect(char* at, std::size_t bytes, bool readable) {
    return mprotect(at, bytes, readable ? PROT_READ : PROT_NONE) == 0;
}
inline void unmap(char* at, std::size_t bytes) {
    munmap(at, bytes);
}
#endif
}  // namespace pages

// The characters copied to the very end of read-only pages that a no-access page follows.
class GuardedChars {
  public:
    explicit GuardedChars(std::u16string_view text) {
        std::size_t page = pages::size();
        std::size_t bytes = text.size() * sizeof(char16_t);
        std::size_t readable = (bytes + page - 1) / page * page;
        if (readable == 0) readable = page;
        mapped_ = readable + page;
        base_ = pages::map(mapped_);
        if (base_ == nullptr) throw std::runtime_error("cannot map pages");
        char* start = base_ + readable - bytes;
        if (bytes != 0) std::memcpy(start, text.data(), bytes);
        if (!pages::protect(base_, readable, true) ||
            !pages::protect(base_ + readable, page, false)) {
            pages::unmap(base_, mapped_);
            throw std::runtime_error("cannot protect pages");
        }
        chars_ = reinterpret_cast<const jchar*>(start);
    }
    ~GuardedChars() { pages::unmap(base_, mapped_); }
    GuardedChars(const GuardedChars&) = delete;
    GuardedChars& operator=(const GuardedChars&) = delete;

    const jchar* get() const { return chars_; }

  private:
    char* base_ = nullptr;
    std::size_t mapped_ = 0;
    const jchar* chars_ = nullptr;
};

// One Java string as the fake VM sees it. Its address is the jstring handed to the library.
struct FakeString {
    explicit FakeString(std::u16string_view text, bool vmGivesNoChars = false)
        : chars(text), length(static_cast<jsize>(text.size())), noChars(vmGivesNoChars) {}

    jstring handle() { return reinterpret_cast<jstring>(this); }

    GuardedChars chars;
    jsize length;
    bool noChars;
    std::atomic<int> gets{0};
    std::atomic<int> releases{0};
    std::atomic<int> foreignReleases{0};  // released with a pointer the VM did not hand out
};

class FakeVm {
  public:
    // `classHasMethods`: the receiver's class is the jar's own, with quietLaunch and launchOutcome.
    explicit FakeVm(bool classHasMethods = false) {
        fakeJniInit(&jni_);
        jni_.hasMethods = classHasMethods ? 1 : 0;
        jni_.table.GetStringLength = &getStringLength;
        jni_.table.GetStringChars = &getStringChars;
        jni_.table.ReleaseStringChars = &releaseStringChars;
    }
    FakeVm(const FakeVm&) = delete;
    FakeVm& operator=(const FakeVm&) = delete;

    JNIEnv* env() { return reinterpret_cast<JNIEnv*>(&jni_); }
    FakeJni& jni() { return jni_; }
    // The last outcome's failure line, as the Java side would read it.
    std::string failureLine() const {
        return jni_.lineSize < 0 ? std::string()
                                 : std::string(jni_.line, jni_.line + jni_.lineSize);
    }

  private:
    static FakeString& of(jstring string) { return *reinterpret_cast<FakeString*>(string); }
    static jsize JNICALL getStringLength(JNIEnv*, jstring string) { return of(string).length; }
    static const jchar* JNICALL getStringChars(JNIEnv*, jstring string, jboolean* isCopy) {
        FakeString& fake = of(string);
        ++fake.gets;
        if (isCopy != nullptr) *isCopy = JNI_FALSE;
        return fake.noChars ? nullptr : fake.chars.get();
    }
    static void JNICALL releaseStringChars(JNIEnv*, jstring string, const jchar* chars) {
        FakeString& fake = of(string);
        ++fake.releases;
        if (chars != fake.chars.get()) ++fake.foreignReleases;
    }

    FakeJni jni_{};
};

using NativeMethod = void(JNICALL*)(JNIEnv*, jclass, jstring);

#ifdef _WIN32
// StartUtil.dll, loaded by its full path as System.load would.
class StartUtilModule {
  public:
    StartUtilModule() : module_(LoadLibraryW(buildPath(STARTUTIL_DLL).c_str())) {
        if (module_ == nullptr) throw std::runtime_error("cannot load StartUtil.dll");
        programPath =
            byName("Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommand");
        commandLine = byName(
            "Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommandWithArgs");
    }
    ~StartUtilModule() { FreeLibrary(module_); }
    StartUtilModule(const StartUtilModule&) = delete;
    StartUtilModule& operator=(const StartUtilModule&) = delete;

    NativeMethod byName(const char* name) const {
        return reinterpret_cast<NativeMethod>(
            reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    NativeMethod byOrdinal(WORD ordinal) const {
        return reinterpret_cast<NativeMethod>(
            reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal))));
    }

    NativeMethod programPath = nullptr;
    NativeMethod commandLine = nullptr;

  private:
    HMODULE module_;
};
#else
// libStartUtil.so, loaded by its full path as System.load would.
class StartUtilModule {
  public:
    StartUtilModule() : module_(dlopen(STARTUTIL_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
        if (module_ == nullptr) throw std::runtime_error(dlerror());
        programPath =
            byName("Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommand");
        commandLine = byName(
            "Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommandWithArgs");
    }
    ~StartUtilModule() { dlclose(module_); }
    StartUtilModule(const StartUtilModule&) = delete;
    StartUtilModule& operator=(const StartUtilModule&) = delete;

    NativeMethod byName(const char* name) const {
        return reinterpret_cast<NativeMethod>(dlsym(module_, name));
    }

    NativeMethod programPath = nullptr;
    NativeMethod commandLine = nullptr;

  private:
    void* module_;
};
#endif
