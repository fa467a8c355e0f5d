/* pyconfig.h for compiling extension modules against the 64-bit python.org
   CPython for Windows (3.9 to 3.13) with a MinGW-style compiler.

   Only what the public headers read is here, with the values of the
   interpreter's own MSVC build: its data layout (LLP64: long is 32 bits,
   wchar_t 16), Windows threads, and its API imported from pythonXY.dll. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this configuration is for 64-bit x86 Windows targets"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The API lives in pythonXY.dll: functions and data are imported, the
   module's PyInit_* is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
/* MSVC's long double is a double; MinGW's is the x87 type. Python's own
   layout follows MSVC. */
#define SIZEOF_LONG_DOUBLE 8
#define ALIGNOF_MAX_ALIGN_T 8

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_SSIZE_T 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define HAVE_COPYSIGN 1
#define HAVE_HYPOT 1
#define HAVE_ROUND 1
#define HAVE_DECL_ISFINITE 1
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISNAN 1

#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#if defined(__has_include)
#if __has_include(<cpython/pyatomic.h>)
/* 3.13 and later: mimalloc is built in, as on every python.org build. */
#define WITH_MIMALLOC 1
#define WITH_FREELISTS 1
#endif
#endif

#endif /* Py_CONFIG_H */
