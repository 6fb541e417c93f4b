/* The library as a C program uses it: writing buffers and files, listing
 * and reading them back from a file and from memory, solid runs, damage,
 * check failures, every error code, and a writer and a reader in two
 * threads at once. Plain C99 and POSIX threads; exits non-zero on the first
 * failed check. Argument: a scratch directory. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "taq.h"

static int failures = 0;
#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                      \
        }                                                                    \
    } while (0)
#define CHECK_CODE(expr, code)                                                             \
    do {                                                                                   \
        int got_ = (expr);                                                                 \
        if (got_ != (code)) {                                                              \
            fprintf(stderr, "%s:%d: %s gave %s, not %s\n", __FILE__, __LINE__, #expr,      \
                    taq_error_name(got_), taq_error_name(code));                           \
            ++failures;                                                                    \
        }                                                                                  \
    } while (0)

static char scratch[4096];

static const char* path_of(const char* name) {
    static char buf[8][4200];
    static int next = 0;
    char* p = buf[next++ % 8];
    snprintf(p, 4200, "%s/%s", scratch, name);
    return p;
}

/* A growing buffer for the bytes a reader hands out. */
typedef struct {
    unsigned char* data;
    size_t size, room;
} bytes;

static int collect(void* context, const void* data, size_t size) {
    bytes* b = (bytes*)context;
    if (b->size + size > b->room) {
        size_t room = b->room ? b->room : 4096;
        while (room < b->size + size) room *= 2;
        unsigned char* grown = (unsigned char*)realloc(b->data, room);
        if (!grown) return 1;
        b->data = grown;
        b->room = room;
    }
    memcpy(b->data + b->size, data, size);
    b->size += size;
    return 0;
}

static int refuse(void* context, const void* data, size_t size) {
    (void)context;
    (void)data;
    (void)size;
    return 1;
}

static unsigned char* read_whole(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char* data = (unsigned char*)malloc(n > 0 ? (size_t)n : 1);
    *size = fread(data, 1, (size_t)n, f);
    fclose(f);
    return data;
}

static void write_whole(const char* path, const void* data, size_t size) {
    FILE* f = fopen(path, "wb");
    fwrite(data, 1, size, f);
    fclose(f);
}

/* Text-like bytes that compress, different for each seed. */
static unsigned char* sample(size_t size, unsigned seed) {
    static const char* words[] = {"archive ", "entry ", "model ", "context ", "mixing ", "coder ", "bit ", "\n"};
    unsigned char* data = (unsigned char*)malloc(size ? size : 1);
    size_t at = 0;
    unsigned x = seed * 2654435761u + 1;
    while (at < size) {
        x = x * 1103515245u + 12345u;
        const char* w = words[(x >> 16) % 8];
        for (size_t i = 0; w[i] && at < size; ++i) data[at++] = (unsigned char)w[i];
    }
    return data;
}

static taq_writer* open_writer(const char* archive, int level, int solid) {
    taq_write_options o;
    taq_write_options_init(&o);
    o.level = level;
    o.solid = solid;
    taq_writer* w = NULL;
    CHECK_CODE(taq_write_open(&w, archive, &o), TAQ_OK);
    return w;
}

static void test_defaults_and_names(void) {
    taq_write_options o;
    memset(&o, 0x55, sizeof o);
    taq_write_options_init(&o);
    CHECK(o.level == 5 && o.solid == 0 && o.check_records == 1 && o.tasks == 1);
    CHECK(strcmp(taq_version(), "0.60") == 0);
    CHECK(strcmp(taq_error_name(TAQ_E_CHECK), "TAQ_E_CHECK") == 0);
    CHECK(strcmp(taq_error_name(-99), "unknown") == 0);
    CHECK(taq_memory_for_level(0) > (4u << 20) && taq_memory_for_level(5) > taq_memory_for_level(4));
    CHECK(taq_memory_for_level(8) == 0);
}

/* A buffer and a file go in; both come back, from the file and from
 * memory, with the fields a listing shows. */
