/* The floor: what signing and verifying cost in C, without Python, on the messages and
 * keys that benchmarks/run.py gives the module and its peers.
 *
 *   floor            times every case (median of 7 loops of about 0.1 s) and prints JSON
 *   floor --serve    reads "CASE ITERATIONS" lines and answers each with one JSON line,
 *                    so that the driver can interleave these loops with its own
 *   floor --versions prints the versions of libsodium and OpenSSL it runs with
 *
 * The OpenSSL cases do per call what the module does: a fresh EVP_PKEY from the raw key,
 * a reset and freshly initialised digest context, and the error queue cleared. */
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/crypto.h>
#include <sodium.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* The driver builds the same bytes: message[i] = 'a' + (7 * i + 13) % 26. */
static unsigned char short_message[100];
static unsigned char long_message[10000];

static unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
static unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
static unsigned char valid_short[crypto_sign_BYTES];   /* of short_message */
static unsigned char valid_long[crypto_sign_BYTES];    /* of long_message */
static unsigned char invalid_short[crypto_sign_BYTES]; /* valid_short with bit 0 of R flipped */

/* The neutral point (y = 1) as key, and R = that point, S = 0: valid for every message
 * under a cofactorless check that allows small-order points; libsodium refuses the key. */
static unsigned char neutral_key[32] = {1};
static unsigned char neutral_signature[64] = {1};

static EVP_MD_CTX *context;
static volatile int sink;

static int openssl_verify(const unsigned char *message, size_t length, const unsigned char *signature,
                          const unsigned char *key) {
    EVP_PKEY *pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, NULL, key, 32);
    int accepted = 0;
    if (pkey != NULL) {
        EVP_MD_CTX_reset(context);
        accepted = EVP_DigestVerifyInit(context, NULL, NULL, NULL, pkey) == 1 &&
                   EVP_DigestVerify(context, signature, 64, message, length) == 1;
    }
    EVP_PKEY_free(pkey);
    ERR_clear_error();
    return accepted;
}

static void sign_short(void) {
    unsigned char signature[64];
    crypto_sign_detached(signature, NULL, short_message, sizeof short_message, secret_key);
    sink += signature[0];
}
static void sign_long(void) {
    unsigned char signature[64];
    crypto_sign_detached(signature, NULL, long_message, sizeof long_message, secret_key);
    sink += signature[0];
}
static void sodium_valid_short(void) {
    sink += crypto_sign_verify_detached(valid_short, short_message, sizeof short_message, public_key);
}
static void sodium_valid_long(void) {
    sink += crypto_sign_verify_detached(valid_long, long_message, sizeof long_message, public_key);
}
static void sodium_invalid(void) {
    sink += crypto_sign_verify_detached(invalid_short, short_message, sizeof short_message, public_key);
}
static void sodium_exotic(void) {
    sink += crypto_sign_verify_detached(neutral_signature, short_message, sizeof short_message, neutral_key);
}
static void openssl_valid_short(void) {
    sink += openssl_verify(short_message, sizeof short_message, valid_short, public_key);
}
static void openssl_invalid(void) {
    sink += openssl_verify(short_message, sizeof short_message, invalid_short, public_key);
}
static void openssl_exotic(void) {
    sink += openssl_verify(short_message, sizeof short_message, neutral_signature, neutral_key);
}
static void seed_keypair(void) {
    unsigned char pk[32], sk[64];
    crypto_sign_seed_keypair(pk, sk, secret_key);
    sodium_memzero(sk, sizeof sk);
    sink += pk[0];
}

struct floor_case {
    const char *name;
    void (*run)(void);
};

