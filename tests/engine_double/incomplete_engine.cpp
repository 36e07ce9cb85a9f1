// An engine library that lacks get_field_ptr: binding it must fail.
extern "C" int run_KRT_command(const char*, char*, int) { return 0; }
extern "C" int create_new_frame(const char*) { return 0; }
extern "C" int krt_insert_ffield(const char*, const char*, int, const float*) { return 0; }
extern "C" int krt_insert_ifield(const char*, const char*, int, const int*) { return 0; }
extern "C" int krt_insert_sfield(const char*, const char*, int, const char* const*) { return 0; }
