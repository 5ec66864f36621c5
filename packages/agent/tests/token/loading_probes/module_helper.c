/* A helper library a test module imports from, as vendor middleware ships
   its helper DLLs beside the module itself. */
#ifdef _WIN32
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED __attribute__((visibility("default")))
#endif

EXPORTED int quillon_helper_answer(void) { return 42; }
