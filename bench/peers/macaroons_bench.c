/* libmacaroons peer benchmark: the same three restrictions as velnor's
 * typical token (an expiry, a tool name, an integer argument bound), checked
 * by general-predicate callbacks the way a gateway would. Prints one line
 * per operation: "<name> <median ns>".
 *   macaroons_bench [rounds [iterations]]
 * Built and run by bench/compare.py, one round at a time so that its rounds
 * interleave with the Python libraries'. */
#include <macaroons.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const unsigned char kKey[] = "root-key-for-benchmarks-32-bytes";
static const char* kCaveats[3] = {"time < 2030-01-01T00:00:00Z", "tool = search", "limit <= 50"};

static double now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static int cmp_double(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

/* Accepts exactly the predicates a gateway would check for this call:
 * time before the current time string, tool equal, limit bound. */
static int check(void* f, const unsigned char* pred, size_t n) {
  (void)f;
  char buf[128];
  if (n >= sizeof buf) return -1;
  memcpy(buf, pred, n);
  buf[n] = 0;
  if (strncmp(buf, "time < ", 7) == 0) return strcmp("2026-12-08T00:00:00Z", buf + 7) < 0 ? 0 : -1;
  if (strncmp(buf, "tool = ", 7) == 0) return strcmp(buf + 7, "search") == 0 ? 0 : -1;
  if (strncmp(buf, "limit <= ", 9) == 0) return 10 <= atoi(buf + 9) ? 0 : -1;
  return -1;
}

static struct macaroon* mint(void) {
  enum macaroon_returncode err;
  struct macaroon* m = macaroon_create((const unsigned char*)"gw", 2, kKey, 32,
                                       (const unsigned char*)"agent-1", 7, &err);
  for (int i = 0; i < 3; ++i) {
    struct macaroon* n = macaroon_add_first_party_caveat(
        m, (const unsigned char*)kCaveats[i], strlen(kCaveats[i]), &err);
    macaroon_destroy(m);
    m = n;
  }
  return m;
}

#define MAX_ROUNDS 64
static int ROUNDS = 15;
static int ITERS = 20000;

static volatile int sink;

static void report(const char* name, double* samples) {
  qsort(samples, ROUNDS, sizeof(double), cmp_double);
  printf("%s %.1f\n", name, samples[ROUNDS / 2]);
}

int main(int argc, char** argv) {
  enum macaroon_returncode err;
  double s[MAX_ROUNDS];
  if (argc > 1) ROUNDS = atoi(argv[1]);
  if (argc > 2) ITERS = atoi(argv[2]);
  if (ROUNDS < 1 || ROUNDS > MAX_ROUNDS || ITERS < 1) return 2;

  struct macaroon* m = mint();
  size_t sz = macaroon_serialize_size_hint(m);
  char* token = malloc(sz);
  if (macaroon_serialize(m, token, sz, &err) < 0) return 1;

  struct macaroon_verifier* v = macaroon_verifier_create();
  macaroon_verifier_satisfy_general(v, check, NULL, &err);

  for (int r = 0; r < ROUNDS; ++r) {
    double t0 = now_ns();
    for (int i = 0; i < ITERS; ++i) {
      struct macaroon* x = mint();
      char* out = malloc(sz);
      sink += macaroon_serialize(x, out, sz, &err);
      free(out);
      macaroon_destroy(x);
    }
    s[r] = (now_ns() - t0) / ITERS;
  }
  report("issue", s);

  for (int r = 0; r < ROUNDS; ++r) {
    double t0 = now_ns();
    for (int i = 0; i < ITERS; ++i) {
      struct macaroon* x = macaroon_deserialize(token, &err);
      sink += x != NULL;
      macaroon_destroy(x);
    }
    s[r] = (now_ns() - t0) / ITERS;
  }
  report("parse", s);

  for (int r = 0; r < ROUNDS; ++r) {
    double t0 = now_ns();
    for (int i = 0; i < ITERS; ++i) {
      struct macaroon* x = macaroon_add_first_party_caveat(m, (const unsigned char*)"limit <= 20", 11, &err);
      sink += x != NULL;
      macaroon_destroy(x);
    }
    s[r] = (now_ns() - t0) / ITERS;
  }
  report("attenuate", s);

  for (int r = 0; r < ROUNDS; ++r) {
    double t0 = now_ns();
    for (int i = 0; i < ITERS; ++i) {
      struct macaroon* x = macaroon_deserialize(token, &err);
      int rc = macaroon_verify(v, x, kKey, 32, NULL, 0, &err);
      if (rc != 0) { fprintf(stderr, "verify failed %d\n", err); return 1; }
      macaroon_destroy(x);
    }
    s[r] = (now_ns() - t0) / ITERS;
  }
  report("verify", s);

  macaroon_verifier_destroy(v);
  macaroon_destroy(m);
  free(token);
  return sink == 42 ? 2 : 0;
}
