/*
 * krt.h - the reference analysis engine, libkrt.so.
 *
 * The engine keeps named frames of named fields (32-bit floats, ints or
 * strings) and runs text commands on them; its TS-SOM scripts impute and
 * edit the fields of the frame "data".  Only these six functions are
 * exported; they are what the plug-ins and the demo bind by name.  Every
 * function returns 0 on success and a positive KRT_ERR_* code on failure
 * (run_KRT_command also returns KRT_RESULT_NOTE, -10000, for a run that
 * succeeded but left values it was asked to impute missing).  The engine
 * is not meant for calls from several threads at once; calls are
 * serialised by a lock.
 */
#ifndef KRT_H
#define KRT_H

#include "engine_api.h"

#if defined(_WIN32)
#define KRT_API __declspec(dllexport)
#else
#define KRT_API __attribute__((visibility("default")))
#endif

#define KRT_ERR_COMMAND 1   /* empty or unknown command, unknown script */
#define KRT_ERR_SYNTAX 2    /* a command or its arguments malformed */
#define KRT_ERR_NO_OBJECT 3 /* a frame or field that does not exist */
#define KRT_ERR_VALUE 4     /* a number or setting outside its range */
#define KRT_ERR_DATA 5      /* the frame "data" unusable for a run */
#define KRT_ERR_NO_TRAINING 6 /* no record to train the map on */
#define KRT_ERR_ARGUMENT 7  /* a null pointer or negative count */
#define KRT_ERR_NO_MEMORY 99

#ifdef __cplusplus
extern "C" {
#endif

KRT_API int run_KRT_command(const char* command, char* reply, int reply_size);
KRT_API int create_new_frame(const char* frame);
KRT_API int krt_insert_ffield(const char* frame, const char* field, int count, const float* values);
KRT_API int krt_insert_ifield(const char* frame, const char* field, int count, const int* values);
KRT_API int krt_insert_sfield(const char* frame, const char* field, int count, const char* const* values);
KRT_API int get_field_ptr(const char* frame, int index, void** values, int* count);

#ifdef __cplusplus
}
#endif

#endif /* KRT_H */
