/* Force-included into the prebuilt binaries (scripts/prebuild). glibc 2.34
 * moved the pthread functions into libc under a new default version; bound
 * to their older versions, which the same libc still exports, the binaries
 * load on glibc 2.28 and later. Other symbols keep their default version, and
 * test/package checks that none is newer than 2.28. */
#if defined(__x86_64__)
#define ORVEL_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define ORVEL_GLIBC_BASE "GLIBC_2.17"
#else
#error "no prebuilt binaries for this architecture"
#endif
#define ORVEL_OLD_VERSION(name) __asm__(".symver " #name "," #name "@" ORVEL_GLIBC_BASE);
ORVEL_OLD_VERSION(pthread_create)
ORVEL_OLD_VERSION(pthread_detach)
ORVEL_OLD_VERSION(pthread_getspecific)
ORVEL_OLD_VERSION(pthread_join)
ORVEL_OLD_VERSION(pthread_key_create)
ORVEL_OLD_VERSION(pthread_key_delete)
ORVEL_OLD_VERSION(pthread_kill)
ORVEL_OLD_VERSION(pthread_mutex_trylock)
ORVEL_OLD_VERSION(pthread_once)
ORVEL_OLD_VERSION(pthread_setspecific)
ORVEL_OLD_VERSION(pthread_sigmask)
