/* The library's one export: the host calls it once when it loads vorn~.mxe. */
int vorn_main(void);

#if defined(_WIN32)
/* Exported by name through exports.def, with the C calling convention. */
int __cdecl main(void) { return vorn_main(); }
#else
__attribute__((visibility("default"))) int main(void) { return vorn_main(); }
#endif