static void test_round_trip(void) {
    const char* archive = path_of("round.taq");
    const char* input = path_of("input.txt");
    unsigned char* a = sample(200000, 1);
    unsigned char* b = sample(5000, 2);
    write_whole(input, b, 5000);

    taq_writer* w = open_writer(archive, 0, 0);
    CHECK_CODE(taq_write_buffer(w, "docs/a.txt", a, 200000), TAQ_OK);
    CHECK_CODE(taq_write_file(w, input, "copies/b.txt"), TAQ_OK);
    CHECK_CODE(taq_write_buffer(w, "empty", NULL, 0), TAQ_OK);
    CHECK_CODE(taq_write_close(w), TAQ_OK);

    for (int from_memory = 0; from_memory < 2; ++from_memory) {
        size_t size = 0;
        unsigned char* image = read_whole(archive, &size);
        taq_reader* r = NULL;
        if (from_memory)
            CHECK_CODE(taq_read_open_memory(&r, image, size), TAQ_OK);
        else
            CHECK_CODE(taq_read_open(&r, archive), TAQ_OK);
        taq_entry e;
        bytes out = {0};

        CHECK_CODE(taq_read_next(r, &e), 1);
        CHECK(strcmp(e.name, "docs/a.txt") == 0);
        CHECK(e.offset == 0 && e.range_start == 0 && e.data_size == 200000 && e.file_size == 200000);
        CHECK(e.has_record && !e.solid && e.mode == 0644 && e.mtime_ns > 1600000000LL * 1000000000LL);
        CHECK(e.packed_size < 200000 / 3 && e.model_memory == (4u << 20));
        CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
        CHECK(out.size == 200000 && memcmp(out.data, a, 200000) == 0);

        CHECK_CODE(taq_read_next(r, &e), 1);
        CHECK(strcmp(e.name, "copies/b.txt") == 0 && e.data_size == 5000 && e.offset > 0);
        out.size = 0;
        CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
        CHECK(out.size == 5000 && memcmp(out.data, b, 5000) == 0);
        /* Read twice: the same bytes. */
        out.size = 0;
        CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
        CHECK(out.size == 5000 && memcmp(out.data, b, 5000) == 0);

        CHECK_CODE(taq_read_next(r, &e), 1);
        CHECK(strcmp(e.name, "empty") == 0 && e.data_size == 0);
        out.size = 0;
        CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
        CHECK(out.size == 0);
        CHECK_CODE(taq_read_next(r, &e), 0);
        CHECK_CODE(taq_read_next(r, &e), 0);
        CHECK_CODE(taq_read_close(r), TAQ_OK);
        free(out.data);
        free(image);
    }

    /* The stored path of a file given without a name is the one `a` gives. */
    w = open_writer(archive, 0, 0);
    CHECK_CODE(taq_write_file(w, input, NULL), TAQ_OK);
    CHECK_CODE(taq_write_close(w), TAQ_OK);
    taq_reader* r = NULL;
    CHECK_CODE(taq_read_open(&r, archive), TAQ_OK);
    taq_entry e;
    for (int i = 0; i < 4; ++i) CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK(strcmp(e.name + strlen(e.name) - strlen("/input.txt"), "/input.txt") == 0 && e.name[0] != '/');
    CHECK_CODE(taq_read_next(r, &e), 0);
    taq_read_close(r);
    free(a);
    free(b);
}

/* A solid run: a later entry can be read without the earlier ones'
 * data being asked for. */
static void test_solid(void) {
    const char* archive = path_of("solid.taq");
    unsigned char* parts[3];
    taq_writer* w = open_writer(archive, 0, 1);
    for (int i = 0; i < 3; ++i) {
        char name[16];
        snprintf(name, sizeof name, "part%d", i);
        parts[i] = sample(30000, 10 + (unsigned)i);
        CHECK_CODE(taq_write_buffer(w, name, parts[i], 30000), TAQ_OK);
    }
    CHECK_CODE(taq_write_close(w), TAQ_OK);
    taq_reader* r = NULL;
    CHECK_CODE(taq_read_open(&r, archive), TAQ_OK);
    taq_entry e;
    bytes out = {0};
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK(e.solid);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK(strcmp(e.name, "part2") == 0);
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
    CHECK(out.size == 30000 && memcmp(out.data, parts[2], 30000) == 0);
    /* Again, once the model has gone past it: the run is decoded anew. */
    out.size = 0;
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
    CHECK(out.size == 30000 && memcmp(out.data, parts[2], 30000) == 0);
    CHECK_CODE(taq_read_next(r, &e), 0);
    taq_read_close(r);
    free(out.data);
    for (int i = 0; i < 3; ++i) free(parts[i]);
}

/* Damage in memory: a flipped bit in a coded stream fails its check; a
 * broken header is passed over, the entries around it still read. */
