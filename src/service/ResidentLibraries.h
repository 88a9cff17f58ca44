#pragma once

// Runtime libraries that a token module may bring into the process and that cannot be unloaded
// and loaded again while the process lives. GCC's transactional memory runtime (libitm, which
// opencryptoki uses) keeps each thread's transaction descriptor in a slot of the thread control
// block rather than in its own thread-local storage: once unloaded, it leaves that slot pointing
// at a descriptor of the unmapped copy, and a copy loaded later takes the stale descriptor for its
// own and crashes at its first transaction. The module itself is still unloaded after every
// operation; only such a runtime, once the module has brought it in, stays for the rest of the
// process, as the C and C++ runtimes do.
class ResidentLibraries {
public:
    // Marks those of the libraries that are loaded now as never to be unloaded. Loads nothing
    // and reads no files: it looks only at the objects already in the process.
    static void keepLoaded() noexcept;
};
