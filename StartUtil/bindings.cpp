// The two JNI entry points: turn the Java string into a CommandText, pick the LaunchMode,
// launch. Nothing platform-specific lives here.
#include <velquon_zy_drav_sdk_util_ServerStartUtility.h>

#include <algorithm>

#include "heap_array.h"
#include "launcher.h"

static_assert(sizeof(jchar) == sizeof(char16_t), "jchar is a UTF-16 code unit");

namespace {

// The VM's characters for one string, given back on every path out of the call.
class StringChars {
  public:
    StringChars(JNIEnv* env, jstring string)
        : env_(env), string_(string), chars_(env->GetStringChars(string, nullptr)) {}
    ~StringChars() {
        if (chars_ != nullptr) env_->ReleaseStringChars(string_, chars_);
    }
    StringChars(const StringChars&) = delete;
    StringChars& operator=(const StringChars&) = delete;

    const jchar* get() const { return chars_; }

  private:
    JNIEnv* env_;
    jstring string_;
    const jchar* chars_;
};

// A private, writable, terminated copy sized from the string's length: the VM promises no
// terminator and its characters must not be written to. On the heap, because a Java string
// may be far larger than a thread's stack.
HeapArray<char16_t> copyChars(const jchar* chars, std::size_t length) {
    HeapArray<char16_t> copy = allocateArray<char16_t>(length + 1);
    if (copy == nullptr) return nullptr;
    std::copy_n(chars, length, copy.get());
    copy[length] = u'\0';
    return copy;
}

void launch(JNIEnv* env, jstring command, LaunchMode mode) noexcept {
    if (command == nullptr) return invokeNonBlocking(mode, nullptr);
    auto length = static_cast<std::size_t>(std::max<jsize>(env->GetStringLength(command), 0));
    HeapArray<char16_t> text;
    {
        StringChars chars(env, command);
        // A VM out of native memory hands out no characters. Whether it leaves an exception
        // pending is the VM's affair (HotSpot leaves none): the library neither raises nor clears
        // one.
        if (chars.get() != nullptr) text = copyChars(chars.get(), length);
    }
    if (text == nullptr) return refuseCommand(nullptr, length, Refusal::NoMemory);
    if (std::find(text.get(), text.get() + length, u'\0') != text.get() + length) {
        return refuseCommand(text.get(), length, Refusal::EmbeddedNul);
    }
    invokeNonBlocking(mode, text.get());
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommand(
    JNIEnv* env, jclass /*receiver*/, jstring programPath) {
    launch(env, programPath, LaunchMode::ProgramPath);
}

JNIEXPORT void JNICALL
Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommandWithArgs(
    JNIEnv* env, jclass /*receiver*/, jstring commandLine) {
    launch(env, commandLine, LaunchMode::CommandLine);
}

}  // extern "C"
