// Found only through the RUNPATH of the module beside it (CallerModule.cpp).
extern "C" __attribute__((visibility("default"))) int vellum_caller_helper_answer() {
    return 42;
}
