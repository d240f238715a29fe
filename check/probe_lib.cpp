// The probe's library. The probe loads it by name at run time, as an application loads a
// plug-in, and Windows finds it through the launcher's lib entry in PATH. The tests plant copies of it
// elsewhere to see which one the application gets.
extern "C" __declspec(dllexport) int probe_library_version() { return 1; }