static void test_damage(void) {
    const char* archive = path_of("damage.taq");
    unsigned char* data = sample(50000, 3);
    taq_writer* w = open_writer(archive, 0, 0);
    CHECK_CODE(taq_write_buffer(w, "one", data, 50000), TAQ_OK);
    CHECK_CODE(taq_write_buffer(w, "two", data, 50000), TAQ_OK);
    CHECK_CODE(taq_write_buffer(w, "three", data, 50000), TAQ_OK);
    CHECK_CODE(taq_write_close(w), TAQ_OK);
    size_t size = 0;
    unsigned char* image = read_whole(archive, &size);

    taq_reader* r = NULL;
    taq_entry e, second;
    bytes out = {0};
    CHECK_CODE(taq_read_open_memory(&r, image, size), TAQ_OK);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK_CODE(taq_read_next(r, &second), 1);
    taq_read_close(r);

    /* One bit in the middle of the first entry's stream. */
    unsigned char* flipped = (unsigned char*)malloc(size);
    memcpy(flipped, image, size);
    flipped[e.packed_size / 2] ^= 0x10;
    CHECK_CODE(taq_read_open_memory(&r, flipped, size), TAQ_OK);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_E_CHECK);
    CHECK(strstr(taq_reader_error(r), "one") != NULL);
    CHECK_CODE(taq_read_next(r, &e), 1);
    out.size = 0;
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
    CHECK(out.size == 50000 && memcmp(out.data, data, 50000) == 0);
    taq_read_close(r);

    /* The second entry's size field made impossible: reported with its
     * offset, then the third entry. */
    memcpy(flipped, image, size);
    memset(flipped + second.offset, 0xff, 8);
    CHECK_CODE(taq_read_open_memory(&r, flipped, size), TAQ_OK);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK(strcmp(e.name, "one") == 0);
    CHECK_CODE(taq_read_next(r, &e), TAQ_E_DAMAGED);
    char offset[32];
    snprintf(offset, sizeof offset, "offset %llu", (unsigned long long)second.offset);
    CHECK(strstr(taq_reader_error(r), offset) != NULL);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK(strcmp(e.name, "three") == 0);
    out.size = 0;
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
    CHECK(out.size == 50000);
    CHECK_CODE(taq_read_next(r, &e), 0);
    taq_read_close(r);

    /* Garbage: damaged at once, and nothing read outside the buffer (the
     * sanitizer pass watches that). */
    unsigned char garbage[100];
    for (int i = 0; i < 100; ++i) garbage[i] = (unsigned char)(i * 37 + 11);
    CHECK_CODE(taq_read_open_memory(&r, garbage, sizeof garbage), TAQ_OK);
    CHECK_CODE(taq_read_next(r, &e), TAQ_E_DAMAGED);
    CHECK(strstr(taq_reader_error(r), "offset 0") != NULL);
    CHECK_CODE(taq_read_next(r, &e), 0);
    taq_read_close(r);

    /* Not an archive to add to: refused untouched. */
    const char* junk = path_of("junk.taq");
    write_whole(junk, garbage, sizeof garbage);
    taq_writer* refused = NULL;
    CHECK_CODE(taq_write_open(&refused, junk, NULL), TAQ_E_DAMAGED);
    CHECK(refused == NULL);
    size_t junk_size = 0;
    unsigned char* junk_back = read_whole(junk, &junk_size);
    CHECK(junk_size == sizeof garbage && memcmp(junk_back, garbage, sizeof garbage) == 0);
    free(junk_back);
    free(flipped);
    free(image);
    free(out.data);
    free(data);
}

/* Appends every message to a `bytes`. */
static void keep_message(void* context, int severity, const char* text) {
    (void)severity;
    collect(context, text, strlen(text));
}

static int messages_seen = 0;
static void count_message(void* context, int severity, const char* text) {
    (void)context;
    if (severity == TAQ_ERROR && strstr(text, "Error: ") == text) ++messages_seen;
}

