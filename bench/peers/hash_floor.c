/* The hashing one verification of a three-caveat capability with a signed
 * receipt cannot avoid, done with nothing else around it: the root step
 * under the root key's saved pad states, three chain steps under keys used
 * once, the comparison with the token's signature, SHA-256 of the canonical
 * arguments, and the receipt HMAC under the audit key's saved states. On
 * OpenSSL's SHA256_CTX calls, the cheapest way this OpenSSL offers (SHA-NI
 * where the processor has it). Built as a shared library so that
 * bench/compare.py can call it in the same process as velnor, batch for
 * batch, and drift of the machine falls on both alike.
 *
 *     gcc -O2 -shared -fPIC -o hash_floor.so hash_floor.c -lcrypto
 */
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <string.h>
#include <time.h>

enum { BLOCK = 64, DIGEST = 32, RECEIPT = 350 };

static const char *const IDENTIFIER = "agent-1/cap-0001";
static const char *const CAVEATS[3] = {"now <= @2030-01-01T00:00:00Z", "tool == \"search\"", "arg.limit <= 50"};
static const char *const ARGS = "{\"limit\":10,\"query\":\"weather in Paris\"}";

typedef struct {
  SHA256_CTX inner, outer;
} prepared_key;

static prepared_key root, audit;
static unsigned char receipt[RECEIPT], token_signature[DIGEST];
static volatile unsigned char keep;
static int ready;

static void prepare(const unsigned char *key, size_t len, prepared_key *k) {
  unsigned char pad[BLOCK];
  memset(pad, 0x36, sizeof pad);
  for (size_t i = 0; i < len; i++) pad[i] ^= key[i];
  SHA256_Init(&k->inner);
  SHA256_Update(&k->inner, pad, BLOCK);
  for (size_t i = 0; i < BLOCK; i++) pad[i] ^= 0x36 ^ 0x5c;
  SHA256_Init(&k->outer);
  SHA256_Update(&k->outer, pad, BLOCK);
}

static void sign(const prepared_key *k, const void *msg, size_t len, unsigned char out[DIGEST]) {
  SHA256_CTX c = k->inner;
  unsigned char inner[DIGEST];
  SHA256_Update(&c, msg, len);
  SHA256_Final(inner, &c);
  c = k->outer;
  SHA256_Update(&c, inner, DIGEST);
  SHA256_Final(out, &c);
}

static void setup(void) {
  unsigned char key[DIGEST];
  for (int i = 0; i < DIGEST; i++) key[i] = (unsigned char)(3 * i + 1);
  prepare(key, DIGEST, &root);
  for (int i = 0; i < DIGEST; i++) key[i] = (unsigned char)(5 * i + 2);
  prepare(key, DIGEST, &audit);
  for (int i = 0; i < RECEIPT; i++) receipt[i] = (unsigned char)('a' + i % 26);
  ready = 1;
}

/* Runs `n` floor operations; returns the nanoseconds they took. */
double floor_run(long n) {
  if (!ready) setup();
  struct timespec start, end;
  unsigned char link[DIGEST], args[DIGEST], sig[DIGEST] = {0};
  int differs = 0;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long op = 0; op < n; op++) {
    sign(&root, IDENTIFIER, strlen(IDENTIFIER), link);
    for (int c = 0; c < 3; c++) {
      prepared_key step;
      prepare(link, DIGEST, &step);
      sign(&step, CAVEATS[c], strlen(CAVEATS[c]), link);
    }
    differs |= CRYPTO_memcmp(link, token_signature, DIGEST);
    SHA256_CTX h;
    SHA256_Init(&h);
    SHA256_Update(&h, ARGS, strlen(ARGS));
    SHA256_Final(args, &h);
    receipt[0] = (unsigned char)(args[0] | 1); /* the receipt depends on the call */
    sign(&audit, receipt, RECEIPT, sig);
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  keep = (unsigned char)(differs + sig[0]);
  return (double)(end.tv_sec - start.tv_sec) * 1e9 + (double)(end.tv_nsec - start.tv_nsec);
}
