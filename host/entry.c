/* The library's one export: the host calls it once when it loads vorn~.mxe. */
int vorn_main(void);

__attribute__((visibility("default"))) int main(void) { return vorn_main(); }
