// A stand-in for the VM side of JNI, and StartUtil.dll loaded the way the VM loads it.
//
// The fake JNIEnv implements only GetStringLength, GetStringChars and ReleaseStringChars (every
// other entry is null, so touching one crashes the test). Each string counts its Get and
// Release calls, and its characters can live flush against a no-access page in read-only
// memory with no terminator: reading one character too far or writing to them faults.
#pragma once

#include <windows.h>
//
#include <jni.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

// A build path as CMake gives it (Z:/...) in Windows form.
inline std::wstring buildPath(const char* path) {
    std::wstring wide;
    for (const char* p = path; *p != '\0'; ++p) wide.push_back(*p == '/' ? L'\\' : wchar_t(*p));
    return wide;
}

// The characters copied to the very end of a read-only page that a no-access page follows.
class GuardedChars {
  public:
    explicit GuardedChars(std::u16string_view text) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        std::size_t page = system.dwPageSize;
        std::size_t bytes = text.size() * sizeof(char16_t);
        if (bytes > page) throw std::length_error("text larger than a page");
        base_ = static_cast<char*>(
            VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (base_ == nullptr) throw std::runtime_error("VirtualAlloc failed");
        char* start = base_ + page - bytes;
        if (bytes != 0) std::memcpy(start, text.data(), bytes);
        DWORD old = 0;
        if (!VirtualProtect(base_, page, PAGE_READONLY, &old) ||
            !VirtualProtect(base_ + page, page, PAGE_NOACCESS, &old)) {
            VirtualFree(base_, 0, MEM_RELEASE);
            throw std::runtime_error("VirtualProtect failed");
        }
        chars_ = reinterpret_cast<const jchar*>(start);
    }
    ~GuardedChars() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedChars(const GuardedChars&) = delete;
    GuardedChars& operator=(const GuardedChars&) = delete;

    const jchar* get() const { return chars_; }

  private:
    char* base_ = nullptr;
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
    FakeVm() {
        std::memset(&table_, 0, sizeof table_);
        table_.GetStringLength = &getStringLength;
        table_.GetStringChars = &getStringChars;
        table_.ReleaseStringChars = &releaseStringChars;
        env_.functions = &table_;
    }
    FakeVm(const FakeVm&) = delete;
    FakeVm& operator=(const FakeVm&) = delete;

    JNIEnv* env() { return &env_; }

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

    JNINativeInterface_ table_;
    JNIEnv env_;
};

using NativeMethod = void(JNICALL*)(JNIEnv*, jclass, jstring);

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
