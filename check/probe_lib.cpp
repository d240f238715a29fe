// The probe's library. The probe loads it by name at run time, as an application loads a plug-in, and Windows finds
// it through the launcher's lib entry in PATH. The tests plant copies of it elsewhere to see which one the
// application gets. With no runtime and no imports: Windows calls its entry when it is loaded, and that is all.
#if defined(__i386__)
#define WINAPI __stdcall
#else
#define WINAPI
#endif

extern "C" __declspec(dllexport) int probe_library_version() { return 1; }

extern "C" int WINAPI probe_lib_entry(void*, unsigned long, void*) { return 1; }