static const struct floor_case cases[] = {
    {"sodium_sign_100", sign_short},
    {"sodium_sign_10k", sign_long},
    {"sodium_verify_valid_100", sodium_valid_short},
    {"sodium_verify_valid_10k", sodium_valid_long},
    {"sodium_verify_invalid", sodium_invalid},
    {"sodium_verify_exotic", sodium_exotic},
    {"openssl_verify_valid_100", openssl_valid_short},
    {"openssl_verify_invalid", openssl_invalid},
    {"openssl_verify_exotic", openssl_exotic},
    {"sodium_seed_keypair", seed_keypair},
};
enum { case_count = sizeof cases / sizeof cases[0] };

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);  /* as the driver: CPU time of this thread */
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static double time_loop(const struct floor_case *c, long iterations) {
    const double start = now();
    for (long i = 0; i < iterations; ++i) c->run();
    return now() - start;
}

static const struct floor_case *find_case(const char *name) {
    for (int i = 0; i < case_count; ++i) {
        if (strcmp(cases[i].name, name) == 0) return &cases[i];
    }
    return NULL;
}

static int compare_doubles(const void *a, const void *b) {
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* Standalone: each case calibrated to about 0.1 s per loop, median of 7 loops. */
static void run_all(void) {
    enum { repeats = 7 };
    printf("{");
    for (int i = 0; i < case_count; ++i) {
        long iterations = 1;
        while (time_loop(&cases[i], iterations) < 0.1) iterations *= 2;
        double per_call[repeats];
        for (int r = 0; r < repeats; ++r) per_call[r] = time_loop(&cases[i], iterations) / (double)iterations;
        qsort(per_call, repeats, sizeof per_call[0], compare_doubles);
        printf("%s\n  \"%s\": {\"iterations\": %ld, \"seconds_per_call\": %.9e}", i ? "," : "", cases[i].name,
               iterations, per_call[repeats / 2]);
    }
    printf("\n}\n");
}

static int serve(void) {
    char name[64];
    long iterations;
    while (scanf("%63s %ld", name, &iterations) == 2) {
        const struct floor_case *c = find_case(name);
        if (c == NULL || iterations <= 0) {
            printf("{\"error\": \"unknown case or count\"}\n");
        } else {
            printf("{\"case\": \"%s\", \"iterations\": %ld, \"seconds\": %.9e}\n", name, iterations,
                   time_loop(c, iterations));
        }
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char **argv) {
    if (sodium_init() < 0) return 1;
    context = EVP_MD_CTX_new();
    if (context == NULL) return 1;

    for (size_t i = 0; i < sizeof long_message; ++i) {
        const unsigned char letter = (unsigned char)('a' + (7 * i + 13) % 26);
        long_message[i] = letter;
        if (i < sizeof short_message) short_message[i] = letter;
    }
    unsigned char seed[32];
    for (int i = 0; i < 32; ++i) seed[i] = (unsigned char)i;
    crypto_sign_seed_keypair(public_key, secret_key, seed);
    crypto_sign_detached(valid_short, NULL, short_message, sizeof short_message, secret_key);
    crypto_sign_detached(valid_long, NULL, long_message, sizeof long_message, secret_key);
    memcpy(invalid_short, valid_short, sizeof invalid_short);
    invalid_short[0] ^= 1;

    /* The inputs must give the answers the cases stand for. */
    if (crypto_sign_verify_detached(valid_short, short_message, sizeof short_message, public_key) != 0 ||
        crypto_sign_verify_detached(invalid_short, short_message, sizeof short_message, public_key) == 0 ||
        crypto_sign_verify_detached(neutral_signature, short_message, sizeof short_message, neutral_key) == 0 ||
        !openssl_verify(short_message, sizeof short_message, valid_short, public_key) ||
        openssl_verify(short_message, sizeof short_message, invalid_short, public_key) ||
        !openssl_verify(short_message, sizeof short_message, neutral_signature, neutral_key)) {
        fprintf(stderr, "floor: the test inputs do not verify as expected\n");
        return 1;
    }

    if (argc > 1 && strcmp(argv[1], "--serve") == 0) return serve();
    if (argc > 1 && strcmp(argv[1], "--versions") == 0) {
        printf("{\"libsodium\": \"%s\", \"OpenSSL\": \"%s\"}\n", sodium_version_string(),
               OpenSSL_version(OPENSSL_VERSION));
        return 0;
    }
    run_all();
    EVP_MD_CTX_free(context);
    return 0;
}