/* Every argument checked; every code reached. */
static void test_errors(void) {
    taq_writer* w = NULL;
    taq_reader* r = NULL;
    taq_entry e;
    bytes out = {0};
    CHECK_CODE(taq_write_open(NULL, path_of("x.taq"), NULL), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_open(&w, NULL, NULL), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_file(NULL, "a", NULL), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_buffer(NULL, "a", "", 0), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_close(NULL), TAQ_OK);
    CHECK_CODE(taq_read_open(NULL, "a"), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_read_open(&r, NULL), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_read_open_memory(&r, NULL, 5), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_read_next(NULL, &e), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_read_data(NULL, collect, &out), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_read_close(NULL), TAQ_OK);
    CHECK(strcmp(taq_reader_error(NULL), "no reader") == 0);

    taq_write_options o;
    taq_write_options_init(&o);
    o.level = 8;
    CHECK_CODE(taq_write_open(&w, path_of("x.taq"), &o), TAQ_E_ARGUMENT);
    o.level = 0;
    o.tasks = 2;
    CHECK_CODE(taq_write_open(&w, path_of("x.taq"), &o), TAQ_E_UNSUPPORTED);
    CHECK(w == NULL);

    w = open_writer(path_of("errors.taq"), 0, 0);
    taq_write_set_messages(w, count_message, NULL);
    CHECK_CODE(taq_write_buffer(w, NULL, "", 0), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_buffer(w, "a", NULL, 10), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_buffer(w, "../up", "x", 1), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_buffer(w, "/abs", "x", 1), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_buffer(w, "", "x", 1), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_file(w, path_of("missing"), NULL), TAQ_E_IO);
    CHECK(strstr(taq_writer_error(w), "missing") != NULL);
    CHECK(messages_seen == 1);
    /* The writer goes on after a file it could not read. */
    CHECK_CODE(taq_write_buffer(w, "fine", "abc", 3), TAQ_OK);
    CHECK(strcmp(taq_writer_error(w), "") == 0);
    CHECK_CODE(taq_write_close(w), TAQ_E_ARGUMENT); /* the first error of the run */

    CHECK_CODE(taq_read_open(&r, path_of("no-such.taq")), TAQ_E_IO);
    CHECK(r == NULL);
    CHECK_CODE(taq_read_open(&r, path_of("errors.taq")), TAQ_OK);
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_E_ARGUMENT); /* no entry yet */
    CHECK_CODE(taq_read_next(r, NULL), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK_CODE(taq_read_data(r, NULL, NULL), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_read_data(r, refuse, NULL), TAQ_E_IO);
    CHECK_CODE(taq_read_set_memory_limit(r, 1000), TAQ_OK);
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_E_MEMORY);
    CHECK_CODE(taq_read_set_memory_limit(r, taq_memory_for_level(0)), TAQ_OK);
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
    CHECK(out.size == 3 && memcmp(out.data, "abc", 3) == 0);
    taq_read_close(r);
    free(out.data);
}

/* A writer and a reader in two threads, each on its own archive. */
typedef struct {
    const char* archive;
    int ok;
} job;

static void* write_and_check(void* arg) {
    job* j = (job*)arg;
    unsigned char* data = sample(300000, 7);
    taq_writer* w = NULL;
    int ok = taq_write_open(&w, j->archive, NULL) == TAQ_OK;
    for (int i = 0; ok && i < 3; ++i) ok = taq_write_buffer(w, "t", data, 300000) == TAQ_OK;
    ok = taq_write_close(w) == TAQ_OK && ok;
    taq_reader* r = NULL;
    taq_entry e;
    bytes out = {0};
    ok = ok && taq_read_open(&r, j->archive) == TAQ_OK;
    for (int i = 0; ok && i < 3; ++i) {
        out.size = 0;
        ok = taq_read_next(r, &e) == 1 && taq_read_data(r, collect, &out) == TAQ_OK && out.size == 300000 &&
             memcmp(out.data, data, 300000) == 0;
    }
    taq_read_close(r);
    free(out.data);
    free(data);
    j->ok = ok;
    return NULL;
}

static void* read_repeatedly(void* arg) {
    job* j = (job*)arg;
    int ok = 1;
    for (int round = 0; ok && round < 3; ++round) {
        taq_reader* r = NULL;
        taq_entry e;
        bytes out = {0};
        int n = 0, got;
        ok = taq_read_open(&r, j->archive) == TAQ_OK;
        while (ok && (got = taq_read_next(r, &e)) == 1) {
            out.size = 0;
            ok = taq_read_data(r, collect, &out) == TAQ_OK && out.size == e.data_size;
            ++n;
        }
        ok = ok && n == 4;
        taq_read_close(r);
        free(out.data);
    }
    j->ok = ok;
    return NULL;
}

static void test_threads(void) {
    job writer = {path_of("thread-w.taq"), 0};
    job reader = {path_of("round.taq"), 0};
    pthread_t a, b;
    CHECK(pthread_create(&a, NULL, write_and_check, &writer) == 0);
    CHECK(pthread_create(&b, NULL, read_repeatedly, &reader) == 0);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    CHECK(writer.ok);
    CHECK(reader.ok);
}

