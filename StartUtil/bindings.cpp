// The two JNI entry points: turn the Java string into a private copy, pick the LaunchMode, ask
// the receiver's class whether the caller wants the outcome instead of the standard streams,
// launch, and hand the outcome back. Nothing platform-specific lives here.
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

// The class that declares the natives: the receiver itself when they are static, the receiver's
// class when they are instance methods. Only a Class object has java.lang.Class for its class.
jclass declaringClass(JNIEnv* env, jobject receiver) {
    jclass ofReceiver = env->GetObjectClass(receiver);
    jclass ofClasses = env->GetObjectClass(ofReceiver);
    if (env->IsSameObject(ofReceiver, ofClasses)) return static_cast<jclass>(receiver);
    return ofReceiver;
}

// The class's static method of that name and descriptor, or null, with the NoSuchMethodError of
// a class that lacks it cleared: an application's own class may declare the two natives alone.
jmethodID staticMethod(JNIEnv* env, jclass owner, const char* name, const char* descriptor) {
    jmethodID method = env->GetStaticMethodID(owner, name, descriptor);
    if (method == nullptr) env->ExceptionClear();
    return method;
}

// Whether this call wants its outcome handed back instead of an echo and a failure line: the
// class's quietLaunch() says so. Without that method, or should it throw, the call writes.
bool quietLaunch(JNIEnv* env, jclass owner) {
    jmethodID quiet = staticMethod(env, owner, "quietLaunch", "()Z");
    if (quiet == nullptr) return false;
    jvalue none[1] = {};
    jboolean answer = env->CallStaticBooleanMethodA(owner, quiet, none);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return false;
    }
    return answer == JNI_TRUE;
}

// Hands the outcome to the class's launchOutcome(pid, failureLine, errorCode): the line as UTF-8
// bytes, or null when the VM has no memory for them. Nothing is left pending for the caller.
void handBack(JNIEnv* env, jclass owner, const LaunchOutcome& outcome) {
    jmethodID deliver = staticMethod(env, owner, "launchOutcome", "(J[BJ)V");
    if (deliver == nullptr) return;
    jbyteArray line = nullptr;
    if (outcome.pid == 0) {
        auto size = static_cast<jsize>(outcome.lineSize);
        line = env->NewByteArray(size);
        if (line == nullptr) {
            env->ExceptionClear();
        } else {
            env->SetByteArrayRegion(line, 0, size, reinterpret_cast<const jbyte*>(outcome.line));
        }
    }
    jvalue arguments[3];
    arguments[0].j = static_cast<jlong>(outcome.pid);
    arguments[1].l = line;
    arguments[2].j = static_cast<jlong>(outcome.code);
    env->CallStaticVoidMethodA(owner, deliver, arguments);
    if (env->ExceptionCheck()) env->ExceptionClear();
}

void launch(JNIEnv* env, jobject receiver, LaunchMode mode, jobject command) noexcept {
    jclass owner = declaringClass(env, receiver);
    bool quiet = quietLaunch(env, owner);
    LaunchRequest request{mode, nullptr, 0, false};
    HeapArray<char16_t> text;
    if (command != nullptr) {
        auto string = static_cast<jstring>(command);
        request.length = static_cast<std::size_t>(std::max<jsize>(env->GetStringLength(string), 0));
        StringChars chars(env, string);
        // A VM out of native memory hands out no characters. Whether it leaves an exception
        // pending is the VM's affair (HotSpot leaves none): the library neither raises nor
        // clears one.
        if (chars.get() != nullptr) text = copyChars(chars.get(), request.length);
        request.text = text.get();
        request.uncopied = text == nullptr;
    }
    LaunchOutcome outcome;
    invokeNonBlocking(request, quiet ? Reporting::CallerOnly : Reporting::StandardStreams, outcome);
    // A VM that left its own exception pending (no characters) has it seen by the caller as is.
    if (quiet && !env->ExceptionCheck()) handBack(env, owner, outcome);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommand(
    JNIEnv* env, jclass receiver, jobject programPath) {
    launch(env, receiver, LaunchMode::ProgramPath, programPath);
}

JNIEXPORT void JNICALL
Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommandWithArgs(
    JNIEnv* env, jclass receiver, jobject commandLine) {
    launch(env, receiver, LaunchMode::CommandLine, commandLine);
}

}  // extern "C"
