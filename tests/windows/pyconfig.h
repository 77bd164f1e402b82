/* The build configuration <Python.h> reads, described for CPython 3.13 on 64-bit Windows
   (x86-64, LLP64), so that tests/test_portability.py can check the sources with a Windows
   cross compiler and this machine's own CPython headers. Only what those headers consult is
   here; nothing is linked against it. A Windows CPython build configures itself this way:
   no POSIX headers (no HAVE_UNISTD_H, no pthreads), extensions import from the DLL. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || (!defined(__x86_64__) && !defined(_M_X64))
#error "this pyconfig.h describes 64-bit Windows on x86-64 only"
#endif

/* The platform, as CPython's sources test for it. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* Extensions call into python3.13.dll: the API is __declspec(dllimport). */
#define Py_ENABLE_SHARED 1

/* Sizes in bytes. Windows keeps long at 32 bits on 64-bit targets. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8

/* wchar_t holds UTF-16 code units. */
#define HAVE_WCHAR_H 1

/* The headers the C runtime has; none of the POSIX-only ones. */
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_IO_H 1
#define HAVE_PROCESS_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1
#define HAVE_DIRECT_H 1

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* Py_CONFIG_H */
