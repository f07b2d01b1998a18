// What the C++ runtime linked into each module needs of the C library.
//
// libstdc++ asks glibc whether the process has a single thread, through a
// variable that glibc 2.32 added, and then skips atomic operations on its
// reference counts. Defined here, inside the module (the version script
// keeps it private), as "no": the runtime then always uses atomic
// operations, which is right in every process, and the modules keep loading
// on the older C libraries that manylinux wheels promise to run on.
extern "C" {
char __libc_single_threaded = 0;  // NOLINT: the C library's name, by design
}
