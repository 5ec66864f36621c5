/* A test module that cannot load unless its helper library, which stands
   beside it, is found: it imports the helper's one function. */
#ifdef _WIN32
#define EXPORTED __declspec(dllexport)
#define IMPORTED __declspec(dllimport)
#else
#define EXPORTED __attribute__((visibility("default")))
#define IMPORTED
#endif

IMPORTED int quillon_helper_answer(void);

EXPORTED int quillon_answer_through_helper(void) { return quillon_helper_answer(); }
