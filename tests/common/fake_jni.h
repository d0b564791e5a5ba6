/* The VM's side of the JNI calls the library makes about its receiver's class, for every fake
 * VM (C and C++, with or without a C runtime): the class lookup, the two static methods of the
 * jar's own class, the byte array of a failure line and the pending exception; and the C hosts'
 * strings (fake_vm.h has strings of its own).
 *
 * Every receiver is taken for a class object. That class declares the two methods only when
 * `hasMethods` is set; otherwise, as an application's own class that declares the two natives
 * alone, each lookup fails with an exception pending, which the library must clear. */
#ifndef STARTUTIL_FAKE_JNI_H
#define STARTUTIL_FAKE_JNI_H

#include <jni.h>

struct FakeJni {
    const struct JNINativeInterface_* functions; /* first: a JNIEnv* points here */
    struct JNINativeInterface_ table;
    int hasMethods;  /* the receiver's class declares quietLaunch and launchOutcome */
    jboolean quiet;  /* what quietLaunch() answers */
    int pending;     /* an exception is pending */
    int lookups;     /* method lookups made */
    int outcomes;    /* launchOutcome calls */
    jlong pid, code; /* the last outcome's */
    int lineSize;    /* its failure line's size, or -1 for a null array */
    char line[4096];
    jint arrayLength; /* the one byte array the fake hands out */
};

static struct FakeJni* fakeJniOf(JNIEnv* env) {
    return (struct FakeJni*)(void*)env;
}

/* Class objects are all of one class: the fake's java.lang.Class, which is its own class. */
static char fakeJniClassOfClasses;

static jclass JNICALL fakeJniGetObjectClass(JNIEnv* env, jobject object) {
    (void)env;
    (void)object;
    return (jclass)(void*)&fakeJniClassOfClasses;
}

static jboolean JNICALL fakeJniIsSameObject(JNIEnv* env, jobject a, jobject b) {
    (void)env;
    return a == b ? JNI_TRUE : JNI_FALSE;
}

static int fakeJniSame(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

static char fakeJniQuietLaunch, fakeJniLaunchOutcome;

static jmethodID JNICALL fakeJniGetStaticMethodID(JNIEnv* env, jclass owner, const char* name,
                                                  const char* descriptor) {
    struct FakeJni* fake = fakeJniOf(env);
    (void)owner;
    ++fake->lookups;
    if (fake->hasMethods && fakeJniSame(name, "quietLaunch") && fakeJniSame(descriptor, "()Z")) {
        return (jmethodID)(void*)&fakeJniQuietLaunch;
    }
    if (fake->hasMethods && fakeJniSame(name, "launchOutcome") &&
        fakeJniSame(descriptor, "(J[BJ)V")) {
        return (jmethodID)(void*)&fakeJniLaunchOutcome;
    }
    fake->pending = 1; /* NoSuchMethodError */
    return NULL;
}

static jboolean JNICALL fakeJniExceptionCheck(JNIEnv* env) {
    return fakeJniOf(env)->pending ? JNI_TRUE : JNI_FALSE;
}

static void JNICALL fakeJniExceptionClear(JNIEnv* env) {
    fakeJniOf(env)->pending = 0;
}

static jboolean JNICALL fakeJniCallStaticBooleanMethodA(JNIEnv* env, jclass owner, jmethodID method,
                                                        const jvalue* args) {
    (void)owner;
    (void)args;
    return method == (jmethodID)(void*)&fakeJniQuietLaunch ? fakeJniOf(env)->quiet : JNI_FALSE;
}

static void JNICALL fakeJniCallStaticVoidMethodA(JNIEnv* env, jclass owner, jmethodID method,
                                                 const jvalue* args) {
    struct FakeJni* fake = fakeJniOf(env);
    (void)owner;
    if (method != (jmethodID)(void*)&fakeJniLaunchOutcome) return;
    ++fake->outcomes;
    fake->pid = args[0].j;
    fake->lineSize = args[1].l != NULL ? (int)fake->arrayLength : -1;
    fake->code = args[2].j;
}

static jbyteArray JNICALL fakeJniNewByteArray(JNIEnv* env, jsize length) {
    struct FakeJni* fake = fakeJniOf(env);
    if (length < 0 || length > (jsize)sizeof fake->line) {
        fake->pending = 1; /* OutOfMemoryError */
        return NULL;
    }
    fake->arrayLength = length;
    return (jbyteArray)(void*)fake->line;
}

static void JNICALL fakeJniSetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start,
                                              jsize length, const jbyte* bytes) {
    (void)env;
    for (jsize i = 0; i < length; ++i) ((char*)(void*)array)[start + i] = (char)bytes[i];
}

/* One Java string for the C hosts (UTF-16 units, no terminator); its address is the jstring. */
struct FakeJniString {
    const jchar* chars;
    jsize length;
    int gets, releases; /* each must come to 1 */
};

static jsize JNICALL fakeJniGetStringLength(JNIEnv* env, jstring string) {
    (void)env;
    return ((struct FakeJniString*)(void*)string)->length;
}

static const jchar* JNICALL fakeJniGetStringChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    struct FakeJniString* fake = (struct FakeJniString*)(void*)string;
    (void)env;
    ++fake->gets;
    if (isCopy != NULL) *isCopy = JNI_FALSE;
    return fake->chars;
}

static void JNICALL fakeJniReleaseStringChars(JNIEnv* env, jstring string, const jchar* chars) {
    struct FakeJniString* fake = (struct FakeJniString*)(void*)string;
    (void)env;
    if (chars == fake->chars) ++fake->releases;
}

/* Fills in the fake's part of a zeroed FakeJni, whose other entries the host sets or leaves null
 * (using one crashes). Zeroed by its host: a loop here may become a memset that a host with no
 * C runtime lacks. */
static void fakeJniInit(struct FakeJni* fake) {
    fake->functions = &fake->table;
    fake->table.GetObjectClass = fakeJniGetObjectClass;
    fake->table.IsSameObject = fakeJniIsSameObject;
    fake->table.GetStaticMethodID = fakeJniGetStaticMethodID;
    fake->table.ExceptionCheck = fakeJniExceptionCheck;
    fake->table.ExceptionClear = fakeJniExceptionClear;
    fake->table.CallStaticBooleanMethodA = fakeJniCallStaticBooleanMethodA;
    fake->table.CallStaticVoidMethodA = fakeJniCallStaticVoidMethodA;
    fake->table.NewByteArray = fakeJniNewByteArray;
    fake->table.SetByteArrayRegion = fakeJniSetByteArrayRegion;
    fake->table.GetStringLength = fakeJniGetStringLength;
    fake->table.GetStringChars = fakeJniGetStringChars;
    fake->table.ReleaseStringChars = fakeJniReleaseStringChars;
}

#endif
