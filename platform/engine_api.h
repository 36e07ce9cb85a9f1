/*
 * engine_api.h - the six functions of the analysis engine, as the plug-ins
 * and the demo bind them by name and as an engine library exports them.
 *
 * The engine keeps named frames of named fields.  Every function returns a
 * 32-bit int; run_KRT_command counts as successful when it returns 0 or
 * KRT_RESULT_NOTE (-10000), every other function only when it returns 0.
 * Arrays handed out by get_field_ptr belong to the engine and stay valid
 * until the next call into it.  The functions have the compiler's default
 * calling convention (__cdecl on 32-bit Windows) and plain names.
 */
#ifndef KEST_ENGINE_API_H
#define KEST_ENGINE_API_H

#define KRT_RESULT_NOTE (-10000)
#define KRT_REPLY_SIZE 4096

#ifdef __cplusplus
extern "C" {
#endif

/* Runs one text command; a reply text of at most reply_size bytes
 * (string end included) is left in reply. */
typedef int (*krt_run_command_fn)(const char* command, char* reply, int reply_size);
/* Creates the frame, or empties it when it exists. */
typedef int (*krt_create_new_frame_fn)(const char* frame);
/* Stores a copy of count values as the named field of the frame, replacing
 * a field of that name. */
typedef int (*krt_insert_ffield_fn)(const char* frame, const char* field, int count, const float* values);
typedef int (*krt_insert_ifield_fn)(const char* frame, const char* field, int count, const int* values);
typedef int (*krt_insert_sfield_fn)(const char* frame, const char* field, int count, const char* const* values);
/* Lends field `index` (counted from 0) of the frame: its values and their
 * count. */
typedef int (*krt_get_field_ptr_fn)(const char* frame, int index, void** values, int* count);

#ifdef __cplusplus
}
#endif

#endif /* KEST_ENGINE_API_H */
