// A library that loads like a PKCS#11 module but offers no C_GetFunctionList.
extern "C" __attribute__((visibility("default"))) int vellum_p11nosym_marker() {
    return 1;
}
