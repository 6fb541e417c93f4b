/*
 * taq.h: the TAQ archiver as a library.
 *
 * A writer adds files and buffers to an archive (creating it, or appending
 * to one that exists, exactly as `taq a` does); a reader walks the entries
 * of an archive on disk or in memory and decodes any of them to a function
 * of the caller's. Archives written here are those that `taq` writes, byte
 * for byte, and `taq` reads them, and the other way round.
 *
 * Conventions
 *  - Handles are opaque and belong to one thread at a time. Different
 *    handles may be used in different threads at once: the library keeps no
 *    mutable state of its own outside them, installs no signal handlers,
 *    reads no environment variables and never prints.
 *  - Every function that can fail returns TAQ_OK (0) or a negative TAQ_E_*
 *    code; the handle's error function then gives a message for it (an
 *    English sentence naming the file and, for damage, the offset).
 *  - Messages the command line would print (a file left out, damage passed
 *    over, an archive cut back after an interrupted run) go to the
 *    optional message function of each handle, never to a stream.
 *  - Strings are UTF-8, paths as the system takes them ('/' or '\' between
 *    components).
 *
 * Compatibility: the functions and structures below are the stable ABI of
 * libtaq.so.0. Structures that the caller allocates are only ever extended
 * at their end, and their init functions set every field; a change that
 * breaks either comes with a new SONAME.
 */
#ifndef TAQ_H
#define TAQ_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define TAQ_API
#elif defined(__GNUC__)
#define TAQ_API __attribute__((visibility("default")))
#else
#define TAQ_API
#endif

/* The library's version: major.minor of the archiver. */
#define TAQ_VERSION_MAJOR 0
#define TAQ_VERSION_MINOR 60
/* "0.60", the version of the library actually linked. */
TAQ_API const char* taq_version(void);

/* Result codes. New codes may be added; callers should treat any other
 * negative value as a failure. */
#define TAQ_OK 0
#define TAQ_E_ARGUMENT (-1)    /* a NULL handle, name or buffer; a value out of range */
#define TAQ_E_IO (-2)          /* a file could not be opened, read or written */
#define TAQ_E_DAMAGED (-3)     /* the archive is damaged (the message gives the offset) */
#define TAQ_E_CHECK (-4)       /* decoded data does not match its check record */
#define TAQ_E_MEMORY (-5)      /* memory could not be had, or the reader's limit is below what is needed */
#define TAQ_E_UNSUPPORTED (-6) /* asked for something this build cannot do */
#define TAQ_E_PASSWORD (-7)    /* a wrong password, or an archive that is not encrypted with one */

/* The code's name ("TAQ_E_IO"); "unknown" for any other value. */
TAQ_API const char* taq_error_name(int code);

/* Where a handle's messages go: `severity` is TAQ_INFO, TAQ_WARNING or
 * TAQ_ERROR, `text` the message as the command line prints it (line end
 * included), valid only during the call. */
#define TAQ_INFO 0
#define TAQ_WARNING 1
#define TAQ_ERROR 2
typedef void (*taq_message_fn)(void* context, int severity, const char* text);

/* About how many bytes of memory coding at `level` (0..7) takes: the
 * model's tables and buffers. 0 for a level out of range. */
TAQ_API uint64_t taq_memory_for_level(int level);

/* ---------------------------------------------------------------- writing */

typedef struct taq_writer taq_writer;

typedef struct taq_write_options {
    int level;         /* 0..7: model memory 4 MiB << level (default 5) */
    int solid;         /* non-zero: the model carries over from entry to entry (default 0) */
    int check_records; /* non-zero: each entry carries its check record (default 1); 0 writes the plain format */
    int tasks;         /* processes sharing the work; this library codes in the calling thread: 1 (default) */
} taq_write_options;

/* Sets every field to its default. */
TAQ_API void taq_write_options_init(taq_write_options* options);

/* Opens `archive_path` for adding, creating it when it is missing. An
 * archive that ends in an entry an interrupted run left incomplete is cut
 * back to its last complete entry first; anything else that is not a sound
 * archive is refused untouched (TAQ_E_DAMAGED). The archive stays locked
 * against other runs until taq_write_close. `options` may be NULL (the
 * defaults). On failure *w is NULL. */
TAQ_API int taq_write_open(taq_writer** w, const char* archive_path, const taq_write_options* options);

/* The same for an encrypted archive: names, sizes, times and data are
 * readable only with `password` (not empty; the caller may wipe it once
 * the call returned). A new archive's key is derived with `key_rounds`
 * rounds of PBKDF2-HMAC-SHA256 (0: 600,000, what the command line uses;
 * fewer only for tests, at least 1,000); an existing one is opened with its
 * password (TAQ_E_PASSWORD when it is another one, or when the archive is
 * not encrypted: a plain archive is refused as TAQ_E_DAMAGED, untouched,
 * as is an encrypted one by taq_write_open). See doc/encryption.md. */