/* An encrypted archive: written and read back with its password; a wrong
 * one, a plain reader and a plain writer are refused; a flipped bit is
 * reported before the entries around it. */
static void test_encrypted(void) {
    const char* archive = path_of("sealed.taq");
    unsigned char* a = sample(100000, 5);
    taq_write_options o;
    taq_write_options_init(&o);
    o.level = 0;
    taq_writer* w = NULL;
    CHECK_CODE(taq_write_open_encrypted(&w, archive, &o, "", 1000), TAQ_E_ARGUMENT);
    CHECK_CODE(taq_write_open_encrypted(&w, archive, &o, "pass word", 10), TAQ_E_ARGUMENT);
    const int opened = taq_write_open_encrypted(&w, archive, &o, "pass word", 1000);
    if (opened == TAQ_E_UNSUPPORTED) { /* a build without the cryptography library */
        free(a);
        return;
    }
    CHECK_CODE(opened, TAQ_OK);
    CHECK_CODE(taq_write_buffer(w, "secret/a.bin", a, 100000), TAQ_OK);
    CHECK_CODE(taq_write_close(w), TAQ_OK);
    CHECK_CODE(taq_write_open_encrypted(&w, archive, &o, "another", 1000), TAQ_E_PASSWORD);
    CHECK_CODE(taq_write_open(&w, archive, &o), TAQ_E_DAMAGED);
    CHECK_CODE(taq_write_open_encrypted(&w, archive, &o, "pass word", 0), TAQ_OK);
    CHECK_CODE(taq_write_buffer(w, "secret/b.txt", "bee", 3), TAQ_OK);
    CHECK_CODE(taq_write_close(w), TAQ_OK);

    taq_reader* r = NULL;
    taq_entry e;
    bytes out = {0};
    CHECK_CODE(taq_read_open_encrypted(&r, archive, "wrong"), TAQ_E_PASSWORD);
    CHECK_CODE(taq_read_open(&r, archive), TAQ_OK);
    CHECK_CODE(taq_read_next(r, &e), TAQ_E_DAMAGED);
    CHECK_CODE(taq_read_next(r, &e), 0);
    taq_read_close(r);
    CHECK_CODE(taq_read_open_encrypted(&r, archive, "pass word"), TAQ_OK);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK(strcmp(e.name, "secret/a.bin") == 0);
    CHECK_CODE(taq_read_data(r, collect, &out), TAQ_OK);
    CHECK(out.size == 100000 && memcmp(out.data, a, 100000) == 0);
    CHECK_CODE(taq_read_next(r, &e), 1);
    CHECK(strcmp(e.name, "secret/b.txt") == 0);
    CHECK_CODE(taq_read_next(r, &e), 0);
    taq_read_close(r);

    /* A bit of the first entry's data: reported, then the second entry;
     * every message names offsets in the file (the first entry's frame at
     * 64), not in the archive inside it. */
    size_t size = 0;
    unsigned char* image = read_whole(archive, &size);
    image[64 + 48 + 500] ^= 1;
    write_whole(archive, image, size);
    CHECK_CODE(taq_read_open_encrypted(&r, archive, "pass word"), TAQ_OK);
    bytes said = {0};
    taq_read_set_messages(r, keep_message, &said);
    CHECK_CODE(taq_read_next(r, &e), TAQ_E_DAMAGED);
    CHECK(strstr(taq_reader_error(r), "offset 64") != NULL);
    int code = taq_read_next(r, &e);
    while (code == TAQ_E_DAMAGED) code = taq_read_next(r, &e);
    said.data = realloc(said.data, said.size + 1);
    said.data[said.size] = 0;
    CHECK(strstr((const char*)said.data, "Skipped bytes 64 to ") != NULL);
    CHECK(strstr((const char*)said.data, " 0 ") == NULL);
    free(said.data);
    CHECK_CODE(code, 1);
    CHECK(strcmp(e.name, "secret/b.txt") == 0);
    taq_read_close(r);
    free(image);
    free(out.data);
    free(a);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s SCRATCH_DIR\n", argv[0]);
        return 2;
    }
    snprintf(scratch, sizeof scratch, "%s", argv[1]);
    test_defaults_and_names();
    test_round_trip();
    test_solid();
    test_damage();
    test_errors();
    test_threads();
    test_encrypted();
    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
