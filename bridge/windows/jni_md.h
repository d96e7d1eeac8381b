/* The machine-dependent part of jni.h for Windows x86-64: the JDK installed
   here carries only Linux's. On x86-64 __stdcall is accepted and ignored, so
   the JNI methods keep their plain names. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
