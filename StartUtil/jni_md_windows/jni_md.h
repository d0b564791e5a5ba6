/* The machine-dependent half of jni.h for 64-bit Windows, which a Linux JDK does not ship:
 * the JNI types' sizes and the export and calling-convention markers. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;        /* 32 bits */
typedef long long jlong; /* 64 bits: long is 32 bits on Windows */
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