TAQ_API int taq_write_open_encrypted(taq_writer** w, const char* archive_path, const taq_write_options* options,
                                     const char* password, uint32_t key_rounds);

/* Where the writer's messages go (NULL: nowhere). */
TAQ_API int taq_write_set_messages(taq_writer* w, taq_message_fn fn, void* context);

/* Adds the file at `path` as one entry. `stored_name` is the path stored
 * for it ("dir/name"; no leading separator, no ".." component); NULL
 * stores the path that `taq a` would give it. A file that cannot be read
 * is left out (TAQ_E_IO) and the writer goes on; a failure to write the
 * archive ends the writer's run (every later call returns that error, and
 * taq_write_close puts the archive back as it was when it was opened). */
TAQ_API int taq_write_file(taq_writer* w, const char* path, const char* stored_name);

/* Adds `size` bytes at `data` as one entry named `stored_name` (required),
 * with the time of the call and permissions 0644. `data` may be NULL when
 * `size` is 0. */
TAQ_API int taq_write_buffer(taq_writer* w, const char* stored_name, const void* data, size_t size);

/* Completes every entry, makes the archive durable and frees `w` (NULL is
 * accepted). Returns the first error of the whole run, TAQ_OK when every
 * call succeeded. */
TAQ_API int taq_write_close(taq_writer* w);

/* The message of the writer's last error ("" when there was none). */
TAQ_API const char* taq_writer_error(const taq_writer* w);

/* ---------------------------------------------------------------- reading */

typedef struct taq_reader taq_reader;

typedef struct taq_entry {
    const char* name;      /* stored directory and name, valid until the next taq_read_next */
    uint64_t offset;       /* of the entry in the archive */
    uint64_t range_start;  /* where the entry's bytes go in the file */
    uint64_t data_size;    /* how many bytes the entry holds */
    uint64_t file_size;    /* the whole file's size (from the check record; else range_start + data_size) */
    uint64_t packed_size;  /* the entry's bytes in the archive, header and record included */
    int solid;             /* non-zero: the entry belongs to a solid run */
    int has_record;        /* non-zero: it carries a check record */
    int64_t mtime_ns;      /* the file's modification time, ns since 1970 (0 without a record) */
    uint32_t mode;         /* its permission bits (0644 without a record) */
    uint32_t model_memory; /* the model memory it was coded with, in bytes */
} taq_entry;

/* Opens the archive at `archive_path` for reading (it waits while a writer
 * holds it). On failure *r is NULL. */
TAQ_API int taq_read_open(taq_reader** r, const char* archive_path);

/* Opens an encrypted archive with its password: TAQ_E_PASSWORD for a wrong
 * one (or a plain archive), TAQ_E_DAMAGED for a damaged header. Every frame
 * is authenticated before anything is read; when some fail, the first
 * taq_read_next returns TAQ_E_DAMAGED (the message names the container's
 * byte range) and the next calls go on with the entries they left whole.
 * taq_read_open finds an encrypted archive damaged at offset 0. */
TAQ_API int taq_read_open_encrypted(taq_reader** r, const char* archive_path, const char* password);

/* Reads an archive of `size` bytes at `data`, which must stay unchanged
 * until taq_read_close. Nothing outside the buffer is ever read. */
TAQ_API int taq_read_open_memory(taq_reader** r, const void* data, size_t size);

/* Where the reader's messages go (NULL: nowhere). */
TAQ_API int taq_read_set_messages(taq_reader* r, taq_message_fn fn, void* context);

/* An upper bound on the memory that decoding may take (0: none, the
 * default): taq_read_data refuses an entry whose model needs more with
 * TAQ_E_MEMORY (see taq_memory_for_level). */
TAQ_API int taq_read_set_memory_limit(taq_reader* r, uint64_t bytes);

/* The next entry: 1 with *e filled, 0 at the end of the archive, a negative
 * code on an error. Damage is passed over as `taq t` passes it: the call
 * that meets a damaged stretch returns TAQ_E_DAMAGED (the message names the
 * offset), and the next call goes on with the first entry after it that can
 * be trusted. */
TAQ_API int taq_read_next(taq_reader* r, taq_entry* e);

/* Decodes the entry taq_read_next returned last (and, for a solid run, the
 * entries before it that its model needs), handing its bytes in order to
 * `write`, which returns 0 to go on and anything else to stop (the call
 * then returns TAQ_E_IO). After the last byte the entry's check record is
 * verified: TAQ_E_CHECK when the data does not match it. */
TAQ_API int taq_read_data(taq_reader* r, int (*write)(void* context, const void* data, size_t size), void* context);

/* Frees `r` (NULL is accepted). */
TAQ_API int taq_read_close(taq_reader* r);

/* The message of the reader's last error ("" when there was none). */
TAQ_API const char* taq_reader_error(const taq_reader* r);

#ifdef __cplusplus
}
#endif

#endif /* TAQ_H */
