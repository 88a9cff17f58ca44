// A library that runs a transaction of GCC's transactional memory runtime (libitm), as
// opencryptoki's token libraries do when they initialise.
static int transactions;

extern "C" __attribute__((visibility("default"))) int vellum_tm_transact() {
    int count = 0;
    __transaction_atomic {
        count = ++transactions;
    }
    return count;
}
