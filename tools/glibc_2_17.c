/* Linked into the distributed wheels only (tools/build_wheels.sh). They carry
 * the C++ runtime of the build machine's g++ statically and are linked
 * against glibc 2.17, so the few glibc functions newer than that which the
 * runtime refers to are given here, each as glibc defines it. Everything here
 * is hidden: the module's own references bind to it, no one else's do. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#define HIDDEN __attribute__((visibility("hidden")))

/* glibc 2.32: whether the process has only ever had one thread. The runtime
 * skips atomic operations when it is set; never set is always right. */
HIDDEN char __libc_single_threaded = 0;

/* glibc 2.25 and 2.36, reached only through std::random_device. */
HIDDEN int getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    char* at = buffer;
    while (length > 0) {
        long got = syscall(SYS_getrandom, at, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        at += got;
        length -= (size_t)got;
    }
    return 0;
}

HIDDEN uint32_t arc4random(void) {
    uint32_t value;
    if (getentropy(&value, sizeof value) != 0) abort(); /* as glibc's: it cannot fail */
    return value;
}

/* glibc 2.18: runs a thread_local object's destructor when its thread ends.
 * The interpreter's glibc has it unless it is older than 2.18; there a
 * thread-specific key runs them, newest first. */
struct destructor {
    void (*run)(void*);
    void* object;
    struct destructor* next;
};

static pthread_key_t destructors_key;

static void run_destructors(void* first) {
    for (struct destructor* entry = first; entry != NULL;) {
        struct destructor* next = entry->next;
        entry->run(entry->object);
        free(entry);
        entry = next;
    }
}

typedef int (*thread_atexit_function)(void (*)(void*), void*, void*);
static thread_atexit_function glibc_own;

static void look_up_glibc_own(void) {
    /* Our own definition is hidden, so the lookup finds only glibc's. */
    glibc_own = (thread_atexit_function)dlsym(RTLD_DEFAULT, "__cxa_thread_atexit_impl");
    if (glibc_own == NULL && pthread_key_create(&destructors_key, run_destructors) != 0) abort();
}

HIDDEN int __cxa_thread_atexit_impl(void (*run)(void*), void* object, void* dso_handle) {
    static pthread_once_t looked_up = PTHREAD_ONCE_INIT;
    pthread_once(&looked_up, look_up_glibc_own);
    if (glibc_own != NULL) return glibc_own(run, object, dso_handle);
    struct destructor* entry = malloc(sizeof *entry);
    if (entry == NULL) return -1;
    entry->run = run;
    entry->object = object;
    entry->next = pthread_getspecific(destructors_key);
    if (pthread_setspecific(destructors_key, entry) != 0) {
        free(entry);
        return -1;
    }
    return 0;
}

/* Before 2.28: pthread_atfork is no export but a part of libpthread_nonshared.a,
 * which registers the handlers for the calling library's own handle. */
extern void* __dso_handle;
extern int __register_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void), void* dso_handle);

HIDDEN int pthread_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void)) {
    return __register_atfork(prepare, parent, child, __dso_handle);
}
